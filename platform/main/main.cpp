// The process entry: the command line's two informational options, then the platform's
// start-up, then the program's WinMain. The program itself reads no arguments; everything it
// needs comes from the registry file.
#include <kov02/ce.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "kernel/module.h"
#include "main/startup.h"
#include "ports/list_ports.h"

namespace {

// The folder of this program's file, where the program looks for the firmware package.
std::string program_folder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("the folder of the kov02tool file") : self.parent_path().string();
}

void print_help(std::FILE* to) {
  std::fprintf(to,
               "Usage: kov02tool [--help | --version | --list-ports [--json]]\n"
               "\n"
               "Updates a GSM radio module's firmware over a serial port, bridges bytes between the\n"
               "module's UART and a second port, and suspends, resumes or resets the radio. Without\n"
               "arguments it opens its window. --list-ports lists the serial ports present (--json: as\n"
               "a JSON array) with their labels, registry names and users.\n"
               "\n"
               "Environment:\n"
               "  KOV02_REGISTRY   the registry file (REGEDIT4): device map, hooks, debug output.\n"
               "                   Unset, the registry is empty and no device exists.\n"
               "                   A sample: %s\n"
               "  KOV02_UI         gtk or console; unset: gtk when a display is reachable, else console\n"
               "  XDG_RUNTIME_DIR  where the single-instance sockets live (unset: a private folder in /tmp)\n"
               "\n"
               "Firmware package: boot1_v3.bin, boot2_v3_KOV02A.bin and flash_only.bin (for EEP+Flash\n"
               "also eep_flash.bin and file_size.bin) go beside the program's own file, in\n"
               "  %s\n",
               KOV02_SAMPLE_REGISTRY, program_folder().c_str());
}

bool known_option(std::string_view argument) {
  return argument == "--help" || argument == "--version" || argument == "--list-ports";
}

// --list-ports [--json]. The registry is read for the names that map to each port; one that
// cannot be read is said, and the ports are listed without names.
int list_ports_command(bool json) {
  std::string error;
  if (!kov02::start_platform(&error)) std::fprintf(stderr, "kov02tool: %s\n", error.c_str());
  return kov02::ports::list_ports(json);
}

// Answers --help and --version, and refuses any other argument (or more than one) with the help
// on stderr. Returns the exit status, or -1 when there are no arguments and the program runs.
int handle_arguments(int argc, char** argv) {
  if (argc <= 1) return -1;
  const std::string_view option = argv[1];
  if (option == "--list-ports" && (argc == 2 || (argc == 3 && std::string_view(argv[2]) == "--json")))
    return list_ports_command(argc == 3);
  if (argc == 2 && option == "--help") {
    print_help(stdout);
    return 0;
  }
  if (argc == 2 && option == "--version") {
    std::printf("kov02tool %s\n", KOV02_VERSION);
    return 0;
  }
  int bad = 1;
  while (bad < argc - 1 && known_option(argv[bad])) ++bad;
  if (known_option(argv[bad]))
    std::fprintf(stderr, "kov02tool: one option at a time\n\n");
  else
    std::fprintf(stderr, "kov02tool: unknown argument: %s\n\n", argv[bad]);
  print_help(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the platform starts, so help is printed even when the registry file is broken or
  // another instance is running.
  if (const int status = handle_arguments(argc, argv); status >= 0) return status;
  std::string error;
  if (!kov02::start_platform(&error)) {
    std::fprintf(stderr, "kov02tool: %s\n", error.c_str());
    return 1;
  }
  // The instance is the program's module value (0x00010000), which GetModuleFileNameW and the
  // resource look-ups accept as "this program". WinMain's -1 leaves the process as status 255.
  return WinMain(kov02::kernel::program_module(), nullptr, const_cast<LPWSTR>(L""), SW_SHOW);
}
