// COMMTIMEOUTS shapes onto deadlines, as a table.
#include "serial/comm_timeouts.h"

#include <gtest/gtest.h>

#include <limits>

namespace kov02::serial {
namespace {

TEST(CommTimeouts, ReadShapes) {
  struct Case {
    const char* name;
    COMMTIMEOUTS timeouts;
    DWORD size;
    std::int64_t total, interval;
    bool any_byte_ends;
  };
  const Case cases[] = {
      {"return at once with what is there", {MAXDWORD, 0, 0, 10, 1000}, 1, 0, kNoBound, true},
      {"return within 1 ms", {0, 0, 1, 0, 0}, 1024, 1, kNoBound, false},
      {"no time-outs: wait for every byte", {0, 0, 0, 0, 0}, 16, kNoBound, kNoBound, false},
      {"first byte within a bound", {MAXDWORD, MAXDWORD, 500, 0, 0}, 8, 500, kNoBound, true},
      {"MAXDWORD constant is no first-byte shape",
       {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0},
       2,
       std::int64_t{MAXDWORD} * 3,
       kNoBound,
       false},
      {"interval with total", {20, 10, 100, 0, 0}, 5, 150, 20, false},
      {"MAXDWORD interval with a constant only", {MAXDWORD, 0, 100, 0, 0}, 3, 100, kNoBound, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReadBounds bounds = read_bounds(c.timeouts, c.size);
    EXPECT_EQ(bounds.total_ms, c.total);
    EXPECT_EQ(bounds.interval_ms, c.interval);
    EXPECT_EQ(bounds.any_byte_ends, c.any_byte_ends);
  }
}

TEST(CommTimeouts, WriteBoundIsMultiplierTimesLengthPlusConstant) {
  struct Case {
    COMMTIMEOUTS timeouts;
    DWORD size;
    std::int64_t bound;
  };
  const Case cases[] = {
      {{MAXDWORD, 0, 0, 10, 1000}, 1, 1010},
      {{MAXDWORD, 0, 0, 10, 1000}, 4000, 41000},
      {{0, 0, 1, 0, 0}, 1024, kNoBound},
      {{0, 0, 0, 0, 250}, 7, 250},
      {{0, 0, 0, MAXDWORD, MAXDWORD}, MAXDWORD, std::numeric_limits<std::int64_t>::max()},  // clamped
  };
  for (const Case& c : cases) {
    EXPECT_EQ(write_bound_ms(c.timeouts, c.size), c.bound) << c.size;
  }
}

}  // namespace
}  // namespace kov02::serial
