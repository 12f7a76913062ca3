// COMMTIMEOUTS onto deadlines.
#include "serial/comm_timeouts.h"

#include <algorithm>
#include <limits>

namespace kov02::serial {
namespace {

// Formed in unsigned 64 bits, where MAXDWORD * MAXDWORD + MAXDWORD still fits, then clamped.
std::int64_t total_bound(DWORD multiplier, DWORD constant, DWORD size) {
  if (multiplier == 0 && constant == 0) return kNoBound;
  const std::uint64_t bound = std::uint64_t{multiplier} * size + constant;
  return static_cast<std::int64_t>(std::min<std::uint64_t>(bound, std::numeric_limits<std::int64_t>::max()));
}

}  // namespace

ReadBounds read_bounds(const COMMTIMEOUTS& t, DWORD size) {
  if (t.ReadIntervalTimeout == MAXDWORD) {
    if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return {0, kNoBound, true};
    if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0 &&
        t.ReadTotalTimeoutConstant != MAXDWORD) {
      return {t.ReadTotalTimeoutConstant, kNoBound, true};
    }
  }
  const std::int64_t interval = (t.ReadIntervalTimeout == 0 || t.ReadIntervalTimeout == MAXDWORD)
                                    ? kNoBound
                                    : static_cast<std::int64_t>(t.ReadIntervalTimeout);
  return {total_bound(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, size), interval, false};
}

std::int64_t write_bound_ms(const COMMTIMEOUTS& t, DWORD size) {
  return total_bound(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, size);
}

}  // namespace kov02::serial
