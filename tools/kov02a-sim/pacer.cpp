#include "pacer.hpp"

#include <algorithm>

namespace kov02a_sim {

Pacer::Pacer(unsigned baud) : byte_time_(baud == 0 ? 0 : (10'000'000 + baud - 1) / baud) {}

// A byte starts on the wire when it arrives or when the one before it has gone, whichever is
// later, and is delivered once its ten bits have passed.
void Pacer::push(ByteView bytes, Micros arrival) {
  for (std::uint8_t byte : bytes) {
    last_due_ = std::max(arrival, last_due_) + byte_time_;
    queue_.push_back({byte, arrival, last_due_});
  }
}

std::vector<Pacer::Batch> Pacer::take_due(Micros now) {
  std::vector<Batch> batches;
  while (!queue_.empty() && queue_.front().due <= now) {
    const Entry& entry = queue_.front();
    if (batches.empty() || batches.back().arrival != entry.arrival) batches.push_back({entry.arrival, {}});
    batches.back().bytes.push_back(entry.byte);
    queue_.pop_front();
  }
  return batches;
}

std::optional<Micros> Pacer::next_due() const {
  if (queue_.empty()) return std::nullopt;
  return queue_.front().due;
}

}  // namespace kov02a_sim
