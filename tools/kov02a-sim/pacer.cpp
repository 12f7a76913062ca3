#include "pacer.hpp"

#include <algorithm>

namespace kov02a_sim {

Pacer::Pacer(unsigned baud) : byte_time_(baud == 0 ? 0 : (10'000'000 + baud - 1) / baud) {}

// A byte starts on the wire when it arrives or when the one before it has gone, whichever is
// later, and is delivered once its ten bits have passed.
void Pacer::push(ByteView bytes, Micros arrival) {
  if (bytes.empty()) return;
  const Micros start = std::max(arrival, last_due_);
  last_due_ = start + byte_time_ * static_cast<long>(bytes.size());
  queue_.push_back({Bytes(bytes.begin(), bytes.end()), 0, arrival, start + byte_time_});
  held_ += bytes.size();
}

// How many of the entry's remaining bytes are due by `now`.
std::size_t Pacer::count_due(const Entry& entry, Micros now) const {
  const std::size_t remaining = entry.bytes.size() - entry.taken;
  const Micros next = due_of_next(entry);
  if (next > now) return 0;
  if (byte_time_.count() == 0) return remaining;
  const auto due = static_cast<std::size_t>((now - next) / byte_time_) + 1;
  return std::min(remaining, due);
}

std::vector<Pacer::Batch> Pacer::take_due(Micros now) {
  std::vector<Batch> batches;
  while (!queue_.empty()) {
    Entry& entry = queue_.front();
    const std::size_t count = count_due(entry, now);
    if (count == 0) break;
    if (batches.empty() || batches.back().arrival != entry.arrival) batches.push_back({entry.arrival, {}});
    const auto first = entry.bytes.begin() + static_cast<long>(entry.taken);
    batches.back().bytes.insert(batches.back().bytes.end(), first, first + static_cast<long>(count));
    entry.taken += count;
    held_ -= count;
    if (entry.taken < entry.bytes.size()) break;
    queue_.pop_front();
  }
  return batches;
}

std::optional<Micros> Pacer::next_due() const {
  if (queue_.empty()) return std::nullopt;
  return due_of_next(queue_.front());
}

}  // namespace kov02a_sim
