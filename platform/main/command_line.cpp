// The command line's grammar (see command_line.h).
#include "main/command_line.h"

#include <algorithm>
#include <array>

namespace kov02 {
namespace {

constexpr std::array<std::string_view, 4> kValueOptions = {"--update", "--package", "--registry",
                                                           "--progress"};
constexpr std::array<std::string_view, 2> kFlags = {"--reboot", "--no-reboot"};

bool is_scripted_option(std::string_view argument) {
  const std::string_view name = argument.substr(0, argument.find('='));
  return std::find(kValueOptions.begin(), kValueOptions.end(), name) != kValueOptions.end() ||
         std::find(kFlags.begin(), kFlags.end(), argument) != kFlags.end();
}

CommandLine usage(std::string error, bool json = false) {
  CommandLine line;
  line.kind = CommandLine::Kind::usage_error;
  line.error = std::move(error);
  line.json = json;
  return line;
}

// --help and --version, each alone, and --list-ports with or without --json; anything else is
// refused.
CommandLine informational(const std::vector<std::string_view>& arguments) {
  CommandLine line;
  if (arguments.size() == 1 && arguments[0] == "--help") line.kind = CommandLine::Kind::help;
  if (arguments.size() == 1 && arguments[0] == "--version") line.kind = CommandLine::Kind::version;
  if (!arguments.empty() && arguments[0] == "--list-ports" &&
      (arguments.size() == 1 || (arguments.size() == 2 && arguments[1] == "--json"))) {
    line.kind = CommandLine::Kind::list_ports;
    line.json = arguments.size() == 2;
  }
  if (line.kind != CommandLine::Kind::window) return line;
  for (std::string_view argument : arguments)
    if (argument != "--help" && argument != "--version" && argument != "--list-ports" && argument != "--json")
      return usage("unknown argument: " + std::string(argument));
  return usage("one option at a time");
}

// Stores option `name`'s value, or sets `error` when the option came before or the value is not
// one it takes.
void take_value(CommandLine& line, std::string_view name, std::string value, std::string* error) {
  if (name == "--update") {
    if (!line.mode.empty())
      *error = "--update given twice";
    else if (value != "flash-only" && value != "eep-flash")
      *error = "--update takes flash-only or eep-flash, not \"" + value + "\"";
    else
      line.mode = value;
    return;
  }
  if (name == "--progress") {
    if (value == "json") line.json = true;
    if (value != "text" && value != "json") *error = "--progress takes text or json, not \"" + value + "\"";
    return;
  }
  std::optional<std::string>* slot = name == "--package" ? &line.package : &line.registry;
  if (*slot)
    *error = std::string(name) + " given twice";
  else if (value.empty())
    *error = std::string(name) + " needs a non-empty value";
  else
    *slot = std::move(value);
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string_view>& arguments) {
  if (arguments.empty()) return {};
  if (std::none_of(arguments.begin(), arguments.end(), is_scripted_option)) return informational(arguments);
  CommandLine line;
  line.kind = CommandLine::Kind::update;
  std::string error;
  bool reboot_given = false, no_reboot_given = false;
  for (std::size_t i = 0; i < arguments.size() && error.empty(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--reboot" || argument == "--no-reboot") {
      (argument == "--reboot" ? reboot_given : no_reboot_given) = true;
      continue;
    }
    if (!is_scripted_option(argument)) {
      error = "unknown argument: " + std::string(argument);
      break;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (equals == std::string_view::npos && i + 1 == arguments.size()) {
      error = std::string(name) + " needs a value";
      break;
    }
    const std::string value(equals != std::string_view::npos ? argument.substr(equals + 1) : arguments[++i]);
    take_value(line, name, value, &error);
  }
  if (error.empty() && reboot_given && no_reboot_given) error = "--reboot and --no-reboot together";
  if (error.empty() && line.mode.empty()) error = "the options of a scripted update need --update MODE";
  if (!error.empty()) return usage(error, line.json);
  line.reboot = reboot_given;
  return line;
}

}  // namespace kov02
