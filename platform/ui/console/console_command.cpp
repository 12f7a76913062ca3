// Parsing of the console's command lines (see console_command.h and README.md).
#include "ui/console/console_command.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>

#include "kernel/text.h"
#include "windowing/virtual_keys.h"

namespace kov02::ui::console {
namespace {

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

template <class T>
std::optional<T> number(std::string_view text, T max) {
  T value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > max)
    return std::nullopt;
  return value;
}

std::optional<WORD> key_code(const std::string& name) {
  if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0]))) {
    return static_cast<WORD>(std::toupper(static_cast<unsigned char>(name[0])));
  }
  // Function keys are spelled f1..f12 only: "f012" or "f+1" would be a typing slip, not F12.
  if (name.size() >= 2 && name[0] == 'f' && name[1] != '0') {
    if (auto n = number<unsigned>(std::string_view(name).substr(1), windowing::FUNCTION_KEYS); n && *n >= 1)
      return static_cast<WORD>(windowing::VK_F1 + *n - 1);
  }
  return windowing::named_virtual_key(name);
}

ParsedLine parse_menu(std::string_view args) {
  MenuCommand command;
  while (true) {
    const std::size_t slash = args.find('/');
    const std::string_view step = trim(args.substr(0, slash));
    if (step.empty()) return ParseError{};
    command.path.push_back(kernel::from_utf8(step));
    if (slash == std::string_view::npos) break;
    args.remove_prefix(slash + 1);
  }
  return command;
}

ParsedLine parse_key(std::string_view args) {
  KeyCommand command;
  std::string combination = lower(args);
  if (combination.empty() || combination.find(' ') != std::string::npos) return ParseError{};
  std::size_t plus;
  // "ctrl++" would name the '+' key, which the handset's keypad lacks: it is an error too.
  while ((plus = combination.find('+')) != std::string::npos) {
    const std::string modifier = combination.substr(0, plus);
    if (modifier == "ctrl" || modifier == "control") {
      command.modifiers.ctrl = true;
    } else if (modifier == "shift") {
      command.modifiers.shift = true;
    } else if (modifier == "alt") {
      command.modifiers.alt = true;
    } else {
      return ParseError{};
    }
    combination.erase(0, plus + 1);
  }
  auto vk = key_code(combination);
  if (!vk) return ParseError{};
  command.vk = *vk;
  return command;
}

ParsedLine parse_ok(std::string_view args) {
  return args.empty() ? ParsedLine{OkCommand{}} : ParseError{};
}

ParsedLine parse_send(std::string_view args) {
  auto id = number<unsigned>(args, 0xFFFF);
  if (!id) return ParseError{};
  return SendCommand{static_cast<WORD>(*id)};
}

ParsedLine parse_caret(std::string_view args) {
  if (args == "end") return CaretCommand{std::nullopt};
  auto position = number<std::size_t>(args, static_cast<std::size_t>(-1));
  if (!position) return ParseError{};
  return CaretCommand{*position};
}

ParsedLine parse_answer(std::string_view args) {
  const std::string answer = lower(args);
  if (answer == "ok") return AnswerCommand{IDOK};
  if (answer == "yes") return AnswerCommand{IDYES};
  if (answer == "no") return AnswerCommand{IDNO};
  return ParseError{};
}

ParsedLine parse_show(std::string_view args) {
  if (args == "menu") return ShowMenuCommand{};
  if (args == "pane") return ShowPaneCommand{};
  return ParseError{};
}

ParsedLine parse_help(std::string_view args) {
  return args.empty() ? ParsedLine{HelpCommand{}} : ParseError{};
}

struct GrammarRow {
  std::string_view keyword;
  std::string_view syntax;
  std::string_view meaning;
  ParsedLine (*parse)(std::string_view args);
};

constexpr GrammarRow kGrammar[] = {
    {"menu", "menu CAPTION/CAPTION[/CAPTION]", "choose a menu item by its captions", parse_menu},
    {"key", "key [ctrl+][shift+][alt+]KEY", "press a key (through the accelerator table)", parse_key},
    {"ok", "ok", "press the title bar's OK button", parse_ok},
    {"command", "command ID", "send WM_COMMAND with ID (0-65535) to the main window", parse_send},
    {"caret", "caret N|end", "move the log pane's caret to character N or to the end", parse_caret},
    {"answer", "answer ok|yes|no", "answer the oldest message box or dialog shown", parse_answer},
    {"show", "show menu|pane", "print the menu tree, or the log pane's text as it stands now", parse_show},
    {"help", "help", "print this list", parse_help},
};

}  // namespace

ParsedLine parse_line(std::string_view line) {
  line = trim(line);
  if (line.empty()) return BlankLine{};
  const std::size_t space = line.find_first_of(" \t");
  const std::string keyword(line.substr(0, space));
  const std::string_view args =
      space == std::string_view::npos ? std::string_view{} : trim(line.substr(space));
  const auto row = std::find_if(std::begin(kGrammar), std::end(kGrammar),
                                [&](const GrammarRow& r) { return r.keyword == keyword; });
  if (row == std::end(kGrammar)) return ParseError{"unknown command \"" + keyword + "\" (try help)"};
  ParsedLine parsed = row->parse(args);
  if (auto* error = std::get_if<ParseError>(&parsed)) error->message = "usage: " + std::string(row->syntax);
  return parsed;
}

std::string help_text() {
  std::string text;
  constexpr std::size_t kColumn = 34;
  for (const GrammarRow& row : kGrammar) {
    std::string line(row.syntax);
    line.resize(std::max(kColumn, line.size() + 1), ' ');
    text += line + std::string(row.meaning) + "\n";
  }
  return text;
}

}  // namespace kov02::ui::console
