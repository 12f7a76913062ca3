#include "serial/port_users.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

namespace kov02::serial {
namespace {

// Where terminal programs look; on most systems the second is a link to the first.
constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

struct ProcRoot {
  std::mutex mutex;
  std::string path = "/proc";
};

ProcRoot& proc_root() {
  static auto* instance = new ProcRoot;
  return *instance;
}

std::string proc_path() {
  std::lock_guard lock(proc_root().mutex);
  return proc_root().path;
}

std::string process_name(const std::string& root, long pid) {
  std::ifstream comm(root + "/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name.empty()) return "an unknown program";
  return name;
}

// The pid a lock file holds: nullopt when there is no such file, 0 when it holds no number.
std::optional<long> read_lock_pid(const std::string& path) {
  // open / read: -1 with errno on failure.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? std::nullopt : std::optional<long>(0);
  char text[32] = {};
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end == text || pid <= 0 ? 0 : pid;
}

// kill(pid, 0): 0 when the process exists and may be signalled, -1 with EPERM when it exists
// under another user, ESRCH when it does not.
bool alive(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

enum class Written { yes, folder_unusable, taken };

// Writes this process's lock file into `folder` without a moment in which another program could
// find it empty: a private file is filled, then linked under the lock's name.
Written write_lock(const std::string& folder, const std::string& name) {
  const std::string final_path = folder + "/" + name;
  const std::string private_path = folder + "/." + name + "." + std::to_string(::getpid());
  // open / write / link: -1 with errno (EACCES, EROFS, ENOENT: the folder cannot be used;
  // link's EEXIST: another program wrote the lock first).
  const int fd = ::open(private_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Written::folder_unusable;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
  const bool filled = ::write(fd, text, static_cast<std::size_t>(length)) == length;
  ::close(fd);
  const int linked = filled ? ::link(private_path.c_str(), final_path.c_str()) : -1;
  const int reason = errno;
  ::unlink(private_path.c_str());
  if (linked == 0) return Written::yes;
  if (filled && reason == EEXIST)
    return read_lock_pid(final_path) == ::getpid() ? Written::yes : Written::taken;
  return Written::folder_unusable;
}

// The lock file's live owner other than this process, after a dead owner's file was removed.
std::optional<PortUser> live_owner(const std::string& path) {
  const std::optional<long> pid = read_lock_pid(path);
  if (!pid || *pid == ::getpid()) return std::nullopt;
  if (alive(*pid)) return PortUser{*pid, process_name(proc_path(), *pid)};
  std::fprintf(stderr,
               "kov02tool: warning: %s names pid %ld, which is not running; the stale lock is taken over\n",
               path.c_str(), *pid);
  ::unlink(path.c_str());
  return std::nullopt;
}

bool holds_device(const std::string& fd_folder, dev_t device) {
  std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fd_folder.c_str()), ::closedir);
  if (!fds) return false;
  while (const dirent* entry = ::readdir(fds.get())) {
    struct stat target {};
    // stat follows the fd's link to the open file; -1 for "." and ".." is not reached (they are
    // directories) and for fds closed meanwhile.
    if (entry->d_name[0] == '.') continue;
    if (::stat((fd_folder + "/" + entry->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
        target.st_rdev == device) {
      return true;
    }
  }
  return false;
}

}  // namespace

void set_proc_root(std::string root) {
  std::lock_guard lock(proc_root().mutex);
  proc_root().path = std::move(root);
}

std::string lock_file_name(const std::string& device_path) {
  char resolved[PATH_MAX];
  if (!::realpath(device_path.c_str(), resolved)) return {};
  std::string below(resolved);
  if (!below.starts_with("/dev/") || below.size() == 5) return {};
  below.erase(0, 5);
  for (char& c : below)
    if (c == '/') c = '_';
  return "LCK.." + below;
}

std::optional<PortUser> other_holder(dev_t device) {
  const std::string root = proc_path();
  std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir(root.c_str()), ::closedir);
  if (!processes) return std::nullopt;
  const long self = ::getpid();
  while (const dirent* entry = ::readdir(processes.get())) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    if (holds_device(root + "/" + entry->d_name + "/fd", device))
      return PortUser{pid, process_name(root, pid)};
  }
  return std::nullopt;
}

std::optional<PortUser> current_user(const std::string& device_path) {
  const std::string name = lock_file_name(device_path);
  for (const char* folder : kLockFolders) {
    if (name.empty()) break;
    const std::optional<long> pid = read_lock_pid(std::string(folder) + "/" + name);
    if (pid && *pid != ::getpid() && alive(*pid)) return PortUser{*pid, process_name(proc_path(), *pid)};
  }
  struct stat info {};
  if (::stat(device_path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) || is_pseudo_terminal(info.st_rdev))
    return std::nullopt;
  return other_holder(info.st_rdev);
}

bool is_pseudo_terminal(dev_t device) {
  // Unix98 pty slaves use majors 136 to 143; the legacy BSD slaves major 3.
  const unsigned kind = major(device);
  return (kind >= 136 && kind <= 143) || kind == 3;
}

std::optional<PortUser> PortLock::take(const std::string& device_path, PortLock* lock) {
  const std::string name = lock_file_name(device_path);
  if (name.empty()) return std::nullopt;
  for (const char* folder : kLockFolders) {
    if (std::optional<PortUser> owner = live_owner(std::string(folder) + "/" + name)) return owner;
  }
  for (const char* folder : kLockFolders) {
    switch (write_lock(folder, name)) {
      case Written::yes:
        lock->path_ = std::string(folder) + "/" + name;
        return std::nullopt;
      case Written::taken:
        return live_owner(std::string(folder) + "/" + name);
      case Written::folder_unusable:
        break;
    }
  }
  return std::nullopt;
}

PortLock::~PortLock() {
  // Only a file that still names this process is removed: one that another program took over
  // after this process's was removed by hand belongs to that program.
  if (!path_.empty() && read_lock_pid(path_) == ::getpid()) ::unlink(path_.c_str());
}

}  // namespace kov02::serial
