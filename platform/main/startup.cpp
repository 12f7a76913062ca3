// The platform's start-up: the process state every later call relies on, the registry file,
// and the settings read from it. It sits above the kernel and the registry so neither of them
// reads the other.
#include "main/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "kernel/debug_output.h"
#include "kernel/stderr_lines.h"
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

bool load_registry(std::string* error) {
  const std::vector<std::string> places = registry::registry_places();
  // KOV02_REGISTRY names the one file to use: missing, it is an error like any unreadable file.
  const bool named = std::getenv("KOV02_REGISTRY") && *std::getenv("KOV02_REGISTRY");
  for (const std::string& place : places) {
    if (named || ::access(place.c_str(), F_OK) == 0) return registry::load_file(place, error);
  }
  registry::clear();
  return true;
}

bool start_platform(std::string* error) {
  // A write to a pipe or pty whose reader has gone must fail with ERROR_BROKEN_PIPE, not end
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  hold_standard_descriptors();
  if (!load_registry(error)) return false;
  if (registry::file_in_use().empty()) {
    const std::string notice =
        "notice: no configuration found (looked in " + registry::registry_places_text() + ")";
    // Without the program's prefix as plain text; a scripted run's JSON stderr wraps it as any line.
    if (kernel::json_on_stderr()) {
      kernel::stderr_line(notice);
    } else {
      std::fprintf(stderr, "%s\n", notice.c_str());
    }
  }
  return configure_debug_output(error);
}

}  // namespace kov02
