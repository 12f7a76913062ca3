// An in-process serial line for tests.
//
// The test holds the far end (a FakePort); the code under test opens the near end by name
// through the same handle face as a tty: open_fake(NAME), or CreateFileW with a device map entry
// "COMn:"="fake:NAME". On the open handle ReadFile, WriteFile, WaitCommEvent, ClearCommError,
// SetCommState and the rest keep the contracts they keep on a tty (time-outs, EV_RXCHAR for
// bytes already queued, errors accumulated until cleared, CloseHandle waking a blocked waiter,
// exclusive open). What a pty cannot do, the far end here can: inject breaks and line errors,
// drive the modem lines, make writes short, time out or fail, refuse settings, and hang up.
// Every call is thread-safe.
#pragma once

#include <kov02/ce.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kov02::serial {

class FakePort {
 public:
  // One write call as the line saw it.
  struct Write {
    std::vector<BYTE> bytes;                   // what the line took (less than offered when cut)
    DWORD offered = 0;                         // the length the caller asked to write
    std::chrono::steady_clock::time_point at;  // when the call reached the line
  };

  // Registers a new line under `name`; open_fake(name) finds it while the returned object lives.
  // A line registered earlier under the same name is replaced.
  static std::shared_ptr<FakePort> create(const std::string& name);
  ~FakePort();
  FakePort(const FakePort&) = delete;
  FakePort& operator=(const FakePort&) = delete;

  // ---- what arrives at the port, in the order injected ----
  // Bytes arrive.
  void inject(std::vector<BYTE> bytes);
  // A break arrives: EV_BREAK for a waiter, CE_BREAK for ClearCommError.
  void inject_break();
  // A line error arrives (CE_FRAME, CE_OVERRUN or CE_RXPARITY: EV_ERR), with `bytes` (possibly
  // none) in the same instant, so one WaitCommEvent sees the error and the characters together.
  void inject_line_error(DWORD errors, std::vector<BYTE> bytes = {});
  // The device goes away: input already injected can still be read, then waits, reads and
  // writes fail with ERROR_DEVICE_REMOVED.
  void hang_up();
  // The far end drives the modem lines to `status` (MS_* bits; all off until first set). A waiter
  // wakes at once, as on a tty whose driver reports line changes.
  void set_modem_status(DWORD status);

  // ---- how the following write calls end, until changed ----
  // Every byte is taken (the default).
  void accept_writes();
  // Each write takes at most `at_most` bytes and succeeds with that count.
  void short_writes(DWORD at_most);
  // Each write takes nothing and succeeds with 0 written, as after its time-out; no time passes.
  void time_out_writes();
  // Each write takes nothing and fails with `error`.
  void fail_writes(DWORD error);

  // ---- settings the port refuses; ERROR_SUCCESS accepts again ----
  // SetCommState fails with `error`.
  void refuse_state(DWORD error);
  // SetCommTimeouts fails with `error`.
  void refuse_timeouts(DWORD error);

  // ---- what the port did ----
  // Every write call so far, failed ones included.
  std::vector<Write> writes() const;
  // Every byte the line took, in order.
  std::vector<BYTE> written() const;
  // Waits until the line has taken at least `count` bytes in all, or `timeout` passes.
  bool wait_written(std::size_t count, std::chrono::milliseconds timeout) const;
  // Forgets the writes recorded so far.
  void clear_writes();
  // True while a handle to the port is open.
  bool is_open() const;
  // The settings and time-outs last accepted, and the modem lines as last set.
  DCB state() const;
  COMMTIMEOUTS timeouts() const;
  bool dtr() const;
  bool rts() const;
  // Injected bytes the port has not taken off the line yet (purges discard them).
  std::size_t input_pending() const;

 private:
  friend class FakePortObject;
  friend HANDLE open_fake(const std::string& name);
  enum class WriteMode { accept, cut_short, time_out, fail };
  struct Arrival {
    std::vector<BYTE> bytes;
    DWORD errors = 0;
  };

  FakePort();
  void arrive(Arrival arrival);
  void signal_input_locked();

  mutable std::mutex mutex_;
  mutable std::condition_variable written_changed_;
  std::deque<Arrival> input_;
  std::vector<Write> writes_;
  std::size_t written_total_ = 0;
  WriteMode write_mode_ = WriteMode::accept;
  DWORD write_limit_ = 0;
  DWORD write_error_ = ERROR_SUCCESS;
  DWORD refuse_state_ = ERROR_SUCCESS;
  DWORD refuse_timeouts_ = ERROR_SUCCESS;
  DCB state_{};
  COMMTIMEOUTS timeouts_{};
  bool dtr_ = false;
  bool rts_ = false;
  DWORD modem_status_ = 0;
  bool open_ = false;
  bool hung_up_ = false;
  int input_fd_ = -1;  // an eventfd, readable while input waits or the line hung up
};

}  // namespace kov02::serial
