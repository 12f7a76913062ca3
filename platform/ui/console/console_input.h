// The console's stdin: a thread reads it and keeps whole lines until the UI thread takes them.
// The UI thread takes a line only when it has nothing else to do, so each command's messages are
// handled before the next command runs, as if a person typed them one after another.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kov02::ui::console {

struct InputLine {
  std::string text;
  bool too_long = false;  // cut off at kLongestLine bytes; only an error line is due
};

class LineReader {
 public:
  static constexpr std::size_t kLongestLine = 64 * 1024;

  explicit LineReader(int in_fd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Starts the reading thread (once); each line read wakes the UI thread.
  void start();
  std::optional<InputLine> next();

 private:
  void run();
  void deliver(InputLine line);

  const int in_fd_;
  const bool usable_;  // the descriptor was open when the reader was made
  const int stop_fd_;
  std::mutex mutex_;
  std::deque<InputLine> lines_;
  std::thread thread_;
};

}  // namespace kov02::ui::console
