// A serial port behind a handle: the part of the handset's serial contract every line shares
// (read time-outs, the event mask and WaitCommEvent, accumulated line errors, the input queue),
// over a small set of line operations that a tty and the in-process fake each implement.
//
// Input moves from the line into the port's own queue when an operation looks (pull), never by
// a thread of its own, so marks in the stream become events in arrival order. One mutex guards
// the port's state and is never held across a blocking wait: a thread may write while another
// waits or reads, and CloseHandle from any thread wakes both.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "kernel/handles.h"
#include "serial/line_marks.h"

namespace kov02::serial {

class SerialPort : public kernel::KernelObject {
 public:
  // What the CE face calls; each returns the face's BOOL with the last error set on FALSE.
  BOOL get_state(DCB* dcb);
  BOOL set_state(const DCB& dcb);
  BOOL get_timeouts(COMMTIMEOUTS* timeouts);
  BOOL set_timeouts(const COMMTIMEOUTS& timeouts);
  BOOL purge(DWORD flags);
  BOOL escape(DWORD function);
  BOOL setup(DWORD in_queue, DWORD out_queue);
  BOOL set_mask(DWORD mask);
  BOOL wait_event(DWORD* events);
  BOOL clear_error(DWORD* errors, COMSTAT* status);
  BOOL modem_status(DWORD* status);
  // Whether the line has modem lines at all: a pty has none, so RTS and DTR move nothing there.
  bool has_modem_lines();
  // Runs `done` once the port is gone: its device closed and let go, by whichever thread drops
  // the port last. A service that waits for the device can be told then.
  void call_when_gone(std::function<void()> done);
  BOOL read(void* buffer, DWORD size, DWORD* got) override;
  ~SerialPort() override;

 protected:
  // What one look at the line found.
  struct Pulled {
    LineMarks marks;
    bool hung_up = false;  // the device is gone: nothing more will come
  };

  explicit SerialPort(const DCB& initial);

  // Moves at most `room` received data bytes onto the back of `into` without blocking. `revents`
  // is what the last poll of input_fd() said (0 when none ran). Called with the port's mutex held.
  virtual Pulled pull(std::deque<BYTE>& into, std::size_t room, short revents) = 0;
  // The fd that polls readable while the line holds input.
  virtual int input_fd() const = 0;
  // Applies settings to the line; ERROR_SUCCESS or the refusal's code.
  virtual DWORD apply_state(const DCB& dcb) = 0;
  virtual DWORD apply_timeouts(const COMMTIMEOUTS&) { return ERROR_SUCCESS; }
  // Turns the line's in-band marks of breaks and errored bytes on or off; what pull() decodes
  // afterwards follows the new mode. ERROR_SUCCESS or the failure's code. Called with the port's
  // mutex held, after everything the line held was pulled under the old mode. A line that reports
  // breaks and errors out of band (the fake) has nothing to switch.
  virtual DWORD set_line_marks(bool) { return ERROR_SUCCESS; }
  // Raises or lowers DTR or RTS; ERROR_SUCCESS or the failure's code.
  virtual DWORD set_modem_line(bool dtr, bool raise) = 0;
  // The modem lines as MS_* bits: ERROR_SUCCESS, ERROR_NOT_SUPPORTED for a line that has none
  // (said once by the line), or the failure's code. Called with the port's mutex held; never blocks.
  virtual DWORD read_modem_lines(DWORD* status) = 0;
  // How long a wait for modem events may sleep before it reads the lines again: -1 when every
  // change wakes it by itself. Called without the port's mutex, only for a line that has lines.
  virtual int line_recheck_ms() = 0;
  // Discards what the line holds in either direction. Called with the port's mutex held.
  virtual void flush_line(bool input, bool output) = 0;
  // Bytes the line holds that pull() has not taken yet, and bytes not yet sent.
  virtual DWORD line_input_pending() = 0;
  virtual DWORD line_output_pending() = 0;

  // The state as last set, under the mutex, for the line operations that need it.
  COMMTIMEOUTS timeouts();
  DCB state_locked() const { return dcb_; }
  // Records that the device went away (a write saw it first).
  void mark_hung_up();
  // Ends a WaitCommEvent's sleep so it looks at the line again (a modem line changed).
  void wake_waiters();

 private:
  enum class Wait { ready, timed_out, failed, woken };

  void pull_locked(short revents, bool drain = false);
  DWORD take_locked(BYTE* out, DWORD size);
  DWORD events_locked() const;
  // Raises the events of modem lines that changed since last looked, under the mask in force.
  void note_line_changes_locked();
  // `woken` when SetCommMask ran meanwhile.
  Wait wait_input(int timeout_ms, short* revents);
  // Empties mask_wake_fd_ and says whether the mask was set since `seen`.
  bool mask_changed_since(std::uint64_t seen);
  BOOL fail_removed();

  std::mutex mutex_;
  DCB dcb_;
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  bool marks_on_ = false;     // the line marks breaks and errored bytes in band
  DWORD pending_events_ = 0;  // EV_BREAK / EV_ERR seen while in the mask, not yet reported
  DWORD errors_ = 0;          // CE_* accumulated until ClearCommError
  std::deque<BYTE> input_;
  std::size_t input_limit_;
  bool hung_up_ = false;
  DWORD lines_seen_ = 0;        // the modem lines (MS_*) as last looked at
  bool lines_present_ = false;  // the last look found modem lines
  // SetCommMask ends a WaitCommEvent under way in another thread, as the handset's serial
  // drivers do; a watchdog thread relies on it to bound a wait. Each call counts and signals;
  // a modem line change signals without counting, so the wait looks again and goes on.
  std::uint64_t mask_sets_ = 0;
  const int mask_wake_fd_;
  std::function<void()> when_gone_;  // set before the port is shared with other threads' work
};

// The error code a device that went away reports.
inline constexpr DWORD kDeviceGone = ERROR_DEVICE_REMOVED;

}  // namespace kov02::serial
