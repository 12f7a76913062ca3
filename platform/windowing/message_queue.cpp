// Per-thread message queues, sent messages and the owner's wait (see message_queue.h).
#include "windowing/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>

#include "kernel/threads.h"
#include "windowing/backend.h"
#include "windowing/window_table.h"

namespace kov02::windowing {
namespace {

using Clock = std::chrono::steady_clock;

// Holds the thread's queue and releases its waiting senders when the thread ends.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) queue->shut_down();
  }
};

thread_local QueueHolder t_queue;
thread_local KeyModifiers t_key_modifiers;

bool is_key_message(UINT message) {
  return message == WM_KEYDOWN || message == WM_KEYUP || message == WM_CHAR;
}

}  // namespace

int make_eventfd() {
  return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void signal_eventfd(int fd) {
  const std::uint64_t one = 1;
  // write on an eventfd: 8 bytes or -1; it only fails when the counter would overflow,
  // and then the fd is readable anyway.
  [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

void drain_eventfd(int fd) {
  std::uint64_t count = 0;
  // read on a non-blocking eventfd: 8 bytes, or -1 with EAGAIN when it was not signalled.
  [[maybe_unused]] ssize_t got = ::read(fd, &count, sizeof count);
}

SentMessage::SentMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, int reply_fd)
    : hwnd_(hwnd), message_(message), wparam_(wParam), lparam_(lParam), reply_fd_(reply_fd) {}

void SentMessage::deliver() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::queued) return;
    state_ = State::running;
  }
  const LRESULT result = SendMessageW(hwnd_, message_, wparam_, lparam_);
  {
    std::lock_guard lock(mutex_);
    result_ = result;
    state_ = State::done;
    signal_eventfd(reply_fd_);
  }
  finished_.notify_all();
}

bool SentMessage::done() {
  std::lock_guard lock(mutex_);
  return state_ == State::done;
}

LRESULT SentMessage::result() {
  std::lock_guard lock(mutex_);
  return result_;
}

void SentMessage::abandon() {
  std::unique_lock lock(mutex_);
  if (state_ == State::queued) state_ = State::abandoned;
  finished_.wait(lock, [this] { return state_ != State::running; });
}

void SentMessage::release() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::queued) return;
    state_ = State::done;
    signal_eventfd(reply_fd_);
  }
  finished_.notify_all();
}

ThreadQueue::ThreadQueue() : owner_(std::this_thread::get_id()), wake_fd_(make_eventfd()) {}

ThreadQueue::~ThreadQueue() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool ThreadQueue::owned_by_caller() const {
  return owner_ == std::this_thread::get_id();
}

bool ThreadQueue::post(const QueuedMessage& message) {
  {
    std::lock_guard lock(mutex_);
    if (dead_) return false;
    posted_.push_back(message);
  }
  wake();
  return true;
}

bool ThreadQueue::send(std::shared_ptr<SentMessage> message) {
  {
    std::lock_guard lock(mutex_);
    if (dead_) return false;
    sent_.push_back(std::move(message));
  }
  wake();
  return true;
}

bool ThreadQueue::post_task(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (dead_) return false;
    tasks_.push_back(std::move(task));
  }
  wake();
  return true;
}

void ThreadQueue::post_quit(int code) {
  {
    std::lock_guard lock(mutex_);
    quit_ = code;
  }
  wake();
}

void ThreadQueue::wake() {
  signal_eventfd(wake_fd_);
}

void ThreadQueue::drain_wake() {
  drain_eventfd(wake_fd_);
}

bool ThreadQueue::service_one() {
  std::shared_ptr<SentMessage> sent;
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    if (!sent_.empty()) {
      sent = std::move(sent_.front());
      sent_.pop_front();
    } else if (!tasks_.empty()) {
      task = std::move(tasks_.front());
      tasks_.pop_front();
    } else {
      return false;
    }
  }
  if (sent) {
    sent->deliver();
  } else {
    task();
  }
  return true;
}

std::optional<QueuedMessage> ThreadQueue::take_posted(HWND filter, UINT min, UINT max) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(posted_.begin(), posted_.end(),
                         [&](const QueuedMessage& m) { return passes_filter(m.msg, filter, min, max); });
  if (it == posted_.end()) return std::nullopt;
  QueuedMessage found = *it;
  posted_.erase(it);
  return found;
}

std::optional<int> ThreadQueue::take_quit() {
  std::lock_guard lock(mutex_);
  std::optional<int> code = quit_;
  quit_.reset();
  return code;
}

UINT ThreadQueue::set_timer(HWND hwnd, UINT id, UINT period_ms, TIMERPROC proc) {
  // A thread timer (no window) gets a fresh id; a window's timer keeps the id it was given.
  if (hwnd == nullptr) id = next_timer_id_++;
  const auto period = std::chrono::milliseconds(std::max<UINT>(period_ms, 1));
  auto same = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (same != timers_.end()) timers_.erase(same);
  timers_.push_back({hwnd, id, period, proc, Clock::now() + period});
  return hwnd == nullptr ? id : std::max<UINT>(id, 1);
}

void ThreadQueue::remove_timers(HWND hwnd) {
  std::erase_if(timers_, [hwnd](const Timer& t) { return t.hwnd == hwnd; });
}

std::optional<MSG> ThreadQueue::take_due_timer(HWND filter) {
  const auto now = Clock::now();
  Timer* due = nullptr;
  for (Timer& t : timers_) {
    if (t.due > now || (filter != nullptr && t.hwnd != filter)) continue;
    if (due == nullptr || t.due < due->due) due = &t;
  }
  if (due == nullptr) return std::nullopt;
  // Periods missed while the thread was busy are not made up: one WM_TIMER, then a full period.
  due->due = now + due->period;
  MSG msg{};
  msg.hwnd = due->hwnd;
  msg.message = WM_TIMER;
  msg.wParam = due->id;
  msg.lParam = reinterpret_cast<LPARAM>(due->proc);
  msg.time = GetTickCount();
  return msg;
}

int ThreadQueue::ms_until_next_timer() const {
  if (timers_.empty()) return -1;
  auto next = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                return a.due < b.due;
              })->due;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(wait, 0, 1 << 30));
}

void ThreadQueue::shut_down() {
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard lock(mutex_);
    dead_ = true;
    sent.swap(sent_);
    tasks.swap(tasks_);
  }
  // The windows' procedures can no longer run: each waiting sender is released with result 0.
  for (auto& message : sent) message->release();
}

std::shared_ptr<ThreadQueue> current_queue() {
  if (!t_queue.queue) t_queue.queue = std::make_shared<ThreadQueue>();
  return t_queue.queue;
}

std::shared_ptr<ThreadQueue> existing_queue() {
  return t_queue.queue;
}

int reply_fd() {
  struct ReplyFd {
    int fd = make_eventfd();
    ~ReplyFd() {
      if (fd >= 0) ::close(fd);
    }
  };
  thread_local ReplyFd t_reply;
  return t_reply.fd;
}

bool passes_filter(const MSG& msg, HWND filter, UINT min, UINT max) {
  if (min != 0 || max != 0) {
    if (msg.message < min || msg.message > max) return false;
  }
  if (filter == nullptr) return true;
  for (HWND hwnd = msg.hwnd; hwnd != nullptr;) {
    if (hwnd == filter) return true;
    WindowPtr window = find_window(hwnd);
    hwnd = window && window->is_child() ? window->parent : nullptr;
  }
  return false;
}

namespace {

void block_until_woken(ThreadQueue& queue, int timeout_ms) {
  if (ui::Backend* backend = ui::backend_on_ui_thread()) {
    backend->wait(queue.wake_fd(), timeout_ms);
    return;
  }
  pollfd fd{queue.wake_fd(), POLLIN, 0};
  kernel::consent_poll(&fd, 1, timeout_ms);
}

bool take_next(ThreadQueue& queue, MSG* msg, HWND filter, UINT min, UINT max, WaitOutcome* outcome) {
  if (auto posted = queue.take_posted(filter, min, max)) {
    *msg = posted->msg;
    if (is_key_message(msg->message)) t_key_modifiers = posted->modifiers;
    *outcome = WaitOutcome::message;
    return true;
  }
  if (auto code = queue.take_quit()) {
    *msg = MSG{};
    msg->message = WM_QUIT;
    msg->wParam = static_cast<WPARAM>(*code);
    *outcome = WaitOutcome::quit;
    return true;
  }
  if (auto timer = queue.take_due_timer(filter)) {
    *msg = *timer;
    *outcome = WaitOutcome::message;
    return true;
  }
  return false;
}

}  // namespace

WaitOutcome wait_message(MSG* msg, HWND filter, UINT min, UINT max, const std::function<bool()>& stop) {
  std::shared_ptr<ThreadQueue> queue = current_queue();
  for (;;) {
    queue->drain_wake();
    while (queue->service_one()) {
      if (stop && stop()) return WaitOutcome::stopped;
    }
    if (stop && stop()) return WaitOutcome::stopped;
    WaitOutcome outcome;
    if (take_next(*queue, msg, filter, min, max, &outcome)) return outcome;
    block_until_woken(*queue, queue->ms_until_next_timer());
  }
}

int pump_pending() {
  std::shared_ptr<ThreadQueue> queue = current_queue();
  int count = 0;
  queue->drain_wake();
  for (;;) {
    if (queue->service_one()) {
      ++count;
      continue;
    }
    auto posted = queue->take_posted(nullptr, 0, 0);
    if (!posted) return count;
    if (is_key_message(posted->msg.message)) t_key_modifiers = posted->modifiers;
    DispatchMessageW(&posted->msg);
    ++count;
  }
}

KeyModifiers last_key_modifiers() {
  return t_key_modifiers;
}

void run_modal_loop(const std::function<bool()>& done) {
  MSG msg{};
  while (!done()) {
    const WaitOutcome outcome = wait_message(&msg, nullptr, 0, 0, done);
    if (outcome == WaitOutcome::stopped) return;
    if (outcome == WaitOutcome::quit) {
      current_queue()->post_quit(static_cast<int>(msg.wParam));
      return;
    }
    DispatchMessageW(&msg);
  }
}

}  // namespace kov02::windowing
