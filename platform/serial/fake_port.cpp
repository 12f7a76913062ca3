// The in-process fake line and the port object a handle to it names.
#include "serial/fake_port.h"

#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "kernel/handles.h"
#include "serial/line_settings.h"
#include "serial/port.h"
#include "serial/serial.h"

namespace kov02::serial {
namespace {

struct FakeRegistry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<FakePort>> lines;
};

// Never destroyed: a line may outlive static destruction in a thread still running at exit.
FakeRegistry& registry() {
  static auto* instance = new FakeRegistry;
  return *instance;
}

constexpr DWORD kLineStatusErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

LineMarks marks_of(DWORD errors) {
  LineMarks marks;
  marks.errors = errors;
  if (errors & CE_BREAK) marks.events |= EV_BREAK;
  if (errors & kLineStatusErrors) marks.events |= EV_ERR;
  return marks;
}

// What a freshly opened fake reports before SetCommState: a tty's raw baseline at 9600 bit/s.
DCB default_state() {
  termios settings{};
  make_raw_baseline(settings);
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  return dcb_from_termios(settings);
}

}  // namespace

class FakePortObject final : public SerialPort {
 public:
  explicit FakePortObject(std::shared_ptr<FakePort> line)
      : SerialPort(line->state()), line_(std::move(line)) {}
  ~FakePortObject() override {
    std::lock_guard lock(line_->mutex_);
    line_->open_ = false;
  }
  BOOL write(const void* buffer, DWORD size, DWORD* put) override;

 protected:
  Pulled pull(std::deque<BYTE>& into, std::size_t room, short revents) override;
  int input_fd() const override { return line_->input_fd_; }
  DWORD apply_state(const DCB& dcb) override;
  DWORD apply_timeouts(const COMMTIMEOUTS& timeouts) override;
  DWORD set_modem_line(bool dtr, bool raise) override;
  DWORD read_modem_lines(DWORD* status) override;
  int line_recheck_ms() override { return -1; }
  void flush_line(bool input, bool output) override;
  DWORD line_input_pending() override;
  DWORD line_output_pending() override { return 0; }

 private:
  void reset_signal_locked();

  std::shared_ptr<FakePort> line_;
};

void FakePortObject::reset_signal_locked() {
  std::uint64_t count = 0;
  // eventfd read: 8 bytes and the counter back to 0, or -1 with EAGAIN when it already was 0.
  [[maybe_unused]] ssize_t n = ::read(line_->input_fd_, &count, sizeof count);
}

SerialPort::Pulled FakePortObject::pull(std::deque<BYTE>& into, std::size_t room, short) {
  std::lock_guard lock(line_->mutex_);
  Pulled pulled;
  DWORD errors = 0;
  auto& input = line_->input_;
  while (!input.empty() && (room > 0 || input.front().bytes.empty())) {
    FakePort::Arrival& next = input.front();
    const std::size_t count = std::min(room, next.bytes.size());
    into.insert(into.end(), next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(count));
    room -= count;
    errors |= next.errors;
    next.errors = 0;
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(count));
    if (!next.bytes.empty()) break;
    input.pop_front();
  }
  pulled.marks = marks_of(errors);
  if (input.empty()) {
    if (line_->hung_up_) {
      pulled.hung_up = true;
    } else {
      reset_signal_locked();
    }
  }
  return pulled;
}

BOOL FakePortObject::write(const void* buffer, DWORD size, DWORD* put) {
  const auto* bytes = static_cast<const BYTE*>(buffer);
  std::lock_guard lock(line_->mutex_);
  FakePort::Write record{{}, size, std::chrono::steady_clock::now()};
  DWORD error = ERROR_SUCCESS;
  DWORD taken = 0;
  if (line_->hung_up_) {
    error = kDeviceGone;
  } else if (line_->write_mode_ == FakePort::WriteMode::fail) {
    error = line_->write_error_;
  } else if (line_->write_mode_ == FakePort::WriteMode::accept) {
    taken = size;
  } else if (line_->write_mode_ == FakePort::WriteMode::cut_short) {
    taken = std::min(size, line_->write_limit_);
  }
  record.bytes.assign(bytes, bytes + taken);
  line_->writes_.push_back(std::move(record));
  line_->written_total_ += taken;
  line_->written_changed_.notify_all();
  *put = taken;
  if (error == ERROR_SUCCESS) return TRUE;
  SetLastError(error);
  return FALSE;
}

// A setting a tty would refuse is refused here too, so tests see the tty's contract.
DWORD FakePortObject::apply_state(const DCB& dcb) {
  std::lock_guard lock(line_->mutex_);
  if (line_->refuse_state_ != ERROR_SUCCESS) return line_->refuse_state_;
  termios scratch{};
  const DWORD error = dcb_to_termios(dcb, scratch);
  if (error != ERROR_SUCCESS) return error;
  line_->state_ = dcb;
  line_->dtr_ = dcb.fDtrControl == DTR_CONTROL_ENABLE;
  if (dcb.fRtsControl != kRtsHandshake) line_->rts_ = dcb.fRtsControl == RTS_CONTROL_ENABLE;
  return ERROR_SUCCESS;
}

DWORD FakePortObject::apply_timeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(line_->mutex_);
  if (line_->refuse_timeouts_ != ERROR_SUCCESS) return line_->refuse_timeouts_;
  line_->timeouts_ = timeouts;
  return ERROR_SUCCESS;
}

DWORD FakePortObject::set_modem_line(bool dtr, bool raise) {
  std::lock_guard lock(line_->mutex_);
  (dtr ? line_->dtr_ : line_->rts_) = raise;
  return ERROR_SUCCESS;
}

DWORD FakePortObject::read_modem_lines(DWORD* status) {
  std::lock_guard lock(line_->mutex_);
  *status = line_->modem_status_;
  return ERROR_SUCCESS;
}

void FakePortObject::flush_line(bool input, bool) {
  if (!input) return;
  std::lock_guard lock(line_->mutex_);
  line_->input_.clear();
  if (!line_->hung_up_) reset_signal_locked();
}

DWORD FakePortObject::line_input_pending() {
  return static_cast<DWORD>(line_->input_pending());
}

FakePort::FakePort() : state_(default_state()), input_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FakePort::~FakePort() {
  {
    FakeRegistry& lines = registry();
    std::lock_guard lock(lines.mutex);
    for (auto it = lines.lines.begin(); it != lines.lines.end();) {
      it = it->second.expired() ? lines.lines.erase(it) : std::next(it);
    }
  }
  if (input_fd_ >= 0) ::close(input_fd_);
}

std::shared_ptr<FakePort> FakePort::create(const std::string& name) {
  std::shared_ptr<FakePort> line(new FakePort);
  FakeRegistry& lines = registry();
  std::lock_guard lock(lines.mutex);
  lines.lines[name] = line;
  return line;
}

void FakePort::signal_input_locked() {
  const std::uint64_t one = 1;
  // eventfd write: 8 bytes, fails only when the counter would overflow, which it cannot here.
  [[maybe_unused]] ssize_t n = ::write(input_fd_, &one, sizeof one);
}

void FakePort::arrive(Arrival arrival) {
  std::lock_guard lock(mutex_);
  input_.push_back(std::move(arrival));
  signal_input_locked();
}

void FakePort::inject(std::vector<BYTE> bytes) {
  arrive({std::move(bytes), 0});
}

void FakePort::inject_break() {
  arrive({{}, CE_BREAK});
}

void FakePort::inject_line_error(DWORD errors, std::vector<BYTE> bytes) {
  arrive({std::move(bytes), errors});
}

void FakePort::hang_up() {
  std::lock_guard lock(mutex_);
  hung_up_ = true;
  signal_input_locked();
}

void FakePort::set_modem_status(DWORD status) {
  std::lock_guard lock(mutex_);
  modem_status_ = status;
  signal_input_locked();
}

void FakePort::accept_writes() {
  std::lock_guard lock(mutex_);
  write_mode_ = WriteMode::accept;
}

void FakePort::short_writes(DWORD at_most) {
  std::lock_guard lock(mutex_);
  write_mode_ = WriteMode::cut_short;
  write_limit_ = at_most;
}

void FakePort::time_out_writes() {
  std::lock_guard lock(mutex_);
  write_mode_ = WriteMode::time_out;
}

void FakePort::fail_writes(DWORD error) {
  std::lock_guard lock(mutex_);
  write_mode_ = WriteMode::fail;
  write_error_ = error;
}

void FakePort::refuse_state(DWORD error) {
  std::lock_guard lock(mutex_);
  refuse_state_ = error;
}

void FakePort::refuse_timeouts(DWORD error) {
  std::lock_guard lock(mutex_);
  refuse_timeouts_ = error;
}

std::vector<FakePort::Write> FakePort::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<BYTE> FakePort::written() const {
  std::lock_guard lock(mutex_);
  std::vector<BYTE> all;
  for (const Write& write : writes_) all.insert(all.end(), write.bytes.begin(), write.bytes.end());
  return all;
}

bool FakePort::wait_written(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return written_changed_.wait_for(lock, timeout, [&] { return written_total_ >= count; });
}

void FakePort::clear_writes() {
  std::lock_guard lock(mutex_);
  writes_.clear();
  written_total_ = 0;
}

bool FakePort::is_open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

DCB FakePort::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

COMMTIMEOUTS FakePort::timeouts() const {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

bool FakePort::dtr() const {
  std::lock_guard lock(mutex_);
  return dtr_;
}

bool FakePort::rts() const {
  std::lock_guard lock(mutex_);
  return rts_;
}

std::size_t FakePort::input_pending() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const Arrival& arrival : input_) count += arrival.bytes.size();
  return count;
}

HANDLE open_fake(const std::string& name) {
  std::shared_ptr<FakePort> line;
  {
    FakeRegistry& lines = registry();
    std::lock_guard lock(lines.mutex);
    auto found = lines.lines.find(name);
    if (found != lines.lines.end()) line = found->second.lock();
  }
  if (!line) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  {
    std::lock_guard lock(line->mutex_);
    if (line->open_) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    line->open_ = true;
    line->dtr_ = line->rts_ = true;  // raised at open, as a tty's are
  }
  HANDLE handle = kernel::insert_handle(std::make_shared<FakePortObject>(line));
  return handle ? handle : INVALID_HANDLE_VALUE;
}

}  // namespace kov02::serial
