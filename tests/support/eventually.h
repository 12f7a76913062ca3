// Waiting in a test for something another thread or process brings about: polled, with a
// deadline generous enough for a loaded machine, never a claim about speed.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Polls `ready` every few milliseconds until it holds or `limit` passes; whether it held.
template <typename Predicate>
bool eventually(Predicate ready, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace test_support
