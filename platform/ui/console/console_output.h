// The console's stdout: log-pane text as it is appended, and lines of the console's own
// ("box: ...", "raised") that always start on a line of their own. Queued at once and written by
// the output's own writer thread, so a paused terminal or a full pipe never holds up the UI
// thread: pane text is dropped (and counted) while the reader lags, the console's own lines are
// kept.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kernel/output_queue.h"

namespace kov02::ui::console {

class ConsoleOutput {
 public:
  explicit ConsoleOutput(int fd) : queue_(kernel::fd_output(fd)) {}

  // Pane text: "\r\n" (even split across two calls) and a lone '\r' become "\n".
  void text(std::wstring_view text);
  // One line of the console's own; a '\n' is added.
  void line(std::string_view line);
  // Bytes as they are (help text, the menu tree): whole lines.
  void lines(std::string_view lines);
  // A line of the console's own that must not split a pane line in two (progress while the
  // stars of an update grow): written at once at a line start, else held until the pane's
  // text next ends a line, and written right after that line break.
  void line_between(std::string_view line);

 private:
  void push(std::string_view bytes, kernel::OutputQueue::Kind kind);

  const std::shared_ptr<kernel::OutputQueue> queue_;
  bool at_line_start_ = true;  // of what was queued; the writer starts own lines afresh itself
  bool after_cr_ = false;
  std::string held_;  // lines waiting for the pane's next line break
};

// A text for a one-line "box:" record: every line break becomes one space.
std::wstring one_line(std::wstring_view text);

// Pane text with its line breaks as "\n": "\r\n" and a lone '\r' become one "\n". `after_cr`
// carries a '\r' that ended the previous piece, so a pair split across two pieces is one break.
std::wstring newline_breaks(std::wstring_view text, bool& after_cr);

// The `show pane` record: "pane:", the pane's text (breaks as "\n", ending in one), "end pane".
std::string pane_record(std::wstring_view pane);

}  // namespace kov02::ui::console
