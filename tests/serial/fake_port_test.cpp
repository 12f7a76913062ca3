// What only the fake can make happen: breaks, line errors, modem line changes, cut writes,
// refused settings.
#include "serial/fake_port.h"

#include <gtest/gtest.h>

#include <functional>
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

TEST_F(FakePortTest, WritesEndAsTheLineIsToldAndEveryCallIsRecorded) {
  struct Case {
    const char* name;
    std::function<void(FakePort&)> set_up;
    BOOL result;
    DWORD written;
    DWORD error;
  };
  const Case cases[] = {
      {"accepted", [](FakePort& p) { p.accept_writes(); }, TRUE, 4, 0},
      {"short", [](FakePort& p) { p.short_writes(3); }, TRUE, 3, 0},
      {"timed out", [](FakePort& p) { p.time_out_writes(); }, TRUE, 0, 0},
      {"failed", [](FakePort& p) { p.fail_writes(ERROR_WRITE_FAULT); }, FALSE, 0, ERROR_WRITE_FAULT},
  };
  const BYTE frame[] = {0x54, 0x3F, 0xA0, 0x00};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line_.port().clear_writes();
    c.set_up(line_.port());
    DWORD written = 99;
    SetLastError(0);
    EXPECT_EQ(WriteFile(port_, frame, sizeof frame, &written, nullptr), c.result);
    EXPECT_EQ(written, c.written);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    const auto writes = line_.port().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].offered, sizeof frame);
    EXPECT_EQ(writes[0].bytes, Bytes(frame, frame + c.written));
  }
}

TEST_F(FakePortTest, RefusedSettingsFailAndChangeNothing) {
  DCB before{};
  ASSERT_TRUE(GetCommState(port_, &before));
  line_.port().refuse_state(ERROR_GEN_FAILURE);
  line_.port().refuse_timeouts(ERROR_NOT_SUPPORTED);
  DCB dcb = before;
  dcb.BaudRate = CBR_115200;
  EXPECT_FALSE(SetCommState(port_, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 10, 1000};
  EXPECT_FALSE(SetCommTimeouts(port_, &timeouts));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  DCB after{};
  ASSERT_TRUE(GetCommState(port_, &after));
  EXPECT_EQ(after.BaudRate, before.BaudRate);

  line_.port().refuse_state(ERROR_SUCCESS);
  EXPECT_TRUE(SetCommState(port_, &dcb));
  EXPECT_EQ(line_.port().state().BaudRate, CBR_115200);
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
