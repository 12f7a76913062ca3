// The console's stdin: a thread reads it and keeps whole lines until the UI thread takes them.
// The UI thread takes a line only when it has nothing else to do, so each command's messages are
// handled before the next command runs, as if a person typed them one after another. A script
// can write far faster than that, so the reader stops reading while kMostWaiting lines wait: the
// writer is held back by the pipe instead of the program's memory growing.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kov02::ui::console {

struct InputLine {
  std::string text;
  bool too_long = false;  // over kLongestLine bytes: only an error line is due, the text is dropped
};

class LineReader {
 public:
  static constexpr std::size_t kLongestLine = 64 * 1024;
  static constexpr std::size_t kMostWaiting = 1000;

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
  // Blocks while kMostWaiting lines wait; false once the reader is to stop.
  bool room_for_more();

  const int in_fd_;
  const bool usable_;  // the descriptor was open when the reader was made
  const int stop_fd_;
  std::mutex mutex_;
  std::condition_variable taken_;  // a line was taken, or the reader is to stop
  bool stopping_ = false;
  std::deque<InputLine> lines_;
  std::thread thread_;
};

}  // namespace kov02::ui::console
