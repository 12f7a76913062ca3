// The process entry: the command line, then the platform's start-up, then the program's WinMain.
// Without arguments the program opens its window and reads nothing but the registry file; with
// --update it runs one firmware update as a person at the console would and exits with a status
// that says how it went.
#include <kov02/ce.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/module.h"
#include "kernel/stderr_lines.h"
#include "kernel/text.h"
#include "main/command_line.h"
#include "main/startup.h"
#include "ports/list_ports.h"
#include "registry/registry.h"
#include "ui/console/scripted_run.h"
#include "windowing/backend.h"
#include "windowing/single_instance.h"

namespace {

using kov02::ui::console::ScriptedRun;

// The folder of this program's file, where the program looks for the firmware package unless
// the registry names another.
std::string program_folder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("the folder of the kov02tool file") : self.parent_path().string();
}

// The registry file that start-up would use, or where it would look. Nothing is loaded: help is
// printed even when the file is broken.
std::string registry_help() {
  for (const std::string& place : kov02::registry::registry_places()) {
    if (::access(place.c_str(), F_OK) == 0) return "Registry file in use: " + place + "\n";
  }
  return "No registry file found; looked in " + kov02::registry::registry_places_text() + "\n";
}

void print_help(std::FILE* to) {
  std::fprintf(to,
               "Usage: kov02tool [--help | --version | --list-ports [--json]]\n"
               "       kov02tool --update flash-only|eep-flash [--reboot|--no-reboot] [--package DIR]\n"
               "                 [--registry FILE] [--progress text|json]\n"
               "\n"
               "Updates a GSM radio module's firmware over a serial port, bridges bytes between the\n"
               "module's UART and a second port, and suspends, resumes or resets the radio. Without\n"
               "arguments it opens its window. --list-ports lists the serial ports present (--json: as\n"
               "a JSON array) with their labels, registry names and users.\n"
               "\n"
               "Scripted update (--update): runs the menu command Tools > Update Firmware > Flash only\n"
               "or EEP+Flash on the console front-end (the log pane on stdout), answers the closing\n"
               "question No (--no-reboot, the default) or Yes (--reboot: reset the module and reboot\n"
               "the device), and exits. Progress goes to stderr, at most once a second:\n"
               "  --progress text   progress: STEP SENT/TOTAL PERCENT%% TIME-LEFT, then result: ...\n"
               "  --progress json   one JSON object a line: progress, retry, message and result events\n"
               "  --package DIR     the firmware package's folder for this run\n"
               "  --registry FILE   the registry file for this run, as KOV02_REGISTRY=FILE would\n"
               "Exit status: 0 the module accepted the image, 1 the update failed, 2 usage error,\n"
               "3 the update could not start (no registry, package incomplete, port not opened),\n"
               "4 interrupted (SIGINT, SIGTERM, SIGHUP: the port is closed and left as found).\n"
               "  for tty in /dev/ttyUSB0 /dev/ttyUSB1; do\n"
               "    sed \"s|@PORT@|$tty|\" template.reg > /tmp/$(basename $tty).reg\n"
               "    kov02tool --update flash-only --registry /tmp/$(basename $tty).reg --progress json \\\n"
               "      > $(basename $tty).log 2> $(basename $tty).json || echo \"$tty: status $?\"\n"
               "  done\n"
               "\n"
               "Configuration: the registry file (REGEDIT4; see kov02tool.reg(5)) is the first that\n"
               "exists of $KOV02_REGISTRY (when set, only it), $XDG_CONFIG_HOME/kov02tool/kov02tool.reg\n"
               "(~/.config when unset), FOLDER/kov02tool/kov02tool.reg for each folder of\n"
               "$XDG_CONFIG_DIRS (/etc/xdg when unset), and /etc/kov02tool/kov02tool.reg. None: no\n"
               "device exists. A sample: %s\n"
               "%s"
               "\n"
               "Environment:\n"
               "  KOV02_REGISTRY   the one registry file to use\n"
               "  KOV02_UI         gtk or console; unset: gtk when a display is reachable, else console\n"
               "  XDG_RUNTIME_DIR  where the single-instance sockets live (unset: a private folder in /tmp)\n"
               "\n"
               "Firmware package: boot1_v3.bin, boot2_v3_KOV02A.bin and flash_only.bin (for EEP+Flash\n"
               "also eep_flash.bin and file_size.bin) go in the folder that the registry's\n"
               "[HKEY_LOCAL_MACHINE\\Platform\\Update] \"PackageDir\" names; without it, beside the\n"
               "program's own file, in\n"
               "  %s\n",
               KOV02_SAMPLE_REGISTRY, registry_help().c_str(), program_folder().c_str());
}

// --list-ports [--json]. The registry is read for the names that map to each port; one that
// cannot be read is said, and the ports are listed without names.
int list_ports_command(bool json) {
  std::string error;
  if (!kov02::start_platform(&error)) std::fprintf(stderr, "kov02tool: %s\n", error.c_str());
  return kov02::ports::list_ports(json);
}

// A usage error: its line and the help on stderr, or, when JSON was asked for, one message event.
int refuse(const kov02::CommandLine& line) {
  if (line.json) {
    kov02::kernel::use_json_on_stderr();
    kov02::kernel::stderr_line(line.error + " (kov02tool --help says how)");
    return kov02::ui::console::SCRIPTED_USAGE;
  }
  std::fprintf(stderr, "kov02tool: %s\n\n", line.error.c_str());
  print_help(stderr);
  return kov02::ui::console::SCRIPTED_USAGE;
}

int run_window() {
  std::string error;
  if (!kov02::start_platform(&error) || !kov02::windowing::check_private_folder(&error)) {
    std::fprintf(stderr, "kov02tool: %s\n", error.c_str());
    return 1;
  }
  // The instance is the program's module value (0x00010000), which GetModuleFileNameW and the
  // resource look-ups accept as "this program". WinMain's -1 leaves the process as status 255.
  return WinMain(kov02::kernel::program_module(), nullptr, const_cast<LPWSTR>(L""), SW_SHOW);
}

// One scripted update: the console front-end with the run in place of stdin, no single-instance
// look-up or registration, and the run's own exit status.
int run_update(const kov02::CommandLine& line) {
  using namespace kov02;
  if (line.json) kernel::use_json_on_stderr();
  if (line.registry) ::setenv("KOV02_REGISTRY", line.registry->c_str(), 1);
  windowing::keep_windows_private();
  ui::console::ScriptedOptions options;
  options.command =
      line.mode == "eep-flash" ? "Tools/Update Firmware/EEP+Flash" : "Tools/Update Firmware/Flash only";
  options.reboot = line.reboot;
  options.json = line.json;
  auto run = std::make_shared<ScriptedRun>(options);
  run->catch_ending_signals();
  std::string error;
  if (!start_platform(&error)) {
    kernel::stderr_line(error);
    run->report_not_started(error);
    return run->exit_status();
  }
  if (line.package) {
    std::error_code ignored;
    const std::string folder = std::filesystem::absolute(*line.package, ignored).string();
    registry::set_string(L"Platform\\Update", L"PackageDir", kernel::native_text(folder));
  }
  ui::install_backend(ui::console::make_console_backend(STDOUT_FILENO, STDERR_FILENO, run));
  WinMain(kernel::program_module(), nullptr, const_cast<LPWSTR>(L""), SW_SHOW);
  return run->exit_status();
}

}  // namespace

int main(int argc, char** argv) {
  // Before the platform starts, so help is printed even when the registry file is broken or
  // another instance is running.
  const kov02::CommandLine line =
      kov02::parse_command_line(std::vector<std::string_view>(argv + 1, argv + argc));
  switch (line.kind) {
    case kov02::CommandLine::Kind::help:
      print_help(stdout);
      return 0;
    case kov02::CommandLine::Kind::version:
      std::printf("kov02tool %s\n", KOV02_VERSION);
      return 0;
    case kov02::CommandLine::Kind::usage_error:
      return refuse(line);
    case kov02::CommandLine::Kind::update:
      return run_update(line);
    case kov02::CommandLine::Kind::list_ports:
      return list_ports_command(line.json);
    case kov02::CommandLine::Kind::window:
      break;
  }
  return run_window();
}
