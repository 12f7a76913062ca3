// The reset pulse on a GPIO line: the kernel's GPIO character device, interface v2. The line is
// requested as an output at its inactive level with consumer "kov02tool" (active-low when the
// registry says so, letting the kernel invert), driven active for the pulse, back to inactive,
// and released. libgpiod is not used: the version Debian 12 ships speaks only the obsolete v1
// ioctls.
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

#include "devices/reset_line.h"
#include "kernel/handles.h"

namespace kov02::devices {
namespace {

class LinuxGpioCalls : public GpioCalls {
 public:
  int open(const char* path) override { return ::open(path, O_RDWR | O_CLOEXEC); }
  int ioctl(int fd, unsigned long request, void* argument) override { return ::ioctl(fd, request, argument); }
  void close(int fd) override { ::close(fd); }
};

std::atomic<GpioCalls*> g_calls{nullptr};

GpioCalls& calls() {
  GpioCalls* chosen = g_calls.load();
  return chosen ? *chosen : linux_gpio_calls();
}

// An fd from the calls, closed when it goes.
class GpioFd {
 public:
  explicit GpioFd(int fd) : fd_(fd) {}
  ~GpioFd() {
    if (fd_ >= 0) calls().close(fd_);
  }
  GpioFd(const GpioFd&) = delete;
  GpioFd& operator=(const GpioFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

DWORD fail(int error, std::string what, std::string* reason) {
  *reason = std::move(what);
  if (error == EACCES || error == EPERM) {
    *reason += ": permission denied (see kov02tool.reg(5))";
    return ERROR_ACCESS_DENIED;
  }
  *reason += std::string(": ") + std::strerror(error);
  return kernel::error_from_errno(error);
}

std::string chip_path(std::string_view chip) {
  return chip.starts_with('/') ? std::string(chip) : "/dev/" + std::string(chip);
}

bool line_info(int chip, std::uint32_t offset, gpio_v2_line_info* info) {
  *info = {};
  info->offset = offset;
  return calls().ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, info) == 0;
}

// The offset of `line` (a number, or a line's name) on the chip.
DWORD find_offset(int chip, const std::string& path, std::string_view line, std::uint32_t* offset,
                  std::string* reason) {
  gpiochip_info chip_info{};
  if (calls().ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &chip_info) != 0) return fail(errno, path, reason);
  const auto [end, parsed] = std::from_chars(line.data(), line.data() + line.size(), *offset);
  if (parsed == std::errc() && end == line.data() + line.size()) {
    if (*offset < chip_info.lines) return ERROR_SUCCESS;
    *reason =
        path + " has no line " + std::string(line) + " (it has " + std::to_string(chip_info.lines) + ")";
    return ERROR_FILE_NOT_FOUND;
  }
  for (std::uint32_t candidate = 0; candidate < chip_info.lines; ++candidate) {
    gpio_v2_line_info info;
    if (line_info(chip, candidate, &info) && line == std::string_view(info.name)) {
      *offset = candidate;
      return ERROR_SUCCESS;
    }
  }
  *reason = path + " has no line named " + std::string(line);
  return ERROR_FILE_NOT_FOUND;
}

// Requests the line as an output at its inactive level; the request's fd, or -1 with `reason`.
int request_line(int chip, const std::string& path, std::uint32_t offset, bool active_low, DWORD* error,
                 std::string* reason) {
  gpio_v2_line_request request{};
  request.offsets[0] = offset;
  request.num_lines = 1;
  std::strncpy(request.consumer, "kov02tool", sizeof request.consumer - 1);
  request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT | (active_low ? GPIO_V2_LINE_FLAG_ACTIVE_LOW : 0);
  request.config.num_attrs = 1;
  request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
  request.config.attrs[0].attr.values = 0;
  request.config.attrs[0].mask = 1;
  if (calls().ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request) == 0) return request.fd;
  const int cause = errno;
  const std::string line = path + " line " + std::to_string(offset);
  gpio_v2_line_info info;
  if (cause == EBUSY && line_info(chip, offset, &info)) {
    *reason = line + " is busy (used by \"" + std::string(info.consumer) + "\")";
    *error = ERROR_BUSY;
  } else {
    *error = fail(cause, line, reason);
  }
  return -1;
}

DWORD set_level(int request, bool active, const std::string& path, std::string* reason) {
  gpio_v2_line_values values{};
  values.bits = active ? 1 : 0;
  values.mask = 1;
  if (calls().ioctl(request, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0) return ERROR_SUCCESS;
  return fail(errno, path + ": setting the line", reason);
}

}  // namespace

GpioCalls& linux_gpio_calls() {
  static LinuxGpioCalls instance;
  return instance;
}

void set_gpio_calls(GpioCalls* replacement) {
  g_calls.store(replacement);
}

DWORD pulse_gpio(std::string_view target, const PulseShape& shape, std::string* reason) {
  const std::size_t colon = target.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == target.size()) {
    *reason = "\"gpio:" + std::string(target) + "\" does not name CHIP:LINE";
    return ERROR_INVALID_PARAMETER;
  }
  const std::string path = chip_path(target.substr(0, colon));
  GpioFd chip(calls().open(path.c_str()));
  if (chip.get() < 0) {
    if (errno == ENOENT) {
      *reason = "no GPIO chip " + path;
      return ERROR_FILE_NOT_FOUND;
    }
    return fail(errno, path, reason);
  }
  std::uint32_t offset = 0;
  if (DWORD error = find_offset(chip.get(), path, target.substr(colon + 1), &offset, reason)) return error;
  DWORD error = ERROR_SUCCESS;
  GpioFd request(request_line(chip.get(), path, offset, shape.active_low, &error, reason));
  if (request.get() < 0) return error;
  error = set_level(request.get(), true, path, reason);
  if (error == ERROR_SUCCESS) std::this_thread::sleep_for(shape.length);
  // Back to inactive whatever happened, then released by the fds' ends.
  std::string ignored;
  const DWORD back = set_level(request.get(), false, path, error ? &ignored : reason);
  return error ? error : back;
}

}  // namespace kov02::devices
