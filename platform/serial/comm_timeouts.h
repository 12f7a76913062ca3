// The handset's COMMTIMEOUTS rules as deadlines: how long a read or write of n bytes may take.
// Pure, so a table test can check every shape.
#pragma once

#include <kov02/ce.h>

#include <cstdint>

namespace kov02::serial {

inline constexpr std::int64_t kNoBound = -1;

struct ReadBounds {
  std::int64_t total_ms;     // bound on the whole read, kNoBound for none
  std::int64_t interval_ms;  // bound on the gap after a byte, kNoBound for none
  bool any_byte_ends;        // true: the read returns as soon as it has at least one byte
};

// {MAXDWORD, 0, 0} returns at once with what is there; {MAXDWORD, MAXDWORD, c} (0 < c < MAXDWORD)
// returns at once with what is there, else with the first byte within c ms; otherwise the
// total bound is multiplier * n + constant (none when both are 0) and the interval bound is the
// interval member (none when 0 or MAXDWORD).
ReadBounds read_bounds(const COMMTIMEOUTS& timeouts, DWORD size);

// Bound on a write of `size` bytes: multiplier * n + constant ms, kNoBound when both are 0.
std::int64_t write_bound_ms(const COMMTIMEOUTS& timeouts, DWORD size);

}  // namespace kov02::serial
