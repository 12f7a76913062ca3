// The thread functions behind handles: CreateThread enters a thread in the handle table;
// SuspendThread, ResumeThread and TerminateThread post requests that the target honours at its
// next consent point (threads.cpp) and wait, where the contract says so, for their effect.
#include <kov02/ce.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "kernel/handles.h"
#include "kernel/thread_state.h"
#include "kernel/threads.h"

namespace kov02::kernel {
namespace {

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  const std::shared_ptr<ThreadState>& state() const { return state_; }

 private:
  std::shared_ptr<ThreadState> state_;
};

std::atomic<DWORD> g_thread_counter{0};

// Waits until `done` holds for `target`, honouring the caller's own requests meanwhile so two
// threads that stop each other cannot deadlock.
template <class Predicate>
void wait_for_target(ThreadState& target, Predicate done) {
  std::unique_lock lock(target.mutex);
  while (!done()) {
    target.changed.wait_for(lock, std::chrono::milliseconds(20));
    if (done()) break;
    lock.unlock();
    consent_point();
    lock.lock();
  }
}

// The thread behind a handle (the pseudo-handle names the caller); null with the last error set.
std::shared_ptr<ThreadState> resolve_thread(HANDLE thread) {
  if (thread == kCurrentThreadPseudoHandle) return current_thread_state();
  auto object = lookup_as<ThreadObject>(thread);
  return object ? object->state() : nullptr;
}

}  // namespace

int thread_priority(HANDLE thread) {
  auto state = resolve_thread(thread);
  if (!state) return -1;
  std::lock_guard lock(state->mutex);
  return state->priority;
}

}  // namespace kov02::kernel

using kov02::kernel::ThreadObject;
using kov02::kernel::ThreadState;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD threadId) {
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto state = std::make_shared<ThreadState>();
  if (state->control_fd < 0) {
    kov02::kernel::set_last_error_from_errno();
    return nullptr;
  }
  const DWORD id = ++kov02::kernel::g_thread_counter;
  state->name = "thread-" + std::to_string(id);
  state->start = start;
  state->parameter = parameter;
  HANDLE handle = kov02::kernel::insert_handle(std::make_shared<ThreadObject>(state));
  if (!handle) return nullptr;
  const int result = kov02::kernel::start_thread(stackSize, std::move(state));
  if (result != 0) {
    kov02::kernel::close_handle(handle);
    SetLastError(kov02::kernel::error_from_errno(result));
    return nullptr;
  }
  if (threadId) *threadId = id;
  return handle;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  auto state = kov02::kernel::resolve_thread(thread);
  if (!state) return FALSE;
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(state->mutex);
  *exitCode = state->exit_code;
  return TRUE;
}

DWORD SuspendThread(HANDLE thread) {
  auto state = kov02::kernel::resolve_thread(thread);
  if (!state) return 0xFFFFFFFFu;
  DWORD previous;
  {
    std::lock_guard lock(state->mutex);
    if (state->finished) return 0;
    previous = state->suspend_count++;
    state->signal();
  }
  if (state == kov02::kernel::current_thread_state()) {
    kov02::kernel::consent_point();
    return previous;
  }
  ThreadState& target = *state;
  kov02::kernel::wait_for_target(target, [&] {
    return target.parked || target.finished || target.suspend_count == 0 || target.terminate_requested;
  });
  return previous;
}

DWORD ResumeThread(HANDLE thread) {
  auto state = kov02::kernel::resolve_thread(thread);
  if (!state) return 0xFFFFFFFFu;
  std::lock_guard lock(state->mutex);
  const DWORD previous = state->suspend_count;
  if (previous > 0 && --state->suspend_count == 0) state->changed.notify_all();
  return previous;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  auto state = kov02::kernel::resolve_thread(thread);
  if (!state) return FALSE;
  if (state->foreign) {
    // Only threads this platform started can be unwound; the others have no trampoline.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  {
    std::lock_guard lock(state->mutex);
    if (state->finished) return TRUE;
    if (!state->terminate_requested) {
      state->terminate_requested = true;
      state->terminate_code = exitCode;
    }
    state->signal();
    state->changed.notify_all();
  }
  if (state == kov02::kernel::current_thread_state()) kov02::kernel::unwind_current_thread();
  ThreadState& target = *state;
  kov02::kernel::wait_for_target(target, [&] { return target.finished; });
  return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  auto state = kov02::kernel::resolve_thread(thread);
  if (!state) return FALSE;
  if (priority < THREAD_PRIORITY_TIME_CRITICAL || priority > THREAD_PRIORITY_IDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Recorded only: the handset's eight levels have no faithful Linux counterpart without
  // privileges, and nothing in the program depends on the scheduler's choice.
  std::lock_guard lock(state->mutex);
  state->priority = priority;
  return TRUE;
}

HANDLE GetCurrentThread() {
  return kov02::kernel::kCurrentThreadPseudoHandle;
}
