// The consent point (see threads.h for the contract): each thread's control eventfd, the park
// while suspended, the unwind when terminated, and the trampoline every started thread runs in.
// The thread functions behind handles (thread_handles.cpp) post the requests honoured here.
#include "kernel/threads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>

#include "kernel/thread_state.h"

namespace kov02::kernel {
namespace {

using Clock = std::chrono::steady_clock;

// Unwinds a terminated thread to its trampoline. Private, so nothing else can catch it by name.
struct ThreadTerminated {};

thread_local std::shared_ptr<ThreadState> t_self;

ThreadState& self() {
  return *current_thread_state();
}

// Parks while suspended, unwinds when terminated. Never called with a platform lock held.
// `woken`: the control eventfd was seen readable, so a request is there even if its flag has not
// been seen yet.
void honour_requests(ThreadState& state, bool woken = false) {
  if (!woken && !state.requested.load(std::memory_order_acquire)) return;
  std::unique_lock lock(state.mutex);
  state.requested.store(false, std::memory_order_relaxed);
  state.drain();
  if (!state.terminate_requested && state.suspend_count > 0) {
    state.parked = true;
    state.changed.notify_all();
    state.changed.wait(lock, [&] { return state.terminate_requested || state.suspend_count == 0; });
    state.parked = false;
  }
  if (state.terminate_requested) throw ThreadTerminated{};
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
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

}  // namespace

const std::shared_ptr<ThreadState>& current_thread_state() {
  if (!t_self) {
    t_self = std::make_shared<ThreadState>();
    t_self->foreign = true;
    const pid_t tid = ::gettid();
    t_self->name = tid == ::getpid() ? "main" : "tid-" + std::to_string(tid);
  }
  return t_self;
}

void unwind_current_thread() {
  throw ThreadTerminated{};
}

// pthread_create with a detached thread: nobody joins, TerminateThread waits on the state.
int start_thread(SIZE_T stack_size, std::shared_ptr<ThreadState> state) {
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

int consent_poll(pollfd* fds, std::size_t count, int timeout_ms) {
  ThreadState& state = self();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  constexpr std::size_t kLocal = 8;
  pollfd local[kLocal];
  std::unique_ptr<pollfd[]> heap;
  pollfd* set = count < kLocal ? local : (heap = std::make_unique<pollfd[]>(count + 1)).get();
  for (bool woken = false;; woken = true) {
    honour_requests(state, woken);
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

namespace {
thread_local WaitKeeper* t_keeper = nullptr;
}  // namespace

void set_wait_keeper(WaitKeeper* keeper) {
  t_keeper = keeper;
}

int keeping_poll(pollfd* fds, std::size_t count, int timeout_ms) {
  // The keeper waits for one descriptor: an epoll set that turns readable with any of `fds`.
  const int set = t_keeper ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
  if (set < 0) return consent_poll(fds, count, timeout_ms);
  for (std::size_t i = 0; i < count; ++i) {
    epoll_event event{};
    event.events = static_cast<std::uint32_t>(fds[i].events);
    if (fds[i].fd >= 0) ::epoll_ctl(set, EPOLL_CTL_ADD, fds[i].fd, &event);
  }
  // The keeper's wait is a consent point: a terminated thread unwinds from it.
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{set};
  t_keeper->wait(set, timeout_ms);
  return consent_poll(fds, count, 0);
}

void consent_point() {
  ThreadState& state = self();
  honour_requests(state);
}

std::string current_thread_name() {
  return self().name;
}

}  // namespace kov02::kernel

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
