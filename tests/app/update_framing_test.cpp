// The update wire's framing, checked against worked examples, and the progress line.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "update/framing.h"
#include "update/progress.h"

namespace {

using Bytes = std::vector<BYTE>;

// A size wider than its field keeps its low bytes: 70000 goes out in two as 4464.
TEST(UpdateFraming, SizesGoOutMostSignificantByteFirstAndWrapToTheirField) {
  const std::pair<DWORD, Bytes> cases[] = {
      // the value, the bytes it goes out as
      {3, {0x00, 0x03}},          {2500, {0x09, 0xC4}},
      {2000, {0x07, 0xD0}},       {0, {0x00, 0x00}},
      {70000, {0x11, 0x70}},      {4169728, {0x3F, 0xA0, 0x00}},
      {8000, {0x00, 0x1F, 0x40}}, {3, {0x00, 0x00, 0x03}},
      {0, {0x00, 0x00, 0x00}},    {16777216 + 0x0102, {0x00, 0x01, 0x02}},
  };
  for (const auto& [value, expected] : cases) {
    Bytes out(expected.size(), 0xEE);
    PutBigEndian(value, out);
    EXPECT_EQ(out, expected) << "value " << value << " in " << expected.size() << " bytes";
  }
}

TEST(UpdateFraming, StageOneFrameIsLengthDataAndXorOfDataOnly) {
  const std::pair<Bytes, Bytes> cases[] = {
      // the data, its frame
      {{0x61, 0x62, 0x63}, {0x03, 0x61, 0x62, 0x63, 0x60}},
      {{0xFF}, {0x01, 0xFF, 0xFF}},
      {{0x03, 0x03}, {0x02, 0x03, 0x03, 0x00}},  // the length byte stays out of the XOR
  };
  for (const auto& [data, expected] : cases) {
    BYTE frame[STAGE1_FRAME_MAX] = {};
    std::copy(data.begin(), data.end(), frame + 1);
    DWORD length = CloseStage1Frame(frame, static_cast<DWORD>(data.size()));
    EXPECT_EQ(Bytes(frame, frame + length), expected);
  }
}

// The line above the progress bar, in the units a person reads: the time left appears only after
// three seconds, from the rate so far, and never for a step that has ended or not begun.
TEST(UpdateProgress, TheLineShowsReadableSizesPercentageAndTheTimeLeftOnceKnown) {
  struct Case {
    DWORD sent, total, elapsedMs;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {0, 4169728, 0, L"Firmware: 0 B of 4.17 MB (0 %)"},
      {52000, 4169728, 2999, L"Firmware: 52.0 kB of 4.17 MB (1 %)"},
      {52000, 4169728, 4180, L"Firmware: 52.0 kB of 4.17 MB (1 %), 5:31 left"},
      {1000000, 4169728, 60000, L"Firmware: 1.00 MB of 4.17 MB (23 %), 3:10 left"},
      {4169728, 4169728, 250000, L"Firmware: 4.17 MB of 4.17 MB (100 %)"},
      {0, 0, 5000, L"Firmware: 0 B of 0 B (100 %)"},
  };
  for (const Case& c : cases) {
    WCHAR text[128];
    EXPECT_STREQ(FormatProgressLine(text, L"Firmware", c.sent, c.total, c.elapsedMs), c.expected) << c.sent;
  }
  // Each unit's edges, rounded as shown: never "1000.0 kB".
  const std::pair<DWORD, const wchar_t*> sizes[] = {{999, L"999 B"},       {1000, L"1.0 kB"},
                                                    {164049, L"164.0 kB"}, {999949, L"999.9 kB"},
                                                    {999950, L"1.00 MB"},  {0xFFFFFFFF, L"4294.97 MB"}};
  for (const auto& [bytes, expected] : sizes) {
    WCHAR text[BYTE_SIZE_CHARS];
    EXPECT_STREQ(FormatByteSize(text, bytes), expected) << bytes;
  }
}

}  // namespace
