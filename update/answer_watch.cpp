// The bound on the module's silence. The update thread arms a deadline as a wait begins and again
// for every byte that comes; the watch thread, started with the caster and ended with it, wakes
// a wait whose deadline has passed by setting the port's event mask again, which ends a
// WaitCommEvent under way without an event.
#include <atomic>
#include <cstdint>

#include "update/update_port.h"

// The armed wait: its number in the upper half, its deadline (a tick count) in the lower; 0 while
// no wait is armed. Written by the update thread only.
static std::atomic<std::uint64_t> s_watch{0};
// The number of the last wait the watch fired for.
static std::atomic<std::uint32_t> s_fired{0};
// The number of the current wait; the update thread only.
static std::uint32_t s_current = 0;

// How often the watch looks: a bound ends at most this late.
static constexpr DWORD WATCH_TICK_MS = 25;

// Every arming, an unbounded one too, takes a new number, so a firing for an earlier wait never
// counts for this one (0 is never used: it is what s_fired holds before any firing).
void ArmAnswerWatch(DWORD silenceMs) {
  if (++s_current == 0) s_current = 1;
  if (silenceMs == INFINITE) return DisarmAnswerWatch();
  const DWORD deadline = GetTickCount() + silenceMs;
  s_watch.store((std::uint64_t{s_current} << 32) | deadline, std::memory_order_release);
}

void DisarmAnswerWatch() {
  s_watch.store(0, std::memory_order_release);
}

int AnswerWatchFired() {
  return s_fired.load(std::memory_order_acquire) == s_current ? 1 : 0;
}

// Tick counts wrap: a deadline has passed when the difference, read as signed, is not negative.
static bool Passed(DWORD deadline) {
  return static_cast<std::int32_t>(GetTickCount() - deadline) >= 0;
}

// A passed deadline is fired at every look until the update thread disarms or re-arms it, so a
// wait that began just after one firing is still woken by the next.
DWORD WatchThread(LPVOID) {
  for (;;) {
    Sleep(WATCH_TICK_MS);
    const std::uint64_t armed = s_watch.load(std::memory_order_acquire);
    if (armed == 0 || !Passed(static_cast<DWORD>(armed))) continue;
    s_fired.store(static_cast<std::uint32_t>(armed >> 32), std::memory_order_release);
    SetCommMask(UpdatePortHandle(), UPDATE_EVENT_MASK);
  }
}
