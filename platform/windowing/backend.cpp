// The UI thread and its backend: the thread that first asks becomes the UI thread and gets the
// backend ui/ chooses for this process; other threads reach it through the UI thread's queue.
#include "windowing/backend.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <thread>

#include "kernel/threads.h"
#include "windowing/message_queue.h"

namespace kov02::ui {
namespace {

struct Active {
  std::mutex mutex;
  bool bound = false;
  std::thread::id ui_thread;
  std::shared_ptr<windowing::ThreadQueue> ui_queue;
  std::unique_ptr<Backend> backend;
};

Active& active() {
  static Active* const instance = new Active;
  return *instance;
}

// Keeps the window alive while the UI thread waits for a hook: sent messages and tasks are
// served (a worker's SendMessageW to the pane returns, and the pane shows its text) and the
// backend repaints, holding the person's input until the hook has returned.
class UiWaitKeeper final : public kernel::WaitKeeper {
 public:
  void wait(int fd, int timeout_ms) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::shared_ptr<windowing::ThreadQueue> queue = windowing::current_queue();
    // One descriptor for the backend to wait on: `fd` or the queue's wake.
    const int either = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event in{};
    in.events = EPOLLIN;
    ::epoll_ctl(either, EPOLL_CTL_ADD, fd, &in);
    ::epoll_ctl(either, EPOLL_CTL_ADD, queue->wake_fd(), &in);
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{either};
    for (;;) {
      queue->drain_wake();
      while (queue->service_one()) {
      }
      pollfd done{fd, POLLIN, 0};
      if (::poll(&done, 1, 0) > 0) return;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (timeout_ms >= 0 && left <= 0) return;
      Backend* backend = backend_on_ui_thread();
      const int slice = timeout_ms < 0 ? -1 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
      if (backend) {
        backend->wait_holding_input(either, slice);
      } else {
        pollfd any{either, POLLIN, 0};
        kernel::consent_poll(&any, 1, slice);
      }
    }
  }
};

// Makes the calling thread the UI thread's keeper of its window during long waits.
void keep_alive_here() {
  static UiWaitKeeper keeper;
  kernel::set_wait_keeper(&keeper);
}

}  // namespace

void Backend::wait_holding_input(int wake_fd, int timeout_ms) {
  pollfd fd{wake_fd, POLLIN, 0};
  kernel::consent_poll(&fd, 1, timeout_ms);
}

Backend* backend_here() {
  Active& a = active();
  std::unique_lock lock(a.mutex);
  if (!a.bound) {
    a.bound = true;
    a.ui_thread = std::this_thread::get_id();
    a.ui_queue = windowing::current_queue();
    keep_alive_here();
    lock.unlock();
    // Only this thread gets past the test below, so the choice is made once, unlocked.
    auto chosen = choose_backend();
    lock.lock();
    a.backend = std::move(chosen);
  }
  return a.ui_thread == std::this_thread::get_id() ? a.backend.get() : nullptr;
}

Backend* backend_on_ui_thread() {
  return on_ui_thread() ? backend_here() : nullptr;
}

bool on_ui_thread() {
  Active& a = active();
  std::lock_guard lock(a.mutex);
  return a.bound && a.ui_thread == std::this_thread::get_id();
}

bool run_on_ui_thread(std::function<void()> task) {
  std::shared_ptr<windowing::ThreadQueue> queue;
  {
    Active& a = active();
    std::lock_guard lock(a.mutex);
    if (!a.bound) return false;
    if (a.ui_thread != std::this_thread::get_id()) queue = a.ui_queue;
  }
  if (!queue) {
    task();
    return true;
  }
  return queue->post_task(std::move(task));
}

void install_backend(std::unique_ptr<Backend> backend) {
  Active& a = active();
  std::unique_ptr<Backend> previous;
  std::lock_guard lock(a.mutex);
  a.bound = true;
  a.ui_thread = std::this_thread::get_id();
  a.ui_queue = windowing::current_queue();
  keep_alive_here();
  previous = std::move(a.backend);
  a.backend = std::move(backend);
}

}  // namespace kov02::ui
