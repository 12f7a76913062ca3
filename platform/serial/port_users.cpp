#include "serial/port_users.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

#include "kernel/files.h"
#include "kernel/stderr_lines.h"

namespace kov02::serial {
namespace {

// Where terminal programs look; on most systems the second is a link to the first.
constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

// The lock folders that exist, each once: on most systems the second is a link to the first,
// and a file found there must not be judged (and warned about) twice.
std::vector<std::string> lock_folders() {
  std::vector<std::string> found;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const char* folder : kLockFolders) {
    struct stat info {};
    // stat: 0, or -1 with errno (ENOENT: no such folder here).
    if (::stat(folder, &info) != 0) continue;
    if (std::find(seen.begin(), seen.end(), std::pair(info.st_dev, info.st_ino)) != seen.end()) continue;
    seen.emplace_back(info.st_dev, info.st_ino);
    found.emplace_back(folder);
  }
  return found;
}

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

// A lock file younger than this that holds no pid yet is being written by its owner.
constexpr std::time_t kLockBeingWritten = 2;

// What a lock file says.
struct LockFile {
  bool exists = false;
  bool regular = false;
  bool ours_to_remove = false;  // a regular file of root or this user: it may be taken over
  bool being_written = false;   // empty or unreadable, and younger than kLockBeingWritten
  long pid = 0;                 // 0 when it holds no number
};

// The pid in a lock file's text: ASCII digits (padded with spaces, ending in a newline) as
// programs write them today, or a 4-byte binary pid as older ones did. 0 when neither.
long parse_lock_pid(const char* text, ssize_t length) {
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  const bool ascii = end != text && std::all_of(static_cast<const char*>(end), text + length, [](char c) {
                       return std::isspace(static_cast<unsigned char>(c)) != 0;
                     });
  if (ascii) return pid > 0 ? pid : 0;
  if (length != sizeof(std::int32_t)) return 0;
  std::int32_t binary = 0;
  std::memcpy(&binary, text, sizeof binary);
  return binary > 0 ? binary : 0;
}

// Reads the lock file at `path` without following a link and without waiting on a FIFO.
LockFile read_lock(const std::string& path) {
  LockFile lock;
  struct stat info {};
  // lstat: 0, or -1 with errno (ENOENT: no lock).
  if (::lstat(path.c_str(), &info) != 0) return lock;
  lock.exists = true;
  if (!S_ISREG(info.st_mode)) return lock;  // neither opened, removed nor written
  // open / fstat / read: -1 with errno on failure (ELOOP: a link swapped in since the lstat).
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if ((fd >= 0 && ::fstat(fd, &info) != 0) || (fd < 0 && errno == ELOOP)) info.st_mode = 0;
  if (!S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    return lock;  // neither removed nor written
  }
  lock.regular = true;
  lock.ours_to_remove = info.st_uid == 0 || info.st_uid == ::geteuid();
  char text[32] = {};
  const ssize_t got = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) ::close(fd);
  lock.pid = got > 0 ? parse_lock_pid(text, got) : 0;
  lock.being_written = got <= 0 && std::time(nullptr) - info.st_mtime < kLockBeingWritten;
  return lock;
}

// kill(pid, 0): 0 when the process exists and may be signalled, -1 with EPERM when it exists
// under another user, ESRCH when it does not.
bool alive(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The temporary file's name beside the lock: a dot, the lock's name and a random part, so that
// no other user can plant something there beforehand.
std::string temporary_lock_path(const std::string& folder, const std::string& name) {
  std::uint64_t random = 0;
  // getrandom: bytes filled, or -1; without it the clock and pid still vary between attempts.
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
    random = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             static_cast<std::uint64_t>(::getpid());
  char part[17];
  std::snprintf(part, sizeof part, "%016llx", static_cast<unsigned long long>(random));
  return folder + "/." + name + "." + part;
}

enum class Written { yes, folder_unusable, taken };

// Writes this process's lock file into `folder` without a moment in which another program could
// find it empty, and without replacing one that is there: a private file is filled, then linked
// under the lock's name. The private file is made anew (never a file found under its name), and
// without waiting on whatever might be there.
Written write_lock(const std::string& folder, const std::string& name) {
  const std::string final_path = folder + "/" + name;
  std::string private_path;
  int fd = -1;
  // open / fchmod / write / link: -1 with errno (EACCES, EROFS, ENOENT: the folder cannot be
  // used; open's EEXIST: the name is taken, try another; link's EEXIST: another program wrote
  // the lock first).
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    private_path = temporary_lock_path(folder, name);
    fd =
        ::open(private_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return Written::folder_unusable;
  }
  if (fd < 0) return Written::folder_unusable;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
  // Readable by every program that checks the lock, whatever the umask.
  const bool filled =
      ::fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<std::size_t>(length)) == length;
  ::close(fd);
  const int linked = filled ? ::link(private_path.c_str(), final_path.c_str()) : -1;
  const int reason = errno;
  ::unlink(private_path.c_str());
  if (linked == 0) return Written::yes;
  if (filled && reason == EEXIST)
    return read_lock(final_path).pid == ::getpid() ? Written::yes : Written::taken;
  return Written::folder_unusable;
}

// The lock file's live owner other than this process. A dead owner's file is removed when it is
// a regular file of root or this user; any other file is left alone and makes `usable` false,
// so no lock is written beside it.
std::optional<PortUser> live_owner(const std::string& path, bool* usable) {
  const LockFile lock = read_lock(path);
  if (!lock.exists || lock.pid == ::getpid()) return std::nullopt;
  if (alive(lock.pid)) return PortUser{lock.pid, process_name(proc_path(), lock.pid)};
  if (lock.being_written) return PortUser{0, "the program writing " + path};
  if (!lock.ours_to_remove) {
    kernel::stderr_notice(
        "warning: " + path + " " +
        (lock.regular ? "belongs to another user and names no running program" : "is not a regular file") +
        "; it is left alone and no lock file is written there");
    *usable = false;
    return std::nullopt;
  }
  kernel::stderr_notice("warning: " + path + " names pid " + std::to_string(lock.pid) +
                        ", which is not running; the stale lock is taken over");
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
  const std::optional<std::string> resolved = kernel::real_path(device_path);
  if (!resolved) return {};
  std::string below = *resolved;
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

// A line of /proc/locks: "1: FLOCK  ADVISORY  WRITE 4711 00:18:3 0 EOF", the file named by its
// filesystem's major and minor (hexadecimal) and its inode. A waiter's line carries "->" after
// the number and holds nothing.
std::optional<PortUser> flock_holder(const struct stat& node) {
  const std::string root = proc_path();
  std::ifstream locks(root + "/locks");
  const long self = ::getpid();
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, type, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> type >> mode >> access >> pid >> file) || type != "FLOCK") continue;
    unsigned major_number = 0, minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3) continue;
    if (makedev(major_number, minor_number) != node.st_dev || inode != node.st_ino) continue;
    // An open file description's lock or one from another pid namespace has no pid of ours.
    if (pid <= 0 || pid == self) continue;
    return PortUser{pid, process_name(root, pid)};
  }
  return std::nullopt;
}

std::optional<PortUser> current_user(const std::string& device_path) {
  const std::string name = lock_file_name(device_path);
  for (const std::string& folder : lock_folders()) {
    if (name.empty()) break;
    const LockFile lock = read_lock(folder + "/" + name);
    if (lock.exists && lock.pid > 0 && lock.pid != ::getpid() && alive(lock.pid))
      return PortUser{lock.pid, process_name(proc_path(), lock.pid)};
  }
  struct stat info {};
  if (::stat(device_path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
  if (std::optional<PortUser> holder = flock_holder(info)) return holder;
  if (is_pseudo_terminal(info.st_rdev)) return std::nullopt;
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
  const std::vector<std::string> folders = lock_folders();
  std::vector<char> usable(folders.size(), 1);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    bool fit = true;
    if (auto owner = live_owner(folders[i] + "/" + name, &fit)) return owner;
    usable[i] = fit;
  }
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (!usable[i]) continue;
    bool fit = true;
    switch (write_lock(folders[i], name)) {
      case Written::yes:
        lock->path_ = folders[i] + "/" + name;
        return std::nullopt;
      case Written::taken:
        return live_owner(folders[i] + "/" + name, &fit);
      case Written::folder_unusable:
        break;
    }
  }
  return std::nullopt;
}

PortLock::~PortLock() {
  // Only a file that still names this process is removed: one that another program took over
  // after this process's was removed by hand belongs to that program.
  if (!path_.empty() && read_lock(path_).pid == ::getpid()) ::unlink(path_.c_str());
}

}  // namespace kov02::serial
