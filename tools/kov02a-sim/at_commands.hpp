// The module's normal mode: a small AT command interpreter. Echo is off. A command line starts
// with "A" or "a" and ends with CR (a following LF is skipped, a lone LF also ends a line);
// bytes between lines that cannot start a command are dropped, which is how the 0x55 sync
// stream of the update tool goes unanswered.
#pragma once

#include <cstdint>
#include <string>

#include "wire.hpp"

namespace kov02a_sim {

// The text ATI answers with, between "\r\n" pairs.
inline constexpr std::string_view kIdentity = "KOV02A module simulator, firmware SIM-1.0";

class AtResponder {
 public:
  // Takes one byte; returns the reply when the byte ends a command line, else nothing.
  Bytes feed(std::uint8_t byte);

  // Forgets a half-typed command line.
  void clear_line() {
    line_.clear();
    overflow_ = false;
  }

  std::uint32_t commands() const { return commands_; }
  // Bytes dropped between command lines, and how many of them were 0x55.
  std::uint64_t dropped() const { return dropped_; }
  std::uint64_t sync_dropped() const { return sync_dropped_; }

 private:
  Bytes answer();

  static constexpr std::size_t kMaxLine = 128;
  std::string line_;
  bool overflow_ = false;
  std::uint32_t commands_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t sync_dropped_ = 0;
};

}  // namespace kov02a_sim
