// The console's stdout (see console_output.h).
#include "ui/console/console_output.h"

#include <utility>

#include "kernel/text.h"

namespace kov02::ui::console {

using Kind = kernel::OutputQueue::Kind;

void ConsoleOutput::text(std::wstring_view text) {
  const std::wstring out = newline_breaks(text, after_cr_);
  if (out.empty()) return;
  std::string bytes = kernel::to_utf8(out);
  const std::size_t end_of_line = bytes.find('\n');
  if (!held_.empty() && end_of_line != std::string::npos) {
    bytes.insert(end_of_line + 1, held_);
    held_.clear();
  }
  push(bytes, Kind::text);
}

void ConsoleOutput::line_between(std::string_view line) {
  if (at_line_start_) {
    std::string out(line);
    out += '\n';
    return push(out, Kind::line);
  }
  held_ += line;
  held_ += '\n';
}

// Own lines start on a fresh line: the queue's writer sees to that, also after a gap.
void ConsoleOutput::line(std::string_view line) {
  after_cr_ = false;
  // Appended piece by piece: GCC 12 at -O3 misreads a chain of `+` as an overlapping copy.
  std::string out = std::exchange(held_, {});
  out += line;
  out += '\n';
  push(out, Kind::line);
}

void ConsoleOutput::lines(std::string_view lines) {
  after_cr_ = false;
  std::string out = std::exchange(held_, {});
  out += lines;
  push(out, Kind::line);
}

void ConsoleOutput::push(std::string_view bytes, Kind kind) {
  if (bytes.empty()) return;
  at_line_start_ = bytes.back() == '\n';
  queue_->push(bytes, kind);
}

std::wstring one_line(std::wstring_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
    out += (text[i] == L'\r' || text[i] == L'\n') ? L' ' : text[i];
  }
  return out;
}

std::wstring newline_breaks(std::wstring_view text, bool& after_cr) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const bool pairs_with_cr = c == L'\n' && after_cr;
    after_cr = c == L'\r';
    if (pairs_with_cr) continue;
    out += c == L'\r' ? L'\n' : c;
  }
  return out;
}

std::string pane_record(std::wstring_view pane) {
  bool after_cr = false;
  std::string text = kernel::to_utf8(newline_breaks(pane, after_cr));
  if (!text.empty() && text.back() != '\n') text += '\n';
  return "pane:\n" + text + "end pane\n";
}

}  // namespace kov02::ui::console
