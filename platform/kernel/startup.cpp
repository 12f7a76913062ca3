#include "kernel/startup.h"

#include <csignal>
#include <cstdlib>

#include "kernel/debug_output.h"
#include "registry/registry.h"

namespace kov02::kernel {

bool start_platform(std::string* error) {
  // A write to a pipe or pty whose reader has gone must fail with ERROR_BROKEN_PIPE, not end
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  const char* path = std::getenv("KOV02_REGISTRY");
  if (path && *path && !registry::load_file(path, error)) return false;
  return configure_debug_output(error);
}

}  // namespace kov02::kernel
