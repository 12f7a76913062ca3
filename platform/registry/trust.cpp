#include "registry/trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kov02::registry {
namespace {

std::string file_reason(const std::string& path) {
  struct stat status {};
  // stat: 0, or -1 with errno.
  if (::stat(path.c_str(), &status) != 0) return path + ": " + strerrordesc_np(errno);
  if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
    return path + " is owned by uid " + std::to_string(status.st_uid);
  }
  if (status.st_mode & (S_IWGRP | S_IWOTH)) return path + " is writable by group or others";
  return {};
}

}  // namespace

std::string untrusted_reason(const std::string& path) {
  char resolved[PATH_MAX];
  // realpath: the absolute path without links, or nullptr with errno.
  if (!::realpath(path.c_str(), resolved)) return path + ": " + strerrordesc_np(errno);
  const std::string file(resolved);
  if (std::string reason = file_reason(file); !reason.empty()) return reason;
  const std::size_t slash = file.find_last_of('/');
  return file_reason(slash == 0 ? "/" : file.substr(0, slash));
}

}  // namespace kov02::registry
