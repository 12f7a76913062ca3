// The shared serial contract: time-outs, events, errors and the input queue.
#include "serial/port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

#include "kernel/threads.h"
#include "serial/comm_timeouts.h"
#include "serial/modem_lines.h"

namespace kov02::serial {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultInputLimit = 65536;
constexpr std::size_t kMinInputLimit = 4096;
// While the input queue is full the line cannot be polled for input (it stays readable), so a
// waiter looks again at this pace until a reader makes room.
constexpr int kFullQueueRecheckMs = 50;
// What a tty's line discipline holds already processed (and so already marked or not) at most.
constexpr std::size_t kLineDisciplineBuffer = 4096;
constexpr DWORD kKnownEvents = 0x01FF;  // EV_RXCHAR .. EV_RING
constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr short kGoneEvents = POLLHUP | POLLERR | POLLNVAL;

// `from` plus `ms`, saturating at Clock::time_point::max(): a bound near MAXDWORD * MAXDWORD ms
// would overflow the clock.
Clock::time_point after_ms(Clock::time_point from, std::int64_t ms) {
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
  return ms >= room.count() ? Clock::time_point::max() : from + std::chrono::milliseconds(ms);
}

// When a read stops waiting, Clock::time_point::max() for never: the total bound runs from the
// start of the read, the interval bound from the last byte taken.
Clock::time_point read_deadline(const ReadBounds& bounds, Clock::time_point start,
                                Clock::time_point last_byte, DWORD count) {
  Clock::time_point deadline = Clock::time_point::max();
  if (bounds.total_ms != kNoBound) deadline = after_ms(start, bounds.total_ms);
  if (count > 0 && bounds.interval_ms != kNoBound) {
    deadline = std::min(deadline, after_ms(last_byte, bounds.interval_ms));
  }
  return deadline;
}

// The poll time-out that reaches `deadline`: rounded up, so a poll never ends before it and the
// caller never spins on a sub-millisecond remainder; -1 for no deadline.
int poll_ms(Clock::time_point deadline, Clock::time_point now) {
  if (deadline == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max()));
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

SerialPort::SerialPort(const DCB& initial)
    : dcb_(initial),
      input_limit_(kDefaultInputLimit),
      mask_wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

// A derived line's destructor has closed its device by now.
SerialPort::~SerialPort() {
  if (mask_wake_fd_ >= 0) ::close(mask_wake_fd_);
  if (when_gone_) when_gone_();
}

void SerialPort::call_when_gone(std::function<void()> done) {
  std::lock_guard lock(mutex_);
  when_gone_ = std::move(done);
}

BOOL SerialPort::get_state(DCB* dcb) {
  std::lock_guard lock(mutex_);
  *dcb = dcb_;
  return TRUE;
}

BOOL SerialPort::set_state(const DCB& dcb) {
  const DWORD error = apply_state(dcb);
  if (error != ERROR_SUCCESS) return fail(error);
  std::lock_guard lock(mutex_);
  dcb_ = dcb;
  return TRUE;
}

BOOL SerialPort::get_timeouts(COMMTIMEOUTS* timeouts) {
  std::lock_guard lock(mutex_);
  *timeouts = timeouts_;
  return TRUE;
}

BOOL SerialPort::set_timeouts(const COMMTIMEOUTS& timeouts) {
  const DWORD error = apply_timeouts(timeouts);
  if (error != ERROR_SUCCESS) return fail(error);
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
  return TRUE;
}

COMMTIMEOUTS SerialPort::timeouts() {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

// No operation here is overlapped, so the abort flags have nothing of this caller's in flight;
// a ReadFile or WaitCommEvent blocked in another thread is not cut short by them.
BOOL SerialPort::purge(DWORD flags) {
  if (flags & ~kPurgeFlags) return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(mutex_);
  if (flags & PURGE_RXCLEAR) input_.clear();
  flush_line((flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0);
  return TRUE;
}

BOOL SerialPort::escape(DWORD function) {
  DWORD error = ERROR_INVALID_PARAMETER;
  switch (function) {
    case SETDTR:
    case CLRDTR:
      error = set_modem_line(true, function == SETDTR);
      break;
    case SETRTS:
    case CLRRTS:
      error = set_modem_line(false, function == SETRTS);
      break;
    default:
      break;
  }
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// The output queue is the line's own; the input request bounds how much the port takes off the
// line ahead of the reader.
BOOL SerialPort::setup(DWORD in_queue, DWORD) {
  std::lock_guard lock(mutex_);
  if (in_queue != 0) input_limit_ = std::max<std::size_t>(in_queue, kMinInputLimit);
  return TRUE;
}

// EV_TXEMPTY is accepted in a mask but never reported: the line's output queue is the driver's,
// and nothing waits on it. Modem line changes are counted from the lines as they stand now.
BOOL SerialPort::set_mask(DWORD mask) {
  if (mask & ~kKnownEvents) return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(mutex_);
  const DWORD old_mask = mask_;
  if ((old_mask | mask) & kModemEvents) note_line_changes_locked();
  mask_ = mask;  // what was received before the call and is pulled now is seen by the new mask
  const bool marks = (mask & (EV_BREAK | EV_ERR)) != 0;
  if (marks != marks_on_ && !hung_up_) {
    // The line discipline marks bytes as they are received, so what it already holds was marked
    // (or not) under the old mode: it is all taken off the line and decoded under that mode
    // first, past the queue's limit if need be (by at most the line discipline's own buffer;
    // the driver's buffers behind it are processed only as that empties, so under the new mode).
    // Only bytes received in the instant between that read and the switch are decoded under the
    // new mode: a doubled 0xFF then reads as two, or a literal 0xFF 0x00 as a mark.
    pull_locked(0, true);
    const DWORD error = set_line_marks(marks);
    if (error != ERROR_SUCCESS) {
      mask_ = old_mask;
      pending_events_ &= old_mask;
      return fail(error);
    }
    marks_on_ = marks;
  }
  pending_events_ &= mask;
  ++mask_sets_;
  wake_waiters();
  return TRUE;
}

void SerialPort::wake_waiters() {
  const std::uint64_t one = 1;
  // eventfd write: 8 bytes, or -1 only when the counter would overflow (it is drained by waits).
  [[maybe_unused]] const ssize_t n = ::write(mask_wake_fd_, &one, sizeof one);
}

bool SerialPort::mask_changed_since(std::uint64_t seen) {
  std::uint64_t count = 0;
  // eventfd read: 8 bytes, or -1 with EAGAIN when nothing was written since the last read.
  [[maybe_unused]] const ssize_t n = ::read(mask_wake_fd_, &count, sizeof count);
  std::lock_guard lock(mutex_);
  return mask_sets_ != seen;
}

BOOL SerialPort::clear_error(DWORD* errors, COMSTAT* status) {
  std::lock_guard lock(mutex_);
  pull_locked(0);
  if (errors) *errors = errors_;
  errors_ = 0;
  if (status) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(input_.size()) + line_input_pending();
    status->cbOutQue = line_output_pending();
  }
  return TRUE;
}

// A line without modem lines reads as all of them off, the way the application expects of a port
// that cannot report them.
BOOL SerialPort::modem_status(DWORD* status) {
  std::lock_guard lock(mutex_);
  *status = 0;
  const DWORD error = read_modem_lines(status);
  if (error == ERROR_NOT_SUPPORTED) return TRUE;
  return error == ERROR_SUCCESS ? TRUE : fail(error);
}

bool SerialPort::has_modem_lines() {
  std::lock_guard lock(mutex_);
  DWORD status = 0;
  return read_modem_lines(&status) != ERROR_NOT_SUPPORTED;
}

void SerialPort::note_line_changes_locked() {
  DWORD now = 0;
  lines_present_ = !hung_up_ && read_modem_lines(&now) == ERROR_SUCCESS;
  if (!lines_present_) return;
  pending_events_ |= events_between(lines_seen_, now, mask_);
  lines_seen_ = now;
}

void SerialPort::mark_hung_up() {
  std::lock_guard lock(mutex_);
  hung_up_ = true;
}

void SerialPort::pull_locked(short revents, bool drain) {
  if (hung_up_) return;
  std::size_t room = input_.size() < input_limit_ ? input_limit_ - input_.size() : 0;
  if (drain) room += kLineDisciplineBuffer;
  const std::size_t before = input_.size();
  const Pulled pulled = pull(input_, room, revents);
  pending_events_ |= pulled.marks.events & mask_;
  errors_ |= pulled.marks.errors;
  // A poll that says the line is gone while nothing more can be read is a hang-up too, however
  // the read itself answered: waiting on it again would return at once, forever.
  const bool nothing = input_.size() == before && pulled.marks.events == 0 && pulled.marks.errors == 0;
  hung_up_ = pulled.hung_up || (nothing && room > 0 && (revents & kGoneEvents));
}

DWORD SerialPort::take_locked(BYTE* out, DWORD size) {
  const DWORD count = static_cast<DWORD>(std::min<std::size_t>(size, input_.size()));
  std::copy_n(input_.begin(), count, out);
  input_.erase(input_.begin(), input_.begin() + count);
  return count;
}

DWORD SerialPort::events_locked() const {
  const DWORD received = input_.empty() ? 0 : EV_RXCHAR;
  return (received | pending_events_) & mask_;
}

SerialPort::Wait SerialPort::wait_input(int timeout_ms, short* revents) {
  short events = POLLIN;
  {
    std::lock_guard lock(mutex_);
    if (input_.size() >= input_limit_) {
      events = 0;
      if (timeout_ms < 0 || timeout_ms > kFullQueueRecheckMs) timeout_ms = kFullQueueRecheckMs;
    }
  }
  *revents = 0;
  switch (kernel::wait_fd(*this, input_fd(), events, timeout_ms, revents, mask_wake_fd_)) {
    case kernel::WaitResult::ready:
      return Wait::ready;
    case kernel::WaitResult::woken:
      return Wait::woken;
    case kernel::WaitResult::timed_out:
      return Wait::timed_out;
    default:
      return Wait::failed;  // closed (ERROR_INVALID_HANDLE) or a poll failure; last error set
  }
}

BOOL SerialPort::fail_removed() {
  return fail(kDeviceGone);
}

// Events already true when the call comes (bytes queued, a break not yet reported) end it at once:
// callers wait several times in a row for bytes the far end sent together. A SetCommMask from
// another thread while the wait is under way ends it with no events.
BOOL SerialPort::wait_event(DWORD* events) {
  *events = 0;
  short revents = 0;
  std::uint64_t sets_seen = 0;
  {
    std::lock_guard lock(mutex_);
    sets_seen = mask_sets_;
  }
  for (;;) {
    bool watch_lines = false;
    {
      std::lock_guard lock(mutex_);
      if (mask_sets_ != sets_seen) return TRUE;
      if (mask_ == 0) return fail(ERROR_INVALID_PARAMETER);
      pull_locked(revents);
      if (mask_ & kModemEvents) note_line_changes_locked();
      const DWORD found = events_locked();
      if (found != 0) {
        pending_events_ &= ~found;
        *events = found;
        return TRUE;
      }
      if (hung_up_) return fail_removed();
      watch_lines = (mask_ & kModemEvents) && lines_present_;
    }
    const Wait waited = wait_input(watch_lines ? line_recheck_ms() : -1, &revents);
    if (waited == Wait::failed) return FALSE;
    if (waited == Wait::woken && mask_changed_since(sets_seen)) return TRUE;
  }
}

BOOL SerialPort::read(void* buffer, DWORD size, DWORD* got) {
  auto* out = static_cast<BYTE*>(buffer);
  const ReadBounds bounds = read_bounds(timeouts(), size);
  const Clock::time_point start = Clock::now();
  Clock::time_point last_byte = start;
  DWORD count = 0;
  short revents = 0;
  *got = 0;
  for (;;) {
    bool gone = false;
    {
      std::lock_guard lock(mutex_);
      pull_locked(revents);
      const DWORD taken = take_locked(out + count, size - count);
      if (taken > 0) last_byte = Clock::now();
      count += taken;
      gone = hung_up_;
    }
    *got = count;
    if (count == size || (count > 0 && (bounds.any_byte_ends || gone))) return TRUE;
    if (gone) return fail_removed();
    const Clock::time_point now = Clock::now();
    const Clock::time_point deadline = read_deadline(bounds, start, last_byte, count);
    if (now >= deadline) return TRUE;
    const Wait waited = wait_input(poll_ms(deadline, now), &revents);
    if (waited == Wait::failed) return FALSE;
    if (waited == Wait::woken) mask_changed_since(0);  // only waits for events end on it
    // Nothing came while the wait ran out: looking again would only cost an idle reader (the
    // bridge's pumps, every few milliseconds) a read that finds nothing.
    if (waited == Wait::timed_out && Clock::now() >= deadline) return TRUE;
  }
}

}  // namespace kov02::serial
