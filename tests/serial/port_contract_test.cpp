// The serial contract every port keeps, run on a real pty pair and on the in-process fake.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "kernel/handles.h"
#include "port_lines.h"

namespace serial_test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kUpdateMask = EV_RXCHAR | EV_BREAK | EV_ERR;

class PortContract : public ::testing::TestWithParam<std::function<std::unique_ptr<Line>()>> {
 protected:
  void SetUp() override {
    line_ = GetParam()();
    port_ = line_->open();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }

  std::unique_ptr<Line> line_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// With nothing there, immediate and bounded reads return empty; bytes already queued end a wait
// at once and are read at once, or discarded by a purge.
TEST_P(PortContract, ReadsAndWaitsReturnAtOnceWithWhatIsThereAndPurgeDiscardsIt) {
  EXPECT_TRUE(read_now(port_, 16).empty());

  // The bridge polls with this shape; its bound counts from the start of the read, not in whole
  // milliseconds after it (a loose limit: only a read waiting on far longer fails it).
  COMMTIMEOUTS within_1ms{0, 0, 1, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port_, &within_1ms));
  BYTE buffer[16];
  DWORD got = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &got, nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_EQ(got, 0u);

  line_->send({0x31, 0x32});
  ASSERT_EQ(wait_queued(port_, 2), 2u);
  ASSERT_TRUE(SetCommMask(port_, kUpdateMask));
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(events, EV_RXCHAR);
  EXPECT_EQ(read_now(port_, 8), (Bytes{0x31, 0x32}));

  line_->send({1, 2, 3, 4});
  ASSERT_EQ(wait_queued(port_, 4), 4u);
  ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(port_, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  EXPECT_TRUE(read_now(port_, 8).empty());
  line_->send({5});
  ASSERT_EQ(wait_queued(port_, 1), 1u);
  EXPECT_EQ(read_now(port_, 8), (Bytes{5}));
}

TEST_P(PortContract, ReadWithoutTimeoutsCollectsEveryByteInOrder) {
  COMMTIMEOUTS none{};
  ASSERT_TRUE(SetCommTimeouts(port_, &none));
  std::thread sender([&] {
    line_->send({10, 11});
    std::this_thread::sleep_for(30ms);
    line_->send({12, 13, 14});
  });
  BYTE buffer[5] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &got, nullptr));
  sender.join();
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{10, 11, 12, 13, 14}));
}

// A second open is refused until the first handle is closed, here from another thread, which
// also wakes a waiter.
TEST_P(PortContract, ASecondOpenIsRefusedUntilACloseFromAnotherThreadWhichWakesAWaiter) {
  EXPECT_EQ(line_->open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetCommMask(port_, kUpdateMask));
  BOOL result = TRUE;
  DWORD error = 0;
  std::thread waiter([&] {
    DWORD events = 0;
    result = WaitCommEvent(port_, &events, nullptr);
    error = GetLastError();
  });
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(CloseHandle(port_));
  waiter.join();
  port_ = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(result);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  port_ = line_->open();
  EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

// A watchdog bounds a wait by setting the mask again: the wait under way ends with no events,
// and a later wait is not cut short by that call, nor by a write going out meanwhile: it ends
// when a byte arrives.
TEST_P(PortContract, SetCommMaskFromAnotherThreadEndsAWaitWithNoEventsAndWritesGoOutWhileOneWaits) {
  ASSERT_TRUE(SetCommMask(port_, kUpdateMask));
  BOOL result = FALSE;
  DWORD events = 0xFFFF;
  std::thread waiter([&] { result = WaitCommEvent(port_, &events, nullptr); });
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(SetCommMask(port_, kUpdateMask));
  waiter.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(events, 0u);

  std::thread later([&] { result = WaitCommEvent(port_, &events, nullptr); });
  std::this_thread::sleep_for(50ms);
  const BYTE sync[] = {0x55, 0x55, 0x55};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port_, sync, sizeof sync, &written, nullptr));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(line_->sent_by_port(3), (Bytes{0x55, 0x55, 0x55}));
  line_->send({0xA0});
  later.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
  EXPECT_EQ(read_now(port_, 4), (Bytes{0xA0}));
}

TEST_P(PortContract, HangUpFailsWaitsAndReadsInsteadOfReturningEmpty) {
  ASSERT_TRUE(SetCommMask(port_, kUpdateMask));
  line_->hang_up();
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_EQ(events, 0u);

  COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port_, &immediate));
  BYTE byte = 0;
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_FALSE(WriteFile(port_, &byte, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
}

TEST_P(PortContract, SettingsAndTimeoutsReadBackAsSet) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = CBR_115200;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = 8;
  dcb.StopBits = ONE5STOPBITS;
  ASSERT_TRUE(SetCommState(port_, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(port_, &back));
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);

  DCB refused = dcb;
  refused.BaudRate = 0;
  EXPECT_FALSE(SetCommState(port_, &refused));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(GetCommState(port_, &back));
  EXPECT_EQ(back.BaudRate, CBR_115200) << "a refused setting changes nothing";

  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 10, 1000};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  COMMTIMEOUTS read_back{};
  ASSERT_TRUE(GetCommTimeouts(port_, &read_back));
  EXPECT_EQ(std::memcmp(&read_back, &timeouts, sizeof timeouts), 0);
}

TEST_P(PortContract, CallsOutsideTheContractAreRefusedWithInvalidParameter) {
  DWORD events = 0;
  EXPECT_FALSE(WaitCommEvent(port_, &events, nullptr)) << "no mask set";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetCommMask(port_, 0x10000));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PurgeComm(port_, 0x10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EscapeCommFunction(port_, 99));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetCommState(port_, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  for (DWORD function : {SETDTR, SETRTS, CLRDTR, CLRRTS}) EXPECT_TRUE(EscapeCommFunction(port_, function));
}

INSTANTIATE_TEST_SUITE_P(Lines, PortContract,
                         ::testing::Values([] { return std::unique_ptr<Line>(new PtyLine); },
                                           [] { return std::unique_ptr<Line>(new FakeLine); }),
                         [](const auto& info) { return info.index == 0 ? "Pty" : "Fake"; });

}  // namespace
}  // namespace serial_test
