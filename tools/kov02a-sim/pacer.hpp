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
  std::size_t size() const { return queue_.size(); }
  void clear() { queue_.clear(); }

 private:
  struct Entry {
    std::uint8_t byte;
    Micros arrival;
    Micros due;
  };
  Micros byte_time_{};
  Micros last_due_{};
  std::deque<Entry> queue_;
};

}  // namespace kov02a_sim
