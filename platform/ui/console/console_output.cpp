// The console's stdout (see console_output.h).
#include "ui/console/console_output.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "kernel/text.h"

namespace kov02::ui::console {

void ConsoleOutput::text(std::wstring_view text) {
  const std::wstring out = newline_breaks(text, after_cr_);
  if (out.empty()) return;
  std::string bytes = kernel::to_utf8(out);
  const std::size_t end_of_line = bytes.find('\n');
  if (!held_.empty() && end_of_line != std::string::npos) {
    bytes.insert(end_of_line + 1, held_);
    held_.clear();
  }
  write_all(bytes);
}

void ConsoleOutput::line_between(std::string_view line) {
  if (at_line_start_) return write_all(std::string(line) + "\n");
  held_ += line;
  held_ += '\n';
}

void ConsoleOutput::line(std::string_view line) {
  std::string out;
  if (!at_line_start_) out += '\n';
  out += std::exchange(held_, {});
  out += line;
  out += '\n';
  after_cr_ = false;
  write_all(out);
}

void ConsoleOutput::lines(std::string_view lines) {
  if (!at_line_start_) {
    // Appended rather than `"\n" + held_`, which GCC 12 at -O3 misreads as an overlapping
    // copy (-Wrestrict).
    std::string out = "\n";
    out += std::exchange(held_, {});
    write_all(out);
  }
  after_cr_ = false;
  write_all(lines);
}

void ConsoleOutput::write_all(std::string_view bytes) {
  if (bytes.empty()) return;
  at_line_start_ = bytes.back() == '\n';
  while (!bytes.empty()) {
    // write: bytes written, or -1 with errno. A reader that went away (EPIPE) or a closed
    // stdout ends the output, not the program.
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
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
