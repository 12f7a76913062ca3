// Descriptors, pseudo-terminals, serial devices and the symbolic links that name them. Every
// failure throws std::system_error naming the call and the path.
#pragma once

#include <string>
#include <utility>

namespace kov02a_sim {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

struct PtyPair {
  UniqueFd master;
  // The simulator keeps the slave open itself: a pty whose last slave descriptor closes hangs
  // up its master, so without this every close of the tool's port would cut the line.
  UniqueFd slave;
  std::string slave_name;
};

// A new pty pair, both ends non-blocking, the slave in raw mode so the tool sees clean bytes.
PtyPair open_pty();

// A serial device in raw mode at `baud` (115200 when 0), non-blocking.
UniqueFd open_tty(const std::string& path, unsigned baud);

// A symbolic link the simulator made at `path`. An existing symbolic link there is replaced;
// anything else there is an error. Missing parent folders are created. At destruction the
// link is removed if it still points where the simulator set it.
class Link {
 public:
  Link(std::string path, const std::string& target);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Points the link somewhere else, atomically.
  void retarget(const std::string& target);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string target_;
};

// Writes the file by writing a temporary beside it and renaming it into place, so a reader
// sees the old content or the new, never a part. Throws std::system_error.
void write_file_atomically(const std::string& path, const void* data, std::size_t size);

}  // namespace kov02a_sim
