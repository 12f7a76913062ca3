#include "serial/low_latency.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "registry/registry.h"
#include "serial/serial_log.h"

namespace kov02::serial {
namespace {

int real_get(int fd, serial_struct* info) {
  return ::ioctl(fd, TIOCGSERIAL, info);
}

int real_set(int fd, serial_struct* info) {
  return ::ioctl(fd, TIOCSSERIAL, info);
}

// Read by the ending-signal handler, so plain pointers that tests change only between opens.
SerialInfoCalls g_calls{real_get, real_set};

// On unless the registry holds LowLatency as a dword 0.
bool low_latency_wanted() {
  return registry::lookup_dword(L"Platform\\Serial", L"LowLatency").value_or(1) != 0;
}

bool not_supported(int error) {
  return error == ENOTTY || error == EINVAL;
}

}  // namespace

SerialInfoCalls use_serial_info_calls(SerialInfoCalls calls) {
  const SerialInfoCalls was = g_calls;
  g_calls = {calls.get ? calls.get : real_get, calls.set ? calls.set : real_set};
  return was;
}

bool ask_low_latency(int fd, const std::string& path) {
  if (!low_latency_wanted()) return false;
  serial_struct info{};
  // TIOCGSERIAL: 0, or -1 with errno; ptys and some USB adapters keep no serial settings
  // (ENOTTY, EINVAL) and have no latency to lower.
  if (g_calls.get(fd, &info) != 0) {
    if (!not_supported(errno)) log_failure(path, "TIOCGSERIAL", errno);
    return false;
  }
  if (info.flags & ASYNC_LOW_LATENCY) return false;
  info.flags |= ASYNC_LOW_LATENCY;
  // TIOCSSERIAL: 0, or -1 with errno. ASYNC_LOW_LATENCY is among the flags a user may change, so
  // EPERM is not expected; a driver that ignores the flag still answers 0.
  if (g_calls.set(fd, &info) != 0) {
    if (!not_supported(errno)) log_failure(path, "TIOCSSERIAL (low latency)", errno);
    return false;
  }
  return true;
}

void drop_low_latency(int fd) {
  serial_struct info{};
  // TIOCGSERIAL / TIOCSSERIAL: 0, or -1 with errno (ignored: a device that went away has nothing
  // to take back).
  if (g_calls.get(fd, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  g_calls.set(fd, &info);
}

}  // namespace kov02::serial
