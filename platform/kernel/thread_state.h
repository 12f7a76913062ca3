// What the consent point (threads.cpp) and the thread handles (thread_handles.cpp) share: the
// record of one thread's pending requests. The consent point owns it and honours the requests;
// the thread functions behind handles post them and wait for their effect.
#pragma once

#include <kov02/ce.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kov02::kernel {

struct ThreadState {
  ThreadState() : control_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ThreadState() {
    if (control_fd >= 0) ::close(control_fd);
  }
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;

  // Makes the control eventfd readable: a request awaits the thread's next consent point. Called
  // with `mutex` held.
  void signal() {
    requested.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(control_fd, &one, sizeof one);
  }
  void drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(control_fd, &count, sizeof count);
  }

  std::mutex mutex;
  std::condition_variable changed;
  // Set with every request, cleared when the thread takes its requests under `mutex`: the
  // thread's own consent points look at this word first, so a consent point without a request
  // costs no lock and no system call (they come between every chunk and its answer).
  std::atomic<bool> requested{false};
  DWORD suspend_count = 0;
  bool terminate_requested = false;
  DWORD terminate_code = 0;
  bool parked = false;
  bool finished = false;
  DWORD exit_code = STILL_ACTIVE;
  int priority = THREAD_PRIORITY_NORMAL;
  // Threads the platform did not start (the process's first thread, library threads) have no
  // handle, so nobody else can suspend or terminate them.
  bool foreign = false;
  int control_fd;
  std::string name;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
};

// The calling thread's record, made on first use for a thread the platform did not start.
const std::shared_ptr<ThreadState>& current_thread_state();

// Unwinds the calling thread to its trampoline, which ends it with its terminate code. Only for
// a thread start_thread() started.
[[noreturn]] void unwind_current_thread();

// Starts a detached pthread that runs state.start(state.parameter) behind the consent point and
// records its exit code. Returns 0 or pthread_create's error number.
int start_thread(SIZE_T stack_size, std::shared_ptr<ThreadState> state);

}  // namespace kov02::kernel
