#include "line.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace kov02a_sim {
namespace {

// A far end that stops reading must not make the simulator grow without bound; a real UART
// would have overrun long before this, so newer bytes are dropped.
constexpr std::size_t kMaxUnwritten = 1 << 20;

}  // namespace

Line::Line(UniqueFd fd, unsigned baud) : fd_(std::move(fd)), in_(baud), out_(baud) {}

bool Line::receive(Micros now) {
  std::array<std::uint8_t, 4096> buffer;
  for (;;) {
    // read: the count read, 0 at end of file (a hung-up tty), or -1 with errno.
    const ssize_t count = read(fd_.get(), buffer.data(), buffer.size());
    if (count > 0) {
      in_.push(ByteView(buffer.data(), static_cast<std::size_t>(count)), now);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    return count < 0 && errno == EAGAIN;
  }
}

void Line::discard_input(Micros now) {
  receive(now);
  in_.clear();
}

bool Line::write_unwritten() {
  while (!unwritten_.empty()) {
    // write: the count written, or -1 with errno; EAGAIN when the far end's buffer is full.
    const ssize_t count = write(fd_.get(), unwritten_.data(), unwritten_.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno == EAGAIN;
    unwritten_.erase(unwritten_.begin(), unwritten_.begin() + count);
  }
  return true;
}

void Line::send(ByteView bytes, Micros now) {
  const std::size_t held = out_.size() + unwritten_.size();
  const std::size_t room = kMaxUnwritten - std::min(kMaxUnwritten, held);
  out_.push(bytes.first(std::min(room, bytes.size())), now);
}

bool Line::flush(Micros now) {
  if (!write_unwritten()) return false;
  if (blocked()) return true;
  for (const Pacer::Batch& batch : out_.take_due(now)) {
    unwritten_.insert(unwritten_.end(), batch.bytes.begin(), batch.bytes.end());
  }
  return write_unwritten();
}

std::optional<Micros> Line::next_due() const {
  const std::optional<Micros> in = in_.next_due();
  const std::optional<Micros> out = blocked() ? std::nullopt : out_.next_due();
  if (in && out) return std::min(*in, *out);
  return in ? in : out;
}

}  // namespace kov02a_sim
