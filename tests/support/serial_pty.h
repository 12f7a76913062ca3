// A pseudo-terminal pair for tests: the test holds the far end (the master), and the code under
// test opens the near end by its path (/dev/pts/N) as it would a serial device. The master is
// raw, so bytes pass it unchanged in both directions.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace serial_test {

class SerialPty {
 public:
  SerialPty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("cannot open a pseudo-terminal");
    }
    char name[64] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  // The far end of a line another program made (a simulator's link to its pty): `path` opened
  // raw and non-blocking, the way the tool opens its port.
  explicit SerialPty(const std::string& path) : path_(path) {
    master_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (master_ < 0 || ::tcgetattr(master_, &settings) != 0) throw std::runtime_error("cannot open " + path);
    ::cfmakeraw(&settings);
    ::tcsetattr(master_, TCSANOW, &settings);
  }
  ~SerialPty() { close_master(); }
  SerialPty(const SerialPty&) = delete;
  SerialPty& operator=(const SerialPty&) = delete;

  // The near end's path, for open_tty or a device map entry.
  const std::string& path() const { return path_; }
  // The far end's fd; -1 once closed.
  int master() const { return master_; }

  // Sends bytes towards the near end; all of them, or throws.
  void send(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        throw std::runtime_error(std::string("write to pty master failed: ") + std::strerror(errno));
      } else {
        pollfd pfd{master_, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
      }
    }
  }

  // Reads what the near end sent until `count` bytes have come or `timeout` passed.
  std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds timeout) const {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readable(static_cast<int>(left.count()))) break;
      std::uint8_t buffer[256];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;  // EIO: the near end is closed
      }
    }
    return got;
  }

  // Everything the near end sent within `quiet` of the last byte.
  std::vector<std::uint8_t> drain(std::chrono::milliseconds quiet) const {
    std::vector<std::uint8_t> got;
    for (;;) {
      std::vector<std::uint8_t> more = receive(4096, quiet);
      if (more.empty()) return got;
      got.insert(got.end(), more.begin(), more.end());
    }
  }

  // The near end's termios as the tty holds it (a pty master answers TCGETS for its slave).
  termios near_settings() const {
    termios settings{};
    if (::tcgetattr(master_, &settings) != 0) throw std::runtime_error("tcgetattr on pty master failed");
    return settings;
  }

  // Puts the near end into a terminal's cooked mode (line editing, echo, output processing), the
  // state a port is commonly found in, and returns the settings it then holds.
  termios cook() const {
    termios cooked = near_settings();
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    if (::tcsetattr(master_, TCSANOW, &cooked) != 0)
      throw std::runtime_error("tcsetattr on pty master failed");
    return near_settings();
  }

  // Closes the far end: the near end sees a hang-up.
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  bool readable(int timeout_ms) const {
    pollfd pfd{master_, POLLIN, 0};
    return ::poll(&pfd, 1, timeout_ms) > 0 && (pfd.revents & POLLIN);
  }

  int master_ = -1;
  std::string path_;
};

// The UUCP lock file for a device below /dev, as terminal programs look for it
// ("/run/lock/LCK..pts_3"); empty when this machine's lock folder takes no files from this user.
inline std::string lock_file_path(const std::string& device) {
  if (::access("/run/lock", W_OK) != 0 || device.rfind("/dev/", 0) != 0) return {};
  std::string name = device.substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  return "/run/lock/LCK.." + name;
}

// A lock file's content: the owner's pid, ten characters wide, and a newline.
inline std::string lock_file_text(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

// Whether two settings are the same in every field a program can set.
inline bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

}  // namespace serial_test
