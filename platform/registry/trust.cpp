// The trust walk: from / down to a file, one step at a time below the descriptor of the step
// before, so a folder renamed or replaced while the walk runs cannot slip another file in.
#include "registry/trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kov02::registry {
namespace {

bool ours(uid_t owner) {
  return owner == 0 || owner == ::geteuid();
}

std::string writers(mode_t mode) {
  return (mode & S_IWOTH) ? "others" : "its group";
}

// What is wrong with the folder `who` names ("its folder", "the folder /srv above it"), given
// the step below it; empty when nothing is.
std::string folder_reason(const struct stat& folder, const struct stat& next, const std::string& who) {
  if (!ours(folder.st_uid)) return who + " is owned by uid " + std::to_string(folder.st_uid);
  if (!(folder.st_mode & (S_IWGRP | S_IWOTH))) return {};
  // In a sticky folder only a name's owner (or the folder's) may remove or rename it.
  if ((folder.st_mode & S_ISVTX) && ours(next.st_uid)) return {};
  return who + " is writable by " + writers(folder.st_mode);
}

std::string file_reason(const struct stat& file) {
  if (!ours(file.st_uid)) return "it is owned by uid " + std::to_string(file.st_uid);
  if (file.st_mode & (S_IWGRP | S_IWOTH)) return "it is writable by group or others";
  return {};
}

std::vector<std::string> steps_of(const std::string& path) {
  std::vector<std::string> steps;
  for (std::size_t start = 0; start < path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) steps.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return steps;
}

}  // namespace

TrustedFile::TrustedFile(const std::string& path) {
  char resolved[PATH_MAX];
  // realpath: the absolute path without links, or nullptr with errno.
  if (::realpath(path.c_str(), resolved)) {
    walk(resolved);
  } else {
    refuse(strerrordesc_np(errno), false);
  }
}

TrustedFile::~TrustedFile() {
  if (fd_ >= 0) ::close(fd_);
}

void TrustedFile::refuse(std::string reason, bool found) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reason_ = std::move(reason);
  found_ = found;
}

void TrustedFile::walk(const std::string& resolved) {
  const std::vector<std::string> steps = steps_of(resolved);
  // open: a descriptor, or -1 with errno. O_NOFOLLOW: a link put in after realpath is not
  // followed but opened as itself, and then fails the checks below.
  fd_ = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat here {};
  if (fd_ < 0 || ::fstat(fd_, &here) != 0) return refuse(strerrordesc_np(errno), false);
  std::string folder = "/";
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!S_ISDIR(here.st_mode)) return refuse(strerrordesc_np(ENOTDIR), false);
    const int next = ::openat(fd_, steps[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat below {};
    if (next < 0 || ::fstat(next, &below) != 0) {
      const int error = errno;
      if (next >= 0) ::close(next);
      return refuse(strerrordesc_np(error), false);
    }
    ::close(fd_);
    fd_ = next;
    const bool last = i + 1 == steps.size();
    std::string why = folder_reason(here, below, last ? "its folder" : "the folder " + folder + " above it");
    if (!why.empty()) return refuse(std::move(why));
    folder += (folder.size() > 1 ? "/" : "") + steps[i];
    here = below;
  }
  if (!S_ISREG(here.st_mode)) return refuse("it is not a regular file", false);
  if (std::string why = file_reason(here); !why.empty()) refuse(std::move(why));
}

std::string untrusted_reason(const std::string& path) {
  return TrustedFile(path).reason();
}

}  // namespace kov02::registry
