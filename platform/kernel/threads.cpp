// Threads that consent to being suspended and terminated (see threads.h for the contract).
#include "kernel/threads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kernel/handles.h"

namespace kov02::kernel {
namespace {

using Clock = std::chrono::steady_clock;

// Unwinds a terminated thread to its trampoline. Private, so nothing else can catch it by name.
struct ThreadTerminated {};

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

struct ThreadState {
  ThreadState() : control_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ThreadState() {
    if (control_fd >= 0) ::close(control_fd);
  }
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;

  // Makes the control eventfd readable: a request awaits the thread's next consent point.
  void signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(control_fd, &one, sizeof one);
  }
  void drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(control_fd, &count, sizeof count);
  }

  std::mutex mutex;
  std::condition_variable changed;
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

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  const std::shared_ptr<ThreadState>& state() const { return state_; }

 private:
  std::shared_ptr<ThreadState> state_;
};

std::atomic<DWORD> g_thread_counter{0};
thread_local std::shared_ptr<ThreadState> t_self;

ThreadState& self() {
  if (!t_self) {
    t_self = std::make_shared<ThreadState>();
    t_self->foreign = true;
    const pid_t tid = ::gettid();
    t_self->name = tid == ::getpid() ? "main" : "tid-" + std::to_string(tid);
  }
  return *t_self;
}

// Parks while suspended, unwinds when terminated. Never called with a platform lock held.
void honour_requests(ThreadState& state) {
  std::unique_lock lock(state.mutex);
  state.drain();
  if (!state.terminate_requested && state.suspend_count > 0) {
    state.parked = true;
    state.changed.notify_all();
    state.changed.wait(lock, [&] { return state.terminate_requested || state.suspend_count == 0; });
    state.parked = false;
  }
  if (state.terminate_requested) throw ThreadTerminated{};
}

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

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// The thread behind a handle (the pseudo-handle names the caller); null with the last error set.
std::shared_ptr<ThreadState> resolve_thread(HANDLE thread) {
  if (thread == kCurrentThreadPseudoHandle) {
    self();
    return t_self;
  }
  auto object = lookup_as<ThreadObject>(thread);
  return object ? object->state() : nullptr;
}

void* thread_main(void* raw) {
  std::unique_ptr<std::shared_ptr<ThreadState>> holder(static_cast<std::shared_ptr<ThreadState>*>(raw));
  t_self = std::move(*holder);
  ThreadState& state = *t_self;
  DWORD code = 0;
  try {
    consent_point();
    code = state.start(state.parameter);
  } catch (const ThreadTerminated&) {
    std::lock_guard lock(state.mutex);
    code = state.terminate_code;
  }
  std::lock_guard lock(state.mutex);
  state.exit_code = code;
  // The control eventfd goes with the run rather than with the last reference to the state, so
  // a thread that has ended holds no descriptor; requests signal it only while not finished.
  ::close(state.control_fd);
  state.control_fd = -1;
  state.finished = true;
  state.changed.notify_all();
  return nullptr;
}

// pthread_create with a detached thread: nobody joins, TerminateThread waits on the state.
int start_pthread(SIZE_T stack_size, std::shared_ptr<ThreadState> state) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stack_size != 0) {
    pthread_attr_setstacksize(&attributes, std::max<SIZE_T>(stack_size, PTHREAD_STACK_MIN));
  }
  auto* holder = new std::shared_ptr<ThreadState>(std::move(state));
  pthread_t id;
  const int result = pthread_create(&id, &attributes, thread_main, holder);
  pthread_attr_destroy(&attributes);
  if (result != 0) delete holder;
  return result;
}

}  // namespace

int consent_poll(pollfd* fds, std::size_t count, int timeout_ms) {
  ThreadState& state = self();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  constexpr std::size_t kLocal = 8;
  pollfd local[kLocal];
  std::unique_ptr<pollfd[]> heap;
  pollfd* set = count < kLocal ? local : (heap = std::make_unique<pollfd[]>(count + 1)).get();
  for (;;) {
    honour_requests(state);
    std::copy(fds, fds + count, set);
    set[count] = {state.control_fd, POLLIN, 0};
    // poll: number of ready entries, 0 on time-out, -1 with errno (EINTR: a signal arrived).
    const int ready = ::poll(set, count + 1, timeout_ms < 0 ? -1 : remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    for (std::size_t i = 0; i < count; ++i) fds[i].revents = set[i].revents;
    // A request arrived: honour it at the top, then look at the caller's fds afresh.
    if (set[count].revents != 0) continue;
    return ready;
  }
}

void consent_point() {
  ThreadState& state = self();
  honour_requests(state);
}

std::string current_thread_name() {
  return self().name;
}

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
  const int result = kov02::kernel::start_pthread(stackSize, std::move(state));
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
  if (state == kov02::kernel::t_self) {
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
  if (state == kov02::kernel::t_self) throw kov02::kernel::ThreadTerminated{};
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

DWORD GetTickCount() {
  const auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    kov02::kernel::consent_point();
    sched_yield();
    return;
  }
  const int timeout =
      milliseconds == 0xFFFFFFFFu ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT_MAX));
  kov02::kernel::consent_poll(nullptr, 0, timeout);
}
