// What only the fake can make happen: breaks, line errors, modem line changes, input left behind
// by a hang-up.
#include "serial/fake_port.h"

#include <gtest/gtest.h>

#include <thread>

#include "port_lines.h"

namespace serial_test {
namespace {

using kov02::serial::FakePort;

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

TEST_F(FakePortTest, BreaksAndLineErrorsAreEventsOnceAndErrorsUntilClearedWithTheirCharacters) {
  line_.port().inject_break();
  EXPECT_EQ(wait(), DWORD{EV_BREAK});
  line_.port().inject_line_error(CE_FRAME);
  EXPECT_EQ(wait(), DWORD{EV_ERR}) << "the break was reported already";
  EXPECT_EQ(clear_errors(), DWORD{CE_BREAK | CE_FRAME});
  EXPECT_EQ(clear_errors(), 0u);
  EXPECT_TRUE(read_now(port_, 4).empty()) << "an error alone brings no byte";
  line_.port().inject_line_error(CE_OVERRUN, {0x55, 0xA0});
  EXPECT_EQ(wait(), DWORD{EV_ERR | EV_RXCHAR}) << "one event with both";
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

DWORD modem_status(HANDLE port) {
  DWORD status = 0xFFFF;
  EXPECT_TRUE(GetCommModemStatus(port, &status));
  return status;
}

TEST_F(FakePortTest, EachModemLineChangeRaisesExactlyItsEventAndTheStatusFollows) {
  FakePort& far = line_.port();
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS | EV_DSR | EV_RING | EV_RLSD));
  EXPECT_EQ(modem_status(port_), 0u);
  const struct {
    DWORD status, event;
  } steps[] = {
      {MS_CTS_ON, EV_CTS},
      {MS_CTS_ON | MS_DSR_ON, EV_DSR},
      {MS_CTS_ON | MS_DSR_ON | MS_RING_ON, EV_RING},
      {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, EV_RLSD},
      {MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, EV_CTS},
      {MS_DSR_ON | MS_RLSD_ON, EV_RING},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.status);
    far.set_modem_status(step.status);
    EXPECT_EQ(wait(), step.event);
    EXPECT_EQ(modem_status(port_), step.status);
  }

  std::thread drop_carrier([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    far.set_modem_status(MS_DSR_ON);
  });
  EXPECT_EQ(wait(), DWORD{EV_RLSD}) << "a waiter already blocked wakes on the change";
  drop_carrier.join();

  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
  far.set_modem_status(0);
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS | EV_DSR));
  far.set_modem_status(MS_CTS_ON);
  EXPECT_EQ(wait(), DWORD{EV_CTS}) << "DSR fell while it was not in the mask";
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
