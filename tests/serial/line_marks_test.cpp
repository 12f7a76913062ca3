// Decoding the line discipline's marks, the driver's counters and modem line changes, as tables.
#include "serial/line_marks.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <climits>
#include <vector>

#include "serial/modem_lines.h"

namespace kov02::serial {
namespace {

using Bytes = std::vector<BYTE>;

struct MarkCase {
  const char* name;
  std::vector<Bytes> reads;  // the raw input as successive reads deliver it
  Bytes data;
  DWORD events;
  DWORD errors;
};

TEST(MarkDecoder, UndoesMarksAcrossReadBoundaries) {
  const MarkCase cases[] = {
      {"plain bytes pass", {{0x55, 0x00, 0xA0, 0x12}}, {0x55, 0x00, 0xA0, 0x12}, 0, 0},
      {"doubled 0xFF is one data byte", {{0x01, 0xFF, 0xFF, 0x02}}, {0x01, 0xFF, 0x02}, 0, 0},
      {"break mark", {{0x41, 0xFF, 0x00, 0x00, 0x42}}, {0x41, 0x42}, EV_BREAK, CE_BREAK},
      {"errored byte is kept", {{0xFF, 0x00, 0x7E}}, {0x7E}, EV_ERR, CE_FRAME},
      {"doubled 0xFF split", {{0x10, 0xFF}, {0xFF, 0x11}}, {0x10, 0xFF, 0x11}, 0, 0},
      {"break split after the lead", {{0xFF}, {0x00, 0x00}}, {}, EV_BREAK, CE_BREAK},
      {"break split before the last", {{0xFF, 0x00}, {0x00}}, {}, EV_BREAK, CE_BREAK},
      {"error split", {{0xFF}, {0x00}, {0x33}}, {0x33}, EV_ERR, CE_FRAME},
      {"far end sent FF 00 00 as data", {{0xFF, 0xFF, 0x00, 0x00}}, {0xFF, 0x00, 0x00}, 0, 0},
      {"lead without a mark follower is not lost", {{0xFF, 0x41}}, {0xFF, 0x41}, 0, 0},
      {"break and error in one read",
       {{0xFF, 0x00, 0x00, 0x55, 0xFF, 0x00, 0x61}},
       {0x55, 0x61},
       EV_BREAK | EV_ERR,
       CE_BREAK | CE_FRAME},
  };
  for (const MarkCase& c : cases) {
    SCOPED_TRACE(c.name);
    MarkDecoder decoder;
    decoder.set_marking(true);
    std::deque<BYTE> out;
    LineMarks total;
    for (const Bytes& read : c.reads) {
      const LineMarks marks = decoder.decode(read.data(), read.size(), out, CE_FRAME);
      total.events |= marks.events;
      total.errors |= marks.errors;
    }
    EXPECT_EQ(Bytes(out.begin(), out.end()), c.data);
    EXPECT_EQ(total.events, c.events);
    EXPECT_EQ(total.errors, c.errors);
  }
}

// An errored byte counts as the error it is given; a half mark is forgotten on reset and on a
// switch to unmarked input, where the line delivers 0xFF once and every byte is data.
TEST(MarkDecoder, ErroredByteCountsAsTheGivenErrorAndAHalfMarkIsForgottenOnResetOrSwitch) {
  MarkDecoder decoder;
  decoder.set_marking(true);
  std::deque<BYTE> out;
  const auto decode = [&](const Bytes& bytes, DWORD error = CE_FRAME) {
    return decoder.decode(bytes.data(), bytes.size(), out, error);
  };
  EXPECT_EQ(decode({0xFF, 0x00, 0x5A}, CE_RXPARITY).errors, DWORD{CE_RXPARITY});
  decode({0xFF, 0x00});
  decoder.reset();
  EXPECT_EQ(decode({0x00, 0x01}).events, 0u);
  EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{0x5A, 0x00, 0x01}));

  out.clear();
  decode({0x30, 0xFF});
  decoder.set_marking(false);
  const Bytes unmarked = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x41};
  const LineMarks none = decode(unmarked);
  EXPECT_EQ(none.events, 0u);
  EXPECT_EQ(none.errors, 0u);
  Bytes expected = {0x30};
  expected.insert(expected.end(), unmarked.begin(), unmarked.end());
  EXPECT_EQ(Bytes(out.begin(), out.end()), expected);
}

TEST(ErrorCounters, OnlyMovedCountersReportErrors) {
  struct Case {
    const char* name;
    ErrorCounts before, after;
    DWORD events, errors;
  };
  const Case cases[] = {
      {"unchanged", {3, 4}, {3, 4}, 0, 0},
      {"overrun", {3, 4}, {4, 4}, EV_ERR, CE_OVERRUN},
      {"tty buffer full is no line-status event", {3, 4}, {3, 9}, 0, CE_RXOVER},
      {"both", {0, 0}, {1, 1}, EV_ERR, CE_OVERRUN | CE_RXOVER},
      {"wrapped counter", {INT_MAX, 0}, {INT_MIN, 0}, EV_ERR, CE_OVERRUN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LineMarks marks = errors_between(c.before, c.after);
    EXPECT_EQ(marks.events, c.events);
    EXPECT_EQ(marks.errors, c.errors);
  }
}

TEST(ModemLines, EachChangedLineRaisesItsOwnEventWithinTheMask) {
  constexpr DWORD kAllLines = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
  struct Case {
    const char* name;
    DWORD before, after, mask, events;
  };
  const Case cases[] = {
      {"CTS rose", 0, MS_CTS_ON, kModemEvents, EV_CTS},
      {"DSR fell", MS_DSR_ON | MS_CTS_ON, MS_CTS_ON, kModemEvents, EV_DSR},
      {"ring fell", MS_RING_ON, 0, kModemEvents, EV_RING},
      {"carrier rose", MS_CTS_ON, MS_CTS_ON | MS_RLSD_ON, kModemEvents, EV_RLSD},
      {"all at once", 0, kAllLines, kModemEvents, kModemEvents},
      {"outside the mask", 0, MS_CTS_ON | MS_DSR_ON, EV_DSR | EV_RXCHAR, EV_DSR},
      {"no modem event asked", MS_CTS_ON, 0, EV_RXCHAR | EV_BREAK, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(events_between(c.before, c.after, c.mask), c.events);
  }
  EXPECT_EQ(status_from_tiocm(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD), kAllLines);
  EXPECT_EQ(status_from_tiocm(TIOCM_DTR | TIOCM_RTS | TIOCM_CD), DWORD{MS_RLSD_ON})
      << "our own outputs are no status";
}

}  // namespace
}  // namespace kov02::serial
