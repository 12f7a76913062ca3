// Real serial ports: a tty under termios. This file owns every system call made on a tty; a
// note before each says how it reports failure.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kernel/handles.h"
#include "kernel/stderr_lines.h"
#include "kernel/text.h"
#include "serial/claims.h"
#include "serial/comm_timeouts.h"
#include "serial/leave_as_found.h"
#include "serial/line_settings.h"
#include "serial/line_watch.h"
#include "serial/low_latency.h"
#include "serial/modem_lines.h"
#include "serial/port.h"
#include "serial/port_users.h"
#include "serial/serial.h"
#include "serial/serial_log.h"

namespace kov02::serial {
namespace {

using Clock = std::chrono::steady_clock;

// A wait for modem events on a line whose driver cannot wait for line changes looks this often.
constexpr int kLinePaceMs = 20;
// TIOCMIWAIT counts only changes after it is entered, so one in the instant between two of its
// calls waits for the next; a slow look bounds that.
constexpr int kLineWatchSafetyMs = 1000;
constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;

DWORD error_code(int error) {
  return kernel::error_from_errno(error);
}

// Why an open failed, in the plain words a person reads in the log pane.
std::string plain_reason(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return "no such device";
    case EACCES:
    case EPERM:
      return "permission denied (add yourself to the dialout group)";
    case EBUSY:
      return "in use by another program";
    default: {
      std::string text = strerrordesc_np(error);
      if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return text;
    }
  }
}

// Reports a call that just failed: errno is read once, before anything else can change it, the
// failure is logged once, and the caller gets its code (and, when it asks, its plain reason).
DWORD report_failed_call(const std::string& path, const char* call, std::string* reason = nullptr) {
  const int error = errno;
  log_failure(path, call, error);
  if (reason) *reason = plain_reason(error);
  return error_code(error);
}

// What an open tty holds besides its fd: its in-process claim, its lock file and the settings
// it had when it was found, which it gets back when it is closed.
struct Holding {
  DeviceClaim claim;
  PortLock lock;
  termios found{};
  bool low_latency = false;  // set on open, so taken back on close
};

class TtyPort final : public SerialPort {
 public:
  TtyPort(int fd, std::string path, Holding holding, const DCB& initial)
      : SerialPort(initial), fd_(fd), path_(std::move(path)), holding_(std::move(holding)) {
    counts_ = read_counts(&counts_supported_);
    exit_entry_ = remember_port(fd_, holding_.found, holding_.lock.path(), holding_.low_latency);
  }

  ~TtyPort() override {
    {
      std::lock_guard lock(watch_mutex_);
      watch_.reset();
    }
    forget_port(exit_entry_);
    // tcsetattr: 0, or -1 with errno (ignored: a device that went away has nothing to restore).
    ::tcsetattr(fd_, TCSANOW, &holding_.found);
    if (holding_.low_latency) drop_low_latency(fd_);
    // TIOCNXCL: 0, or -1 with errno (ignored: the fd goes away next either way). The flag
    // outlives this fd on some ttys, so it is taken back before closing.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  BOOL write(const void* buffer, DWORD size, DWORD* put) override;

 protected:
  Pulled pull(std::deque<BYTE>& into, std::size_t room, short revents) override;
  int input_fd() const override { return fd_; }
  DWORD apply_state(const DCB& dcb) override;
  DWORD set_line_marks(bool on) override;
  DWORD set_modem_line(bool dtr, bool raise) override;
  DWORD read_modem_lines(DWORD* status) override;
  int line_recheck_ms() override;
  void flush_line(bool input, bool output) override;
  DWORD line_input_pending() override { return queue_count(FIONREAD); }
  DWORD line_output_pending() override { return queue_count(TIOCOUTQ); }

 private:
  ErrorCounts read_counts(bool* supported);
  LineMarks counter_marks();
  DWORD queue_count(unsigned long request);
  void report_gone(const char* call, int error);
  DWORD fail_call(const char* call);
  bool wait_writable(std::int64_t bound, Clock::time_point start, bool* timed_out);

  const int fd_;
  const std::string path_;
  Holding holding_;
  int exit_entry_ = -1;
  // Held across each read-modify-write of the termios: SetCommState runs outside the port's
  // mutex and SetCommMask inside it, and neither may undo the other's change.
  std::mutex termios_mutex_;
  MarkDecoder decoder_;
  ErrorCounts counts_;
  bool counts_supported_ = false;
  std::atomic<bool> reported_gone_{false};
  std::atomic<bool> said_no_lines_{false};
  std::mutex watch_mutex_;
  std::unique_ptr<LineWatch> watch_;  // started by the first wait for modem events
};

ErrorCounts TtyPort::read_counts(bool* supported) {
  serial_icounter_struct counters{};
  // TIOCGICOUNT: 0, or -1 with errno. Ptys and many USB adapters keep no counters (ENOTTY,
  // EINVAL); their overruns then go unreported, which nothing on them can prevent.
  *supported = ::ioctl(fd_, TIOCGICOUNT, &counters) == 0;
  return {counters.overrun, counters.buf_overrun};
}

LineMarks TtyPort::counter_marks() {
  if (!counts_supported_) return {};
  const ErrorCounts now = read_counts(&counts_supported_);
  if (!counts_supported_) return {};
  const LineMarks marks = errors_between(counts_, now);
  counts_ = now;
  return marks;
}

// A pulled USB adapter reads 0 (hung up) and a pty whose far end closed reads EIO: either way
// nothing more will come, and it is said once.
void TtyPort::report_gone(const char* call, int error) {
  if (reported_gone_.exchange(true)) return;
  log_failure(path_, call, error == 0 ? EIO : error);
}

SerialPort::Pulled TtyPort::pull(std::deque<BYTE>& into, std::size_t room, short) {
  Pulled pulled;
  const DCB dcb = state_locked();
  const DWORD error_kind = (dcb.fParity && dcb.Parity != NOPARITY) ? CE_RXPARITY : CE_FRAME;
  BYTE raw[4096];
  while (room > 0) {
    // read: the count read, 0 once the line was hung up (VMIN is 1), or -1 with errno: EAGAIN
    // when nothing is there, EIO when the device or the pty's far end is gone.
    const ssize_t n = ::read(fd_, raw, std::min(room, sizeof raw));
    if (n > 0) {
      const std::size_t before = into.size();
      const LineMarks marks = decoder_.decode(raw, static_cast<std::size_t>(n), into, error_kind);
      pulled.marks.events |= marks.events;
      pulled.marks.errors |= marks.errors;
      const std::size_t added = into.size() - before;  // may pass n by a mark's lead byte
      room = added >= room ? 0 : room - added;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    pulled.hung_up = true;
    report_gone("read", n == 0 ? 0 : errno);
    break;
  }
  const LineMarks counted = counter_marks();
  pulled.marks.events |= counted.events;
  pulled.marks.errors |= counted.errors;
  return pulled;
}

DWORD TtyPort::fail_call(const char* call) {
  return report_failed_call(path_, call);
}

DWORD TtyPort::apply_state(const DCB& dcb) {
  {
    std::lock_guard lock(termios_mutex_);
    termios settings{};
    // tcgetattr / tcsetattr: 0, or -1 with errno. tcsetattr succeeds when any part was applied;
    // ptys keep the speed and stop bits but always read back 8 bits without parity.
    if (::tcgetattr(fd_, &settings) != 0) return fail_call("tcgetattr");
    const DWORD refused = dcb_to_termios(dcb, settings);
    if (refused != ERROR_SUCCESS) return refused;
    if (::tcsetattr(fd_, TCSANOW, &settings) != 0) return fail_call("tcsetattr");
  }
  DWORD error = set_modem_line(true, dcb.fDtrControl == DTR_CONTROL_ENABLE);
  if (error == ERROR_SUCCESS && dcb.fRtsControl != kRtsHandshake) {
    error = set_modem_line(false, dcb.fRtsControl == RTS_CONTROL_ENABLE);
  }
  return error;
}

DWORD TtyPort::set_line_marks(bool on) {
  std::lock_guard lock(termios_mutex_);
  termios settings{};
  // tcgetattr / tcsetattr: 0, or -1 with errno; on failure the line and the decoder keep the
  // old mode together.
  if (::tcgetattr(fd_, &settings) != 0) return fail_call("tcgetattr");
  serial::set_line_marks(settings, on);
  if (::tcsetattr(fd_, TCSANOW, &settings) != 0) return fail_call("tcsetattr");
  decoder_.set_marking(on);
  return ERROR_SUCCESS;
}

DWORD TtyPort::set_modem_line(bool dtr, bool raise) {
  int line = dtr ? TIOCM_DTR : TIOCM_RTS;
  // TIOCMBIS / TIOCMBIC: 0, or -1 with errno. Ptys have no modem lines and answer ENOTTY or
  // EINVAL; the application never reads the lines back, so there it counts as done.
  if (::ioctl(fd_, raise ? TIOCMBIS : TIOCMBIC, &line) == 0) return ERROR_SUCCESS;
  if (errno == ENOTTY || errno == EINVAL) return ERROR_SUCCESS;
  return fail_call(raise ? "TIOCMBIS" : "TIOCMBIC");
}

DWORD TtyPort::read_modem_lines(DWORD* status) {
  int lines = 0;
  // TIOCMGET: 0, or -1 with errno: ENOTTY or EINVAL on a pty, which has no modem lines; EIO once
  // the device is gone.
  if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
    *status = status_from_tiocm(lines);
    return ERROR_SUCCESS;
  }
  const int error = errno;
  if (error == ENOTTY || error == EINVAL) {
    if (!said_no_lines_.exchange(true)) {
      log_line("serial port " + path_ + ": has no modem lines; CTS, DSR, RING and RLSD read as off");
    }
    return ERROR_NOT_SUPPORTED;
  }
  if (error != EIO) return fail_call("TIOCMGET");
  report_gone("TIOCMGET", error);
  return kDeviceGone;
}

// The first wait starts the watch; it lives until the port goes, so later waits find it running.
int TtyPort::line_recheck_ms() {
  std::lock_guard lock(watch_mutex_);
  if (!watch_) {
    const int fd = fd_;
    watch_ = std::make_unique<LineWatch>(
        // TIOCMIWAIT: 0 once one of the lines changed, or -1 with errno: ENOTTY or EINVAL when the
        // driver cannot wait for them, EIO once the device is gone, EINTR when stopped.
        [fd] { return ::ioctl(fd, TIOCMIWAIT, kWatchedLines); }, [this] { wake_waiters(); });
  }
  return watch_->waits() ? kLineWatchSafetyMs : kLinePaceMs;
}

void TtyPort::flush_line(bool input, bool output) {
  if (!input && !output) return;
  const int which = (input && output) ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  // tcflush: 0, or -1 with errno (only for a bad fd or a gone device; a purge has no result the
  // caller could act on, so it is not reported).
  ::tcflush(fd_, which);
  if (input) decoder_.reset();
}

DWORD TtyPort::queue_count(unsigned long request) {
  int count = 0;
  // FIONREAD / TIOCOUTQ: 0, or -1 with errno; a count that cannot be had is reported as 0.
  if (::ioctl(fd_, request, &count) != 0 || count < 0) return 0;
  return static_cast<DWORD>(count);
}

// Waits until the line takes more output. False when the wait failed (closed handle, poll
// error, device gone; last error set); *timed_out when the write bound ran out first.
bool TtyPort::wait_writable(std::int64_t bound, Clock::time_point start, bool* timed_out) {
  int timeout_ms = -1;
  if (bound != kNoBound) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    timeout_ms = static_cast<int>(std::clamp<std::int64_t>(bound - spent, 0, 0x7FFFFFFF));
  }
  short revents = 0;
  *timed_out = false;
  switch (kernel::wait_fd(*this, fd_, POLLOUT, timeout_ms, &revents)) {
    case kernel::WaitResult::ready:
      if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLOUT)) {
        mark_hung_up();
        report_gone("poll", EIO);
        SetLastError(kDeviceGone);
        return false;
      }
      return true;
    case kernel::WaitResult::timed_out:
      *timed_out = true;
      return true;
    default:
      return false;
  }
}

// A write that runs out of its time-out succeeds with the count that went out, as the handset's
// serial driver does.
BOOL TtyPort::write(const void* buffer, DWORD size, DWORD* put) {
  const auto* bytes = static_cast<const BYTE*>(buffer);
  const std::int64_t bound = write_bound_ms(timeouts(), size);
  const Clock::time_point start = Clock::now();
  *put = 0;
  while (*put < size) {
    // write: the count taken (possibly fewer), or -1 with errno: EAGAIN while the output buffer
    // is full, EIO once the device or the pty's far end is gone.
    const ssize_t n = ::write(fd_, bytes + *put, size - *put);
    if (n > 0) {
      *put += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) {
      mark_hung_up();
      report_gone("write", EIO);
      SetLastError(kDeviceGone);
      return FALSE;
    }
    if (n < 0 && errno != EAGAIN) {
      SetLastError(fail_call("write"));
      return FALSE;
    }
    bool timed_out = false;
    if (!wait_writable(bound, start, &timed_out)) return FALSE;
    if (timed_out) break;
  }
  return TRUE;
}

std::string claim_key(const struct stat& info) {
  if (S_ISCHR(info.st_mode)) return "char:" + std::to_string(info.st_rdev);
  return "file:" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// Refuses the port because `user` holds it, saying who once on stderr and in the debug output.
DWORD refuse_busy(const std::string& path, const PortUser& user, std::string* reason) {
  *reason = "in use by " + user.name + (user.pid > 0 ? " (pid " + std::to_string(user.pid) + ")" : "");
  const std::string line = path + " is " + *reason;
  kernel::stderr_notice(line);
  OutputDebugStringW(kernel::from_utf8(line + "\r\n").c_str());
  return ERROR_ACCESS_DENIED;
}

// Takes the tty for this process alone, after making sure no other program uses it; ERROR_SUCCESS
// or the refusal's code with `reason` in plain words.
DWORD take_exclusively(int fd, const std::string& path, Holding* holding, std::string* reason) {
  struct stat info {};
  // fstat: 0, or -1 with errno.
  if (::fstat(fd, &info) != 0) return report_failed_call(path, "fstat", reason);
  holding->claim = DeviceClaim::take(claim_key(info));
  if (!holding->claim) {
    *reason = "already open in this program";
    return ERROR_ACCESS_DENIED;
  }
  std::optional<PortUser> user = PortLock::take(path, &holding->lock);
  // A pty's peer (the simulator, a terminal) keeps its slave open as a matter of course.
  if (!user && !is_pseudo_terminal(info.st_rdev)) user = other_holder(info.st_rdev);
  if (user) return refuse_busy(path, *user, reason);
  // flock: 0, or -1 with errno: EWOULDBLOCK when another open of the device holds the lock
  // (another process: this one's own opens were answered by the claim). Root is bound too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    // Terminal programs that lock with flock alone (picocom does) are named from /proc/locks.
    if (std::optional<PortUser> holder = flock_holder(info)) return refuse_busy(path, *holder, reason);
    log_failure(path, "held by another process (flock)", error);
    *reason = plain_reason(EBUSY);
    return ERROR_ACCESS_DENIED;
  }
  // TIOCEXCL: 0, or -1 with errno (ignored: the flock already keeps cooperating openers out).
  // It makes later open()s of the tty by non-root processes fail with EBUSY.
  ::ioctl(fd, TIOCEXCL);
  return ERROR_SUCCESS;
}

// Keeps the line's settings as found, puts the line into the raw baseline and returns the
// settings it then holds.
DWORD set_baseline(int fd, const std::string& path, termios* found, DCB* initial, std::string* reason) {
  // tcgetattr / tcsetattr: 0, or -1 with errno.
  if (::tcgetattr(fd, found) != 0) return report_failed_call(path, "tcgetattr", reason);
  termios settings = *found;
  make_raw_baseline(settings);
  if (::tcsetattr(fd, TCSANOW, &settings) != 0) return report_failed_call(path, "tcsetattr", reason);
  *initial = dcb_from_termios(settings);
  return ERROR_SUCCESS;
}

HANDLE refuse(int fd, DWORD error) {
  ::close(fd);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE open_tty(const std::string& path, std::string* reason) {
  std::string unused;
  if (!reason) reason = &unused;
  // open: an fd, or -1 with errno: ENOENT for no such path, EBUSY when another process holds
  // the tty with TIOCEXCL, EACCES without permission.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(report_failed_call(path, "open", reason));
    return INVALID_HANDLE_VALUE;
  }
  if (!::isatty(fd)) {
    log_line("serial port " + path + ": not a terminal device");
    *reason = "not a terminal device";
    return refuse(fd, ERROR_FILE_NOT_FOUND);
  }
  Holding holding;
  DWORD error = take_exclusively(fd, path, &holding, reason);
  DCB initial{};
  if (error == ERROR_SUCCESS) error = set_baseline(fd, path, &holding.found, &initial, reason);
  if (error != ERROR_SUCCESS) return refuse(fd, error);
  holding.low_latency = ask_low_latency(fd, path);
  HANDLE handle = kernel::insert_handle(std::make_shared<TtyPort>(fd, path, std::move(holding), initial));
  return handle ? handle : INVALID_HANDLE_VALUE;
}

}  // namespace kov02::serial
