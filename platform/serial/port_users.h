// Who else uses a tty: UUCP lock files, which terminal programs write while they hold a port,
// the flocks /proc/locks lists, and, for ttys other than pseudo-terminals, the open files of
// other processes as /proc shows them. This program takes a port only when neither names a live user, and
// writes its own lock file while it holds one so that those programs see it too.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace kov02::serial {

// A process that holds a device.
struct PortUser {
  long pid = 0;      // 0 when a lock file is still being written and names no one yet
  std::string name;  // the process's command name; "an unknown program" when it cannot be read
};

// Where the /proc tree is read from: "/proc" unless a test points it at a fake tree.
void set_proc_root(std::string root);

// The lock file's name for a device path: its path below /dev with '/' as '_' ("LCK..ttyUSB0",
// "LCK..pts_3"), links followed. Empty for a path that is not below /dev.
std::string lock_file_name(const std::string& device_path);

// Another process holding the character device `device` open, as fuser finds it; nullopt when
// none can be seen (processes this user may not look into are not seen).
std::optional<PortUser> other_holder(dev_t device);

// The process holding a flock on the file `node` (its st_dev and st_ino) other than this one, as
// /proc/locks names it; nullopt when none is listed there.
std::optional<PortUser> flock_holder(const struct stat& node);

// Who else holds the device at `device_path` now, by its lock file or (not for a pty) by its
// open files, without touching anything: a stale lock file is left for the next open to take
// over. nullopt when nobody is seen.
std::optional<PortUser> current_user(const std::string& device_path);

// True for the slave side of a pseudo-terminal, whose peer commonly keeps it open.
bool is_pseudo_terminal(dev_t device);

// This process's lock file for one device, removed when the object goes.
class PortLock {
 public:
  // Looks for the device's lock file in the lock folders. A live owner other than this process
  // is returned and nothing is written; so is a file that is empty or unreadable and younger than
  // 2 s (its owner is still writing it). A dead owner's file is taken over with a warning when it
  // is a regular file of root or this user; any other file there is left alone, with a warning,
  // and no lock is written in that folder. Then this process's own file is written in the first
  // lock folder that takes it (none: the port is still used, unlocked).
  static std::optional<PortUser> take(const std::string& device_path, PortLock* lock);

  PortLock() = default;
  PortLock(PortLock&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  PortLock& operator=(PortLock&&) = delete;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock();

  // The lock file written; empty when none.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kov02::serial
