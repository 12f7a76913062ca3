// The message API: posting, sending within and across threads, the message loop and timers.
#include <poll.h>

#include "kernel/threads.h"
#include "windowing/message_queue.h"
#include "windowing/windows.h"

namespace kov02::windowing {
namespace {

// Gives up a sent message when its sender unwinds from the wait (a terminated thread).
class AbandonOnUnwind {
 public:
  explicit AbandonOnUnwind(std::shared_ptr<SentMessage> message) : message_(std::move(message)) {}
  ~AbandonOnUnwind() {
    if (message_) message_->abandon();
  }
  AbandonOnUnwind(const AbandonOnUnwind&) = delete;
  AbandonOnUnwind& operator=(const AbandonOnUnwind&) = delete;
  void dismiss() { message_.reset(); }

 private:
  std::shared_ptr<SentMessage> message_;
};

// Queues the message on the owner's queue and waits for its result. The wait is a consent
// point, and a sender with a queue of its own runs messages sent to it meanwhile, so two
// threads sending to each other do not lock up.
LRESULT send_across_threads(const WindowPtr& window, UINT message, WPARAM wParam, LPARAM lParam) {
  const int fd = reply_fd();
  drain_eventfd(fd);
  auto sent = std::make_shared<SentMessage>(window->handle, message, wParam, lParam, fd);
  if (!window->owner->send(sent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  AbandonOnUnwind guard(sent);
  std::shared_ptr<ThreadQueue> own = existing_queue();
  while (!sent->done()) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {own ? own->wake_fd() : -1, POLLIN, 0}};
    kernel::consent_poll(fds, 2, -1);
    drain_eventfd(fd);
    if (!own) continue;
    own->drain_wake();
    while (own->service_one()) {
    }
  }
  guard.dismiss();
  return sent->result();
}

}  // namespace
}  // namespace kov02::windowing

using namespace kov02::windowing;

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowPtr window = find_window_or_fail(hwnd);
  if (!window) return 0;
  if (window->owner->owned_by_caller()) return call_procedure(window, message, wParam, lParam);
  return send_across_threads(window, message, wParam, lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return post_message(hwnd, message, wParam, lParam, KeyModifiers{});
}

void PostQuitMessage(int exitCode) {
  current_queue()->post_quit(exitCode);
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hwnd != nullptr && !find_window_or_fail(hwnd)) return -1;
  return wait_message(msg, hwnd, filterMin, filterMax) == WaitOutcome::quit ? FALSE : TRUE;
}

// Nothing here reads character messages (the one edit control is read-only), so key messages
// are not turned into characters.
BOOL TranslateMessage(const MSG*) {
  return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, static_cast<UINT>(msg->wParam), msg->time);
    return 0;
  }
  if (msg->hwnd == nullptr) return 0;
  WindowPtr window = owned_window_or_fail(msg->hwnd);
  if (!window) return 0;
  return call_procedure(window, msg->message, msg->wParam, msg->lParam);
}

UINT SetTimer(HWND hwnd, UINT id, UINT elapse, TIMERPROC proc) {
  if (hwnd == nullptr) return current_queue()->set_timer(nullptr, id, elapse, proc);
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return 0;
  return window->owner->set_timer(window->handle, id, elapse, proc);
}
