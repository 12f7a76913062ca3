// The program's command line: nothing (the window), --help, --version, --list-ports [--json],
// or a scripted update
// (--update MODE and its options). Parsing is pure, so a table of cases tests it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov02 {

struct CommandLine {
  enum class Kind { window, help, version, list_ports, update, usage_error };
  Kind kind = Kind::window;
  std::string error;  // usage_error: the one line that says what is wrong

  // A scripted update (`update`); `json` is also set for a usage error that asked for it, and for
  // --list-ports --json.
  std::string mode;  // "flash-only" or "eep-flash"
  bool reboot = false;
  std::optional<std::string> package;
  std::optional<std::string> registry;
  bool json = false;
};

// `arguments` without the program's name.
CommandLine parse_command_line(const std::vector<std::string_view>& arguments);

}  // namespace kov02
