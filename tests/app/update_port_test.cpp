// The update serial link: opening COM1 with the update wire's settings, the byte primitives,
// the caster, and a port that goes away under a wait; on the fake line and on a real pty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "common/hex_trace.h"
#include "serial_probe.h"
#include "serial_pty.h"
#include "upd_rig.h"
#include "update_test_hooks.h"

namespace {

using namespace std::chrono_literals;
using upd::Bytes;
using upd::Clock;

constexpr DWORD kUpdateDcbFlags = 0x1091;

// The update line's settings: 115200 bit/s, 8 data bits, code 1 for the stop bits, the flag word
// 0x1091, every other member 0.
DCB update_dcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 115200;
  std::memcpy(reinterpret_cast<BYTE*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD), &kUpdateDcbFlags,
              sizeof kUpdateDcbFlags);
  dcb.ByteSize = 8;
  dcb.StopBits = 1;
  return dcb;
}

HANDLE update_handle() {
  return g_pUpdatePort.load()->hPort;
}

class UpdatePortLink : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseUpdatePort();
    kov02::registry::clear();
    g_bHexTrace.store(0);
  }
  // Maps COM1: onto `target` (a tty path or "fake:NAME"); an empty target maps nothing. `extra`
  // is more registry text.
  static void map_com1(const std::string& target, const std::string& extra = "") {
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    if (!target.empty()) text += "\"COM1:\"=\"" + target + "\"\n";
    text += extra;
    std::string error;
    ASSERT_TRUE(kov02::registry::load_string(text, &error)) << error;
  }
  // Opens COM1: on a fresh fake line.
  void open_on_fake() {
    map_com1("fake:upl-com1");
    ASSERT_EQ(OpenUpdatePort(), 1);
  }
  std::vector<std::wstring> texts() const {
    std::vector<std::wstring> out;
    for (const upd::TraceLine& line : traces_.lines()) out.push_back(line.text);
    return out;
  }
  // Runs WaitForByte(awaited) on a thread of its own, noting its result and CPU time.
  void wait_in_background(BYTE awaited) {
    waiter_ = std::thread([this, awaited] {
      const auto before = serial_test::thread_cpu_time();
      wait_result_ = WaitForByte(awaited);
      wait_cpu_ = serial_test::thread_cpu_time() - before;
    });
  }

  std::shared_ptr<kov02::serial::FakePort> fake_ = kov02::serial::FakePort::create("upl-com1");
  upd::TraceLog traces_;
  std::thread waiter_;
  int wait_result_ = -1;
  std::chrono::nanoseconds wait_cpu_{};
};

TEST_F(UpdatePortLink, OpenConfiguresCom1AsTheUpdateWireNeedsAndPurgesOldInput) {
  map_com1("fake:upl-com1");
  fake_->inject({0x01, 0x02});
  ASSERT_EQ(OpenUpdatePort(), 1);

  const UpdatePort* port = g_pUpdatePort.load();
  EXPECT_STREQ(port->szPort, L"COM1:");
  EXPECT_EQ(port->dwReserved, 0u);
  const DCB applied = fake_->state(), expected = update_dcb();
  EXPECT_EQ(std::memcmp(&applied, &port->dcb, sizeof applied), 0);
  EXPECT_EQ(std::memcmp(&applied, &expected, sizeof applied), 0);
  const COMMTIMEOUTS timeouts = fake_->timeouts();
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
  EXPECT_TRUE(fake_->dtr());
  EXPECT_TRUE(fake_->rts());
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(port->hPort, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 0u) << "input from before the open is purged";
  EXPECT_EQ(texts(), std::vector<std::wstring>{L"Open : COM1:\r\n"});
}

TEST_F(UpdatePortLink, AFailedOpenLeavesANewRecordWithNoPortHeldAndSaysWhy) {
  struct Case {
    const char* name;
    std::string mapping;
    std::function<void(kov02::serial::FakePort&)> refuse;
    std::wstring trace;
  };
  const Case cases[] = {
      {"COM1: not mapped", "", [](auto&) {}, L"Error (2) opening COM1:\r\n"},
      {"settings refused", "fake:upl-com1", [](auto& p) { p.refuse_state(ERROR_INVALID_PARAMETER); },
       L"Error (87) configuring COM1:\r\n"},
      {"time-outs refused", "fake:upl-com1", [](auto& p) { p.refuse_timeouts(ERROR_NOT_SUPPORTED); },
       L"Error (50) setting comm port timeout parameters COM1:\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake_ = kov02::serial::FakePort::create("upl-com1");
    c.refuse(*fake_);
    map_com1(c.mapping);
    if (UpdatePort* old = g_pUpdatePort.load()) old->dwReserved = 0xDEAD;
    const int before = traces_.count(c.trace);

    EXPECT_EQ(OpenUpdatePort(), 0);
    const UpdatePort* port = g_pUpdatePort.load();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->hPort, nullptr);
    EXPECT_EQ(port->dwReserved, 0u);
    EXPECT_STREQ(port->szPort, L"COM1:");
    EXPECT_FALSE(fake_->is_open()) << "no port is left held";
    EXPECT_EQ(traces_.count(c.trace), before + 1);
  }
}

TEST_F(UpdatePortLink, SendByteWritesOnceAndTracesTheCountWritten) {
  open_on_fake();
  struct Case {
    const char* name;
    std::function<void(kov02::serial::FakePort&)> set_up;
    const wchar_t* trace;
  };
  const Case cases[] = {
      {"written", [](auto& p) { p.accept_writes(); }, L" 1 char : 50 h sent \r\n"},
      {"timed out", [](auto& p) { p.time_out_writes(); }, L" 0 char : 50 h sent \r\n"},
      {"failed", [](auto& p) { p.fail_writes(ERROR_WRITE_FAULT); }, L" 0 char : 50 h sent \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.set_up(*fake_);
    fake_->clear_writes();
    SendByte(CMD_BAUDRATE);
    const auto writes = fake_->writes();
    ASSERT_EQ(writes.size(), 1u) << "no retry";
    EXPECT_EQ(writes[0].offered, 1u);
    EXPECT_EQ(texts().back(), c.trace);
  }
}

TEST_F(UpdatePortLink, WriteBlockIsOneWriteCallAndReturnsTheCountTakenAndAFailedOneLosesThePort) {
  open_on_fake();
  fake_->short_writes(3);
  const BYTE frame[] = {0x04, 1, 2, 3, 4, 0x04};
  EXPECT_EQ(WriteBlock(frame, sizeof frame), 3u);
  ASSERT_EQ(fake_->writes().size(), 1u);
  EXPECT_EQ(fake_->written(), (Bytes{0x04, 1, 2}));
  EXPECT_EQ(UpdatePortLost(), 0);

  fake_->fail_writes(ERROR_WRITE_FAULT);
  EXPECT_EQ(WriteBlock(frame, sizeof frame), 0u);
  EXPECT_EQ(traces_.count(L"Port lost while waiting (error 29)\r\n"), 1);
  EXPECT_EQ(UpdatePortLost(), 1);
}

TEST_F(UpdatePortLink, HexTraceShowsEachByteSentAndReceivedBesideTheByteLines) {
  map_com1("fake:upl-com1", "[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n\"HexTrace\"=dword:1\n");
  ASSERT_EQ(OpenUpdatePort(), 1);
  SendByte(CMD_BAUDRATE);
  fake_->short_writes(3);
  const BYTE frame[] = {0x04, 'A', 'T', 0x0d, 0x04};
  WriteBlock(frame, sizeof frame);
  fake_->inject({SYNC_BYTE, ROM_READY});
  ASSERT_EQ(WaitForByte(ROM_READY), 1);
  const std::vector<std::wstring> expected = {
      L"Open : COM1:\r\n",
      L"TX COM1: 0000  50  P\r\n",
      L" 1 char : 50 h sent \r\n",
      L"TX COM1: 0000  04 41 54  .AT\r\n",
      L"Waiting for char -> A0 h\r\n",
      L"RX COM1: 0000  55  U\r\n",
      L"A byte got from KOV02A : U , 55 h\r\n",
      L"RX COM1: 0000  a0  .\r\n",
      L"A byte got from KOV02A : . , A0 h\r\n",
  };
  EXPECT_EQ(texts(), expected);
}

TEST_F(UpdatePortLink, ALineEventClearsTheErrorAndReadsOnlyTheCharactersThatCameWithIt) {
  open_on_fake();
  for (bool as_break : {false, true}) {
    SCOPED_TRACE(as_break ? "break" : "line error");
    if (as_break) {
      fake_->inject_break();
    } else {
      fake_->inject_line_error(CE_FRAME);
    }
    EXPECT_EQ(WaitForByte(ROM_READY), 0);
    EXPECT_EQ(texts().back(), L"None byte got from KOV01 !!\r\n");
    DWORD errors = 0xFF;
    ASSERT_TRUE(ClearCommError(update_handle(), &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "the wait cleared the error state";
  }
  EXPECT_EQ(traces_.count(L"A byte got"), 0);
  EXPECT_EQ(UpdatePortLost(), 0);

  // A line error that comes with characters: they are read on up to the awaited byte.
  fake_->inject_line_error(CE_FRAME, {0x55, ROM_READY, 0x12});
  EXPECT_EQ(WaitForByte(ROM_READY), 1);
  EXPECT_EQ(traces_.count(L"A byte got from KOV02A"), 2);
  COMSTAT status{};
  DWORD errors = 0xFF;
  ASSERT_TRUE(ClearCommError(update_handle(), &errors, &status));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(status.cbInQue, 1u) << "0x12 stays queued";
}

class UpdatePortOnPty : public UpdatePortLink {
 protected:
  void SetUp() override {
    map_com1(pty_.path());
    ASSERT_EQ(OpenUpdatePort(), 1);
  }
  void TearDown() override {
    if (waiter_.joinable()) waiter_.join();
    UpdatePortLink::TearDown();
  }
  serial_test::SerialPty pty_;
};

TEST_F(UpdatePortOnPty, WaitForByteConsumesAndTracesEachByteUpToTheAwaitedOneAndBlocksBetween) {
  wait_in_background(ROM_READY);
  pty_.send({0x55, 0x00});
  std::this_thread::sleep_for(300ms);
  pty_.send({ROM_READY, 0x12});
  waiter_.join();

  EXPECT_EQ(wait_result_, 1);
  const std::vector<std::wstring> expected = {
      L"Open : COM1:\r\n",
      L"Waiting for char -> A0 h\r\n",
      L"A byte got from KOV02A : U , 55 h\r\n",
      L"A byte got from KOV02A : . , 0 h\r\n",
      L"A byte got from KOV02A : . , A0 h\r\n",
  };
  EXPECT_EQ(texts(), expected);
  EXPECT_EQ(serial_test::read_now(update_handle(), 4), (Bytes{0x12}));
  EXPECT_LT(wait_cpu_, 150ms) << "polling between the bytes would burn the 300 ms";
}

// The handle going away under a wait ends it, names the error and marks the record lost, so
// later waits fail at once; a record opened anew starts with its port present.
TEST_F(UpdatePortOnPty, AHandleClosedMidWaitEndsTheWaitAndMarksThePortLost) {
  wait_in_background(ROM_READY);
  std::this_thread::sleep_for(100ms);
  CloseHandle(update_handle());
  waiter_.join();
  EXPECT_EQ(wait_result_, 0);
  EXPECT_EQ(traces_.count(L"Port lost while waiting (error 6)\r\n"), 1);
  EXPECT_EQ(UpdatePortLost(), 1);
  EXPECT_EQ(WaitForByte(ROM_READY), 0) << "later waits fail at once";

  CloseUpdatePort();
  map_com1(pty_.path());
  ASSERT_EQ(OpenUpdatePort(), 1);
  EXPECT_EQ(UpdatePortLost(), 0) << "a new record starts with its port present";
}

// Arrival times of the bytes the near end sends during `span`.
std::vector<Clock::time_point> arrivals(const serial_test::SerialPty& pty, std::chrono::milliseconds span,
                                        Bytes* bytes) {
  std::vector<Clock::time_point> times;
  const auto end = Clock::now() + span;
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    for (BYTE byte : pty.receive(1, std::max(left, 1ms))) {
      times.push_back(Clock::now());
      bytes->push_back(byte);
    }
  }
  return times;
}

TEST_F(UpdatePortOnPty, TheCasterSendsASyncByteEveryTenMillisecondsAndNoneOnceSuspended) {
  HANDLE caster = CreateThread(nullptr, 0, CasterThread, nullptr, 0, nullptr);
  ASSERT_NE(caster, nullptr);
  Bytes bytes;
  const auto times = arrivals(pty_, 1000ms, &bytes);
  ASSERT_GE(times.size(), 10u);
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](BYTE b) { return b == SYNC_BYTE; }));
  std::vector<double> gaps;
  for (std::size_t i = 1; i < times.size(); ++i) {
    gaps.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
  }
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  const double median = gaps[gaps.size() / 2];
  EXPECT_GE(median, 9.0);
  EXPECT_LE(median, 30.0);

  ASSERT_EQ(SuspendThread(caster), 0u);
  Bytes after_suspend;
  arrivals(pty_, 400ms, &after_suspend);
  EXPECT_LE(after_suspend.size(), 1u) << "at most the byte whose write was under way";

  ASSERT_EQ(ResumeThread(caster), 1u);
  EXPECT_EQ(pty_.receive(1, 1s), (Bytes{SYNC_BYTE}));
  ASSERT_TRUE(TerminateThread(caster, 0));
  CloseHandle(caster);
}

}  // namespace
