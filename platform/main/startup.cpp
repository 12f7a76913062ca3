// The platform's start-up: the process state every later call relies on, the registry file,
// and the settings read from it. It sits above the kernel and the registry so neither of them
// reads the other.
#include "main/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "kernel/debug_output.h"
#include "registry/registry.h"

namespace kov02 {

namespace {

// A process started with stdin, stdout or stderr closed would hand that number to the next
// file it opens, and the console would then read from or write into a serial port. Each
// missing one is held by /dev/null instead.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    // fcntl(F_GETFD): flags, or -1 with EBADF when the descriptor is not open.
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // open: the lowest free descriptor, which is `fd` here, or -1.
    ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
  }
}

// The registry's "MaxBytes", or the default when it is missing or not a dword.
std::uint64_t max_log_bytes(std::uint64_t fallback) {
  return registry::lookup_dword(L"Platform\\Debug", L"MaxBytes").value_or(fallback);
}

}  // namespace

bool configure_debug_output(std::string* error) {
  kernel::DebugDestination destination;
  if (auto setting = registry::lookup_string(L"Platform\\Debug", L"Output")) destination.output = *setting;
  destination.max_bytes = max_log_bytes(destination.max_bytes);
  return kernel::direct_debug_output(destination, error);
}

bool start_platform(std::string* error) {
  // A write to a pipe or pty whose reader has gone must fail with ERROR_BROKEN_PIPE, not end
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  hold_standard_descriptors();
  const char* path = std::getenv("KOV02_REGISTRY");
  if (path && *path && !registry::load_file(path, error)) return false;
  return configure_debug_output(error);
}

}  // namespace kov02
