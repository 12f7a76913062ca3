#include "serial/line_watch.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace kov02::serial {
namespace {

// A real-time signal nothing else in the process uses; it only interrupts the watch's wait.
int stop_signal() {
  return SIGRTMIN + 2;
}

void on_stop_signal(int) {}

// Installed without SA_RESTART, so the interrupted wait returns EINTR instead of resuming.
void install_stop_handler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // sigaction: 0, or -1 with errno (not for a valid real-time signal).
    ::sigaction(stop_signal(), &action, nullptr);
  });
}

// The watch takes no signal but its own: the process's other signals go to threads that expect
// them.
void take_only_stop_signal() {
  sigset_t blocked;
  sigfillset(&blocked);
  sigdelset(&blocked, stop_signal());
  ::pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
}

constexpr auto kStopResend = std::chrono::milliseconds(2);

}  // namespace

LineWatch::LineWatch(std::function<int()> wait_change, std::function<void()> changed)
    : wait_change_(std::move(wait_change)), changed_(std::move(changed)) {
  install_stop_handler();
  thread_ = std::thread([this] { run(); });
}

LineWatch::~LineWatch() {
  stopping_.store(true, std::memory_order_release);
  while (!ended_.load(std::memory_order_acquire)) {
    // pthread_kill: 0, or an error number (ESRCH once the thread has ended; then ended_ is set).
    ::pthread_kill(thread_.native_handle(), stop_signal());
    std::this_thread::sleep_for(kStopResend);
  }
  thread_.join();
}

void LineWatch::run() {
  take_only_stop_signal();
  while (!stopping_.load(std::memory_order_acquire)) {
    const int result = wait_change_();
    const int error = errno;
    if (stopping_.load(std::memory_order_acquire)) break;
    if (result == 0) {
      changed_();
      continue;
    }
    if (error == EINTR) continue;
    waits_.store(false, std::memory_order_release);
    changed_();
    break;
  }
  ended_.store(true, std::memory_order_release);
}

}  // namespace kov02::serial
