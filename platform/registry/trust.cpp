// The trust check of registry files and hook programs: owner and write permissions of the file
// and of its folder.
#include "registry/trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kov02::registry {
namespace {

// Why `path` could be changed by someone else, as "SUBJECT is ..."; empty when it cannot.
std::string file_reason(const std::string& path, const std::string& subject) {
  struct stat status {};
  // stat: 0, or -1 with errno.
  if (::stat(path.c_str(), &status) != 0) return subject + " cannot be looked at: " + strerrordesc_np(errno);
  if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
    return subject + " is owned by uid " + std::to_string(status.st_uid);
  }
  if (status.st_mode & S_IWOTH) return subject + " is writable by others";
  if (status.st_mode & S_IWGRP) return subject + " is writable by group or others";
  return {};
}

}  // namespace

std::string untrusted_reason(const std::string& path) {
  char resolved[PATH_MAX];
  // realpath: the absolute path without links, or nullptr with errno.
  if (!::realpath(path.c_str(), resolved))
    return std::string("it cannot be looked at: ") + strerrordesc_np(errno);
  const std::string file(resolved);
  if (std::string reason = file_reason(file, "it"); !reason.empty()) return reason;
  const std::size_t slash = file.find_last_of('/');
  return file_reason(slash == 0 ? "/" : file.substr(0, slash), "its folder");
}

}  // namespace kov02::registry
