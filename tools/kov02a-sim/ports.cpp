#include "ports.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

namespace kov02a_sim {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

constexpr std::array<std::pair<unsigned, speed_t>, 12> kSpeeds{{
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {921600, B921600},
    {0, B115200},
}};

// Raw 8-bit bytes, receiver on, modem lines ignored, nothing translated or echoed.
void make_raw(int fd, unsigned baud, const std::string& name) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) fail("tcgetattr " + name);
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  const auto speed =
      std::find_if(kSpeeds.begin(), kSpeeds.end(), [&](const auto& row) { return row.first == baud; });
  if (speed == kSpeeds.end()) {
    errno = EINVAL;
    fail("baud rate " + std::to_string(baud) + " for " + name);
  }
  cfsetispeed(&settings, speed->second);
  cfsetospeed(&settings, speed->second);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) fail("tcsetattr " + name);
}

std::string temporary_beside(const std::string& path) {
  return path + ".tmp." + std::to_string(getpid());
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

PtyPair open_pty() {
  PtyPair pair;
  // posix_openpt: a descriptor, or -1 with errno.
  pair.master = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!pair.master) fail("posix_openpt");
  if (grantpt(pair.master.get()) != 0) fail("grantpt");
  if (unlockpt(pair.master.get()) != 0) fail("unlockpt");
  std::array<char, 128> name{};
  // ptsname_r returns 0 or an error number itself.
  if (const int error = ptsname_r(pair.master.get(), name.data(), name.size()); error != 0) {
    errno = error;
    fail("ptsname_r");
  }
  pair.slave_name = name.data();
  pair.slave = UniqueFd(open(name.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!pair.slave) fail("open " + pair.slave_name);
  make_raw(pair.slave.get(), 0, pair.slave_name);
  return pair;
}

UniqueFd open_tty(const std::string& path, unsigned baud) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) fail("open " + path);
  if (!isatty(fd.get())) fail(path + " is not a tty");
  make_raw(fd.get(), baud, path);
  tcflush(fd.get(), TCIOFLUSH);
  return fd;
}

Link::Link(std::string path, const std::string& target) : path_(std::move(path)) {
  std::error_code error;
  const auto status = std::filesystem::symlink_status(path_, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
    errno = EEXIST;
    fail(path_ + " exists and is not a symbolic link");
  }
  const auto parent = std::filesystem::path(path_).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  retarget(target);
}

Link::~Link() {
  std::error_code error;
  if (std::filesystem::read_symlink(path_, error) == target_) std::filesystem::remove(path_, error);
}

void Link::retarget(const std::string& target) {
  const std::string temporary = temporary_beside(path_);
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) fail("symlink " + temporary);
  if (rename(temporary.c_str(), path_.c_str()) != 0) {
    unlink(temporary.c_str());
    fail("rename to " + path_);
  }
  target_ = target;
}

void write_file_atomically(const std::string& path, const void* data, std::size_t size) {
  const std::string temporary = temporary_beside(path);
  UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) fail("open " + temporary);
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    // write: the count written, or -1 with errno.
    const ssize_t written = write(fd.get(), bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail("write " + temporary);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  fd.reset();
  if (rename(temporary.c_str(), path.c_str()) != 0) fail("rename to " + path);
}

}  // namespace kov02a_sim
