// The console's command lines: one command a line on stdin. This grammar is an interface that
// scripts depend on (README.md beside this file); parse_line() is pure.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "windowing/message_queue.h"

namespace kov02::ui::console {

struct BlankLine {
  bool operator==(const BlankLine&) const = default;
};
struct MenuCommand {  // menu System/Suspend RIL
  std::vector<std::wstring> path;
  bool operator==(const MenuCommand&) const = default;
};
struct KeyCommand {  // key ctrl+q
  WORD vk = 0;
  windowing::KeyModifiers modifiers;
  bool operator==(const KeyCommand&) const = default;
};
struct OkCommand {  // ok
  bool operator==(const OkCommand&) const = default;
};
struct SendCommand {  // command 120
  WORD id = 0;
  bool operator==(const SendCommand&) const = default;
};
struct CaretCommand {  // caret 12 | caret end (no position)
  std::optional<std::size_t> position;
  bool operator==(const CaretCommand&) const = default;
};
struct AnswerCommand {  // answer ok|yes|no: IDOK, IDYES, IDNO
  int id = 0;
  bool operator==(const AnswerCommand&) const = default;
};
struct ShowMenuCommand {  // show menu
  bool operator==(const ShowMenuCommand&) const = default;
};
struct ShowPaneCommand {  // show pane
  bool operator==(const ShowPaneCommand&) const = default;
};
struct HelpCommand {  // help
  bool operator==(const HelpCommand&) const = default;
};
struct ParseError {  // one line for stderr
  std::string message;
  bool operator==(const ParseError&) const = default;
};

using ParsedLine = std::variant<BlankLine, MenuCommand, KeyCommand, OkCommand, SendCommand, CaretCommand,
                                AnswerCommand, ShowMenuCommand, ShowPaneCommand, HelpCommand, ParseError>;

// Parses one line (without its '\n'; a trailing '\r' and surrounding blanks are ignored).
ParsedLine parse_line(std::string_view line);

// The grammar, one usage line per command, for `help`.
std::string help_text();

}  // namespace kov02::ui::console
