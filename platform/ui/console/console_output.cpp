// The console's stdout (see console_output.h).
#include "ui/console/console_output.h"

#include <utility>

#include "kernel/text.h"

namespace kov02::ui::console {

using Kind = kernel::OutputQueue::Kind;

void ConsoleOutput::text(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const bool pairs_with_cr = c == L'\n' && after_cr_;
    after_cr_ = c == L'\r';
    if (pairs_with_cr) continue;
    out += c == L'\r' ? L'\n' : c;
  }
  std::string bytes = kernel::to_utf8(out);
  const std::size_t end_of_line = bytes.find('\n');
  if (!held_.empty() && end_of_line != std::string::npos) {
    bytes.insert(end_of_line + 1, held_);
    held_.clear();
  }
  push(bytes, Kind::text);
}

void ConsoleOutput::line_between(std::string_view line) {
  if (at_line_start_) return push(std::string(line) + "\n", Kind::line);
  held_ += line;
  held_ += '\n';
}

// Own lines start on a fresh line: the queue's writer sees to that, also after a gap.
void ConsoleOutput::line(std::string_view line) {
  after_cr_ = false;
  push(std::exchange(held_, {}) + std::string(line) + "\n", Kind::line);
}

void ConsoleOutput::lines(std::string_view lines) {
  after_cr_ = false;
  push(std::exchange(held_, {}) + std::string(lines), Kind::line);
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

}  // namespace kov02::ui::console
