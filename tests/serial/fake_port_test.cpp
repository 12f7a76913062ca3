// What only the fake can make happen: breaks, line errors, input left behind by a hang-up.
#include "serial/fake_port.h"

#include <gtest/gtest.h>

#include "port_lines.h"

namespace serial_test {
namespace {

class FakePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = line_.open();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }
  DWORD wait() {
    DWORD events = 0;
    EXPECT_TRUE(WaitCommEvent(port_, &events, nullptr));
    return events;
  }
  DWORD clear_errors() {
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(port_, &errors, nullptr));
    return errors;
  }

  FakeLine line_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(FakePortTest, BreaksAndLineErrorsAreEventsOnceAndErrorsUntilCleared) {
  line_.port().inject_break();
  EXPECT_EQ(wait(), DWORD{EV_BREAK});
  line_.port().inject_line_error(CE_FRAME);
  EXPECT_EQ(wait(), DWORD{EV_ERR}) << "the break was reported already";
  EXPECT_EQ(clear_errors(), DWORD{CE_BREAK | CE_FRAME});
  EXPECT_EQ(clear_errors(), 0u);
  EXPECT_TRUE(read_now(port_, 4).empty()) << "an error alone brings no byte";
}

TEST_F(FakePortTest, ALineErrorWithCharactersIsOneEventWithBoth) {
  line_.port().inject_line_error(CE_OVERRUN, {0x55, 0xA0});
  EXPECT_EQ(wait(), DWORD{EV_ERR | EV_RXCHAR});
  EXPECT_EQ(read_now(port_, 4), (Bytes{0x55, 0xA0}));
  EXPECT_EQ(clear_errors(), DWORD{CE_OVERRUN});
}

TEST_F(FakePortTest, EventsOutsideTheMaskAreNotReportedButErrorsStillAccumulate) {
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  line_.port().inject_break();
  line_.port().inject({0x01});
  EXPECT_EQ(wait(), DWORD{EV_RXCHAR});
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK));
  EXPECT_EQ(wait(), DWORD{EV_RXCHAR}) << "the break came while it was not in the mask";
  EXPECT_EQ(clear_errors(), DWORD{CE_BREAK});
}

TEST_F(FakePortTest, InputQueuedBeforeAHangUpIsStillReadThenTheLineFails) {
  line_.port().inject({0x12});
  line_.port().hang_up();
  EXPECT_EQ(wait(), DWORD{EV_RXCHAR});
  EXPECT_EQ(read_now(port_, 4), (Bytes{0x12}));
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

TEST_F(FakePortTest, ClosingFreesThePortAndTheNameGoesWithTheLastReference) {
  EXPECT_TRUE(line_.port().is_open());
  CloseHandle(port_);
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(line_.port().is_open());

  std::string name;
  {
    FakeLine gone;
    name = gone.name();
  }
  EXPECT_EQ(kov02::serial::open_fake(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace serial_test
