// The console's stdin reader (see console_input.h). End of input ends the reader, not the program.
#include "ui/console/console_input.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "windowing/backend.h"
#include "windowing/message_queue.h"

namespace kov02::ui::console {

// fcntl(F_GETFD): the descriptor's flags, or -1 with EBADF when it is not open. A process started
// without stdin must not later read whatever file happens to be opened as descriptor 0.
LineReader::LineReader(int in_fd)
    : in_fd_(in_fd), usable_(::fcntl(in_fd, F_GETFD) != -1), stop_fd_(windowing::make_eventfd()) {}

LineReader::~LineReader() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  taken_.notify_all();
  windowing::signal_eventfd(stop_fd_);
  if (thread_.joinable()) thread_.join();
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

void LineReader::start() {
  if (!thread_.joinable() && usable_ && stop_fd_ >= 0) thread_ = std::thread([this] { run(); });
}

std::optional<InputLine> LineReader::next() {
  std::lock_guard lock(mutex_);
  if (lines_.empty()) return std::nullopt;
  InputLine line = std::move(lines_.front());
  lines_.pop_front();
  if (lines_.size() < kMostWaiting) taken_.notify_one();
  return line;
}

bool LineReader::room_for_more() {
  std::unique_lock lock(mutex_);
  taken_.wait(lock, [this] { return stopping_ || lines_.size() < kMostWaiting; });
  return !stopping_;
}

void LineReader::deliver(InputLine line) {
  if (line.too_long) line.text = {};
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  // An empty task: it only wakes the UI thread, which then takes the line when idle.
  run_on_ui_thread([] {});
}

void LineReader::run() {
  InputLine pending;
  char buffer[4096];
  for (;;) {
    if (!room_for_more()) return;
    pollfd fds[2] = {{in_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    // poll: ready count, or -1 with errno (EINTR: a signal, look again).
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    // read: bytes read, 0 at end of input, -1 with errno (EBADF when there is no stdin at all).
    const ssize_t got = ::read(in_fd_, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    for (char c : std::string_view(buffer, static_cast<std::size_t>(got))) {
      if (c == '\n') {
        deliver(std::move(pending));
        pending = {};
      } else if (pending.text.size() < kLongestLine) {
        pending.text += c;
      } else {
        pending.too_long = true;
      }
    }
  }
  if (!pending.text.empty()) deliver(std::move(pending));
}

}  // namespace kov02::ui::console
