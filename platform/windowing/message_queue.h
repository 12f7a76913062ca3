// Per-thread message queues and the waits built on them.
//
// Every thread that owns a window (or calls GetMessageW) has a queue: posted messages, sent
// messages from other threads, tasks (closures other threads ask this thread to run, such as
// showing a worker's message box), the quit flag and the thread's timers. Any thread may add to a
// queue; only the owner takes from it. An eventfd turns readable whenever something is added.
//
// Every wait of a queue's owner services sent messages and tasks first, so a thread blocked in
// SendMessageW on this one is never kept waiting by a modal dialog or a message box here.
#pragma once

#include <kov02/ce.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kov02::windowing {

// Modifier keys held when a key message was queued (TranslateAcceleratorW reads them back).
struct KeyModifiers {
  bool ctrl = false;
  bool shift = false;
  bool alt = false;
  bool operator==(const KeyModifiers&) const = default;
};

struct QueuedMessage {
  MSG msg{};
  KeyModifiers modifiers;
};

// A message sent from another thread: the sender waits until the owner has run the procedure.
class SentMessage {
 public:
  SentMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, int reply_fd);

  // Owner side: runs the procedure unless the sender gave up; then wakes the sender.
  void deliver();
  // Sender side: true once the result is there.
  bool done();
  LRESULT result();
  // Sender side, when it leaves its wait early (terminated): a message not yet started is
  // dropped; one that runs is waited for, because its arguments may live on the sender's stack.
  void abandon();
  // Owner side, when the owner thread ends: the sender gets result 0 without the procedure.
  void release();

 private:
  enum class State { queued, running, done, abandoned };
  const HWND hwnd_;
  const UINT message_;
  const WPARAM wparam_;
  const LPARAM lparam_;
  const int reply_fd_;
  std::mutex mutex_;
  std::condition_variable finished_;
  State state_ = State::queued;
  LRESULT result_ = 0;
};

class ThreadQueue {
 public:
  ThreadQueue();
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  int wake_fd() const { return wake_fd_; }
  bool owned_by_caller() const;

  // Any thread. False when the owner thread has ended.
  bool post(const QueuedMessage& message);
  bool send(std::shared_ptr<SentMessage> message);
  bool post_task(std::function<void()> task);
  void post_quit(int code);
  // Makes the owner's wait look at its state again.
  void wake();

  // Owner only.
  void drain_wake();
  // Runs one waiting sent message or task; false when there was none.
  bool service_one();
  std::optional<QueuedMessage> take_posted(HWND filter, UINT min, UINT max);
  std::optional<int> take_quit();

  // Timers (owner only). A due timer yields WM_TIMER when nothing else is queued.
  UINT set_timer(HWND hwnd, UINT id, UINT period_ms, TIMERPROC proc);
  void remove_timers(HWND hwnd);
  std::optional<MSG> take_due_timer(HWND filter);
  int ms_until_next_timer() const;  // -1: no timer

  // The calling thread is ending: pending senders are released with result 0.
  void shut_down();

 private:
  struct Timer {
    HWND hwnd;
    UINT id;
    std::chrono::milliseconds period;
    TIMERPROC proc;
    std::chrono::steady_clock::time_point due;
  };

  const std::thread::id owner_;
  const int wake_fd_;
  std::mutex mutex_;
  std::deque<QueuedMessage> posted_;
  std::deque<std::shared_ptr<SentMessage>> sent_;
  std::deque<std::function<void()>> tasks_;
  std::optional<int> quit_;
  bool dead_ = false;
  std::vector<Timer> timers_;
  UINT next_timer_id_ = 1;
};

// Eventfd helpers: a new non-blocking eventfd (-1 on failure); make it readable; empty it.
int make_eventfd();
void signal_eventfd(int fd);
void drain_eventfd(int fd);

// The calling thread's queue, made on first use.
std::shared_ptr<ThreadQueue> current_queue();
// The calling thread's queue if it has one.
std::shared_ptr<ThreadQueue> existing_queue();

// An eventfd private to the calling thread for replies to its sent messages.
int reply_fd();

// Does `msg` pass GetMessageW's filter (window, including its children, and message range)?
bool passes_filter(const MSG& msg, HWND filter, UINT min, UINT max);

// Result of wait_message().
enum class WaitOutcome { message, quit, stopped };

// The owner's wait: services sent messages and tasks, then returns the next posted message, the
// quit code (in msg->wParam) or a due timer. With `stop`, returns `stopped` as soon as it holds.
WaitOutcome wait_message(MSG* msg, HWND filter, UINT min, UINT max, const std::function<bool()>& stop = {});

// Runs everything already waiting for the calling thread without blocking: sent messages,
// tasks, then posted messages (dispatched). A queued quit stays queued. Returns how many ran.
int pump_pending();

// Modifier keys of the key message most recently taken from the calling thread's queue.
KeyModifiers last_key_modifiers();

// The message loop of a modal dialog or message box on the calling thread: dispatches messages
// until `done()` holds. A quit message ends the loop early and is queued again.
void run_modal_loop(const std::function<bool()>& done);

}  // namespace kov02::windowing
