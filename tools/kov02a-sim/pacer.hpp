// Delivery of bytes no faster than a serial line at a given baud rate would carry them.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "wire.hpp"

namespace kov02a_sim {

class Pacer {
 public:
  // 0 passes bytes on as soon as they come. Otherwise a byte takes ten bit times (start, eight
  // data bits, stop), rounded up to whole microseconds so the pace is never faster than the rate.
  explicit Pacer(unsigned baud);

  struct Batch {
    Micros arrival{};
    Bytes bytes;
  };

  void push(ByteView bytes, Micros arrival);
  // The bytes due by `now`, in order, grouped by their arrival time.
  std::vector<Batch> take_due(Micros now);
  std::optional<Micros> next_due() const;
  bool empty() const { return queue_.empty(); }
  std::size_t size() const { return held_; }
  void clear() {
    queue_.clear();
    held_ = 0;
  }

 private:
  // The bytes of one arrival; byte i is due at first_due + i byte times. Kept whole rather
  // than byte by byte, so an unpaced line costs one entry per read, not one per byte.
  struct Entry {
    Bytes bytes;
    std::size_t taken;
    Micros arrival;
    Micros first_due;
  };
  Micros due_of_next(const Entry& entry) const {
    return entry.first_due + byte_time_ * static_cast<long>(entry.taken);
  }
  std::size_t count_due(const Entry& entry, Micros now) const;

  Micros byte_time_{};
  Micros last_due_{};
  std::size_t held_ = 0;
  std::deque<Entry> queue_;
};

}  // namespace kov02a_sim
