// The console's stdout (see console_output.h).
#include "ui/console/console_output.h"

#include "kernel/text.h"

namespace kov02::ui::console {

void ConsoleOutput::text(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const bool pairs_with_cr = c == L'\n' && after_cr_;
    after_cr_ = c == L'\r';
    if (pairs_with_cr) continue;
    out += c == L'\r' ? L'\n' : c;
  }
  queue_->push(kernel::to_utf8(out));
}

void ConsoleOutput::line(std::string_view line) {
  after_cr_ = false;
  queue_->push(std::string(line) + "\n", kernel::OutputQueue::Kind::line);
}

void ConsoleOutput::lines(std::string_view lines) {
  after_cr_ = false;
  queue_->push(lines, kernel::OutputQueue::Kind::line);
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
