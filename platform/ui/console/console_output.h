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

 private:
  const std::shared_ptr<kernel::OutputQueue> queue_;
  bool after_cr_ = false;
};

// A text for a one-line "box:" record: every line break becomes one space.
std::wstring one_line(std::wstring_view text);

}  // namespace kov02::ui::console
