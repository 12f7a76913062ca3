// The process entry: the platform's start-up, then the program's WinMain. Command-line
// arguments are not passed on; the program reads none.
#include <kov02/ce.h>

#include <cstdio>
#include <string>

#include "kernel/module.h"
#include "kernel/startup.h"

int main() {
  std::string error;
  if (!kov02::kernel::start_platform(&error)) {
    std::fprintf(stderr, "kov02tool: %s\n", error.c_str());
    return 1;
  }
  // The instance is the program's module value (0x00010000), which GetModuleFileNameW and the
  // resource look-ups accept as "this program". WinMain's -1 leaves the process as status 255.
  return WinMain(kov02::kernel::program_module(), nullptr, const_cast<LPWSTR>(L""), SW_SHOW);
}
