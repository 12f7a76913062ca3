// Output that never holds up the thread producing it. The debug output and the console write
// through a bounded queue that a writer thread of its own empties; a reader that stops reading
// (a paused terminal, a full pipe) then stalls only that writer. When the queue is full, text is
// dropped a line at a time and counted, and the writer reports "[N lines dropped]" on a line of
// its own, where the gap is, once it can write again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kov02::kernel {

// Where a queue's bytes end up; called on the queue's writer thread only, so it may block for as
// long as its reader does.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void write(std::string_view bytes) = 0;
};

// Writes everything to `fd`, waiting on it as long as it takes; an fd that fails (a reader that
// went away) loses the rest of the bytes. The fd stays the caller's.
class FdSink final : public OutputSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  void write(std::string_view bytes) override;

 private:
  const int fd_;
};

class OutputQueue : public std::enable_shared_from_this<OutputQueue> {
 public:
  // A couple of hundred trace lines: a reader that is merely slow loses nothing, one that
  // stopped holds up no more than this.
  static constexpr std::size_t kCapacity = 16 * 1024;

  enum class Kind {
    // Any text, also part of a line. Dropped when the queue is full, and from then on until the
    // writer has taken what the queue holds (so one stall makes one gap), always up to the end
    // of a line, so no two halves of different lines are ever joined.
    text,
    // Whole lines of the program's own (a box shown, an error): always start on a fresh line
    // and are kept past the capacity, up to a hard bound of four times it.
    line,
  };

  // The queue and its sink; the writer thread starts on demand and ends when idle for a second.
  static std::shared_ptr<OutputQueue> make(std::unique_ptr<OutputSink> sink,
                                           std::size_t capacity = kCapacity);

  // Never waits for the reader.
  void push(std::string_view bytes, Kind kind = Kind::text);
  // Waits until everything queued (and any drop report) has been handed to the sink, or until
  // `deadline`; true when it was.
  bool flush(std::chrono::steady_clock::time_point deadline);

  OutputQueue(std::unique_ptr<OutputSink> sink, std::size_t capacity);

  // Around fork(): the queue is locked while the process forks, so the child never inherits it
  // locked by a writer that does not exist there; the child starts its own writer when needed.
  void before_fork();
  void after_fork(bool in_child);

 private:
  struct Entry {
    std::string bytes;
    bool own_line = false;
    unsigned dropped_before = 0;
  };

  void push_text(std::string_view bytes);
  void drop(std::string_view bytes);
  void accept(std::string_view bytes, bool own_line);
  void start_writer();
  void write_through(std::string_view bytes, bool own_line);
  void run_writer();
  std::string take_batch();
  void append(std::string& batch, std::string_view bytes, bool own_line);

  const std::unique_ptr<OutputSink> sink_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::deque<Entry> entries_;
  std::size_t queued_bytes_ = 0;
  unsigned dropped_ = 0;  // lines dropped since the last entry kept
  bool inside_dropped_line_ = false;
  bool shedding_ = false;  // dropping text until the writer takes the queue
  bool writer_running_ = false;
  bool writing_ = false;
  // A forked child writes straight through: a thread started after a threaded process forked
  // is not safe to have.
  bool direct_ = false;
  bool at_line_start_ = true;  // of what the writer has handed to the sink
};

// The queue in front of descriptor `fd` (stdout, stderr), one per descriptor for the process's
// life, so the debug output and the console's error lines on stderr keep one order.
std::shared_ptr<OutputQueue> fd_output(int fd);
// Puts `queue` in front of `fd` from now on (stderr in another form); before anything is written.
void replace_fd_output(int fd, std::shared_ptr<OutputQueue> queue);

// Waits until every queue has written what it holds, for at most `limit` in all. Runs by itself
// at normal process exit (bounded, so a reader that never reads cannot keep the process alive).
void flush_outputs(std::chrono::milliseconds limit);

}  // namespace kov02::kernel
