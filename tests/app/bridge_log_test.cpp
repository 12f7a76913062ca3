// What the bridge tells the user: the log pane lines of Get and Release COMs, the traffic lines
// of each direction, the write-failure boxes of the pumps, and the hex byte trace.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

#include "bridge_rig.h"
#include "common/hex_trace.h"
#include "upd_rig.h"
#include "win_test_window.h"

namespace {

using bridge_test::is_running;
using bridge_test::load_registry;
using namespace std::chrono_literals;

const std::wstring kSettingsLine = L"Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";

class BridgeLog : public bridge_test::FourFakeLines {
 protected:
  void TearDown() override {
    StopBridge();
    window_.pump();
    g_bHexTrace.store(0);
    FourFakeLines::TearDown();
  }
  // The pane's text since the last call.
  std::wstring NewText() {
    window_.pump();
    std::wstring all = window_.text();
    std::wstring fresh = all.substr(seen_);
    seen_ = all.size();
    return fresh;
  }
  bool PumpUntilText(const std::wstring& text) {
    return window_.pump_until([&] { return window_.text().find(text, seen_) != std::wstring::npos; });
  }
  HWND hwnd() const { return window_.hwnd(); }

  WinTestWindow window_{DefWindowProcW, 0};
  std::size_t seen_ = 0;
};

TEST_F(BridgeLog, GetComsNamesEachOpenedPortThenTheSettingsAndEachReleaseSaysSo) {
  const std::wstring released = L"COMs released, R/W threads stopped\r\n";
  const struct {
    int source;
    int result;
    std::wstring text;
  } rows[] = {
      {SOURCE_IRDA, 0, L"COM1: opened\r\nIRDA(COM3:) opened\r\n" + kSettingsLine},
      {SOURCE_BTUART, 0, L"COM1: opened\r\nCOM2: opened\r\n" + kSettingsLine},
      {SOURCE_RAW_IR, 0, L"COM1: opened\r\nCOM5: (IR)opened\r\n" + kSettingsLine},
      {7, 1, L"COM1: opened\r\none of the handles is INVALID_HANDLE_VALUE\r\n"},  // no such source
  };
  Load();
  for (const auto& row : rows) {
    g_nSource.store(row.source);
    EXPECT_EQ(GetComs(hwnd()), row.result);
    EXPECT_EQ(NewText(), row.text) << row.source;
    EXPECT_EQ(ReleaseComs(hwnd()), 0);
    EXPECT_EQ(ReleaseComs(hwnd()), 0);
    EXPECT_EQ(NewText(), released + released);
  }
}

TEST_F(BridgeLog, SecondGetComsLogsBothFailedReopensAndLeavesTheRunningBridgeAlone) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  const HANDLE ff = g_hFF.load(), irda = g_hBT.load();
  const HANDLE toB = g_hThreadFFtoBT.load(), toA = g_hThreadBTtoFF.load();
  EXPECT_EQ(GetComs(hwnd()), 0);
  EXPECT_EQ(NewText(),
            L"Open FF(COM1:) failed.\r\nCOM1: is fake:b-ff: already open in this program\r\n"
            L"Open IRDA(COM3:) failed.\r\nCOM3: is fake:b-irda: already open in this program\r\n" +
                kSettingsLine);
  EXPECT_EQ(g_hFF.load(), ff);
  EXPECT_EQ(g_hBT.load(), irda);
  EXPECT_EQ(g_hThreadFFtoBT.load(), toB);
  EXPECT_EQ(g_hThreadBTtoFF.load(), toA);
  ff_->inject({1, 2, 3});
  EXPECT_TRUE(window_.pump_until([&] { return irda_->written().size() == 3; }));
}

TEST_F(BridgeLog, FailedSideBLeavesFfuartOpenWithoutPumpsAndSaysWhichHandleIsMissing) {
  setup_.devices.erase("COM3:");
  setup_.devices.erase("COM5:");
  Load();
  const HANDLE toB = g_hThreadFFtoBT.load(), toA = g_hThreadBTtoFF.load();
  EXPECT_EQ(GetComs(hwnd()), 1);
  NewText();  // the lines of this first half-open bridge are the end-to-end suite's
  EXPECT_TRUE(ff_->is_open());
  EXPECT_EQ(g_hThreadFFtoBT.load(), toB);
  EXPECT_EQ(g_hThreadBTtoFF.load(), toA);
  EXPECT_FALSE(is_running(toB));
  EXPECT_FALSE(is_running(toA));
  g_nSource.store(SOURCE_RAW_IR);
  EXPECT_EQ(GetComs(hwnd()), 1);
  EXPECT_EQ(NewText(),
            L"Open FF(COM1:) failed.\r\nCOM1: is fake:b-ff: already open in this program\r\n"
            L"Open IR(COM5:) failed.\r\nCOM5: not mapped in no registry file\r\n"
            L"one of the handles is INVALID_HANDLE_VALUE\r\n");
  ReleaseComs(hwnd());
  EXPECT_FALSE(ff_->is_open());
  EXPECT_EQ(g_hFF.load(), INVALID_HANDLE_VALUE);
}

// A value wider than four bytes counts as missing: the port has no name.
TEST_F(BridgeLog, AnIndexWiderThanFourBytesGivesTheFailureLineWithAnEmptyName) {
  load_registry(setup_.text() +
                "\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=hex:01,00,00,00,00\n");
  EXPECT_EQ(OpenBridgePort(hwnd(), L"FFUART"), 0);
  EXPECT_EQ(NewText(),
            L"Open FF() failed.\r\nFFUART: \"Index\" under [HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial] in "
            L"no registry file is not a 32-bit number\r\n");
}

// Traffic in both directions under the start-up debug choice: a line for each direction, with
// the count written towards B and the count read towards A.
TEST_F(BridgeLog, BothDirectionsLogTheirTrafficByDefaultWrittenTowardsBAndReadTowardsA) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  ff_->inject(std::vector<BYTE>(300, 0x41));
  irda_->inject(std::vector<BYTE>(200, 0x42));
  ASSERT_TRUE(PumpUntilText(L"300 bytes <-BT<-FF<- <<<\r\n"));
  ASSERT_TRUE(PumpUntilText(L">>> 200 bytes ->BT->FF->\r\n"));
  EXPECT_EQ(irda_->written().size(), 300u);
  EXPECT_EQ(ff_->written().size(), 200u);

  irda_->short_writes(10);
  ff_->inject(std::vector<BYTE>(100, 1));
  ASSERT_TRUE(PumpUntilText(L"10 bytes <-BT<-FF<- <<<\r\n"));
  ff_->short_writes(7);
  irda_->inject(std::vector<BYTE>(50, 2));
  ASSERT_TRUE(PumpUntilText(L">>> 50 bytes ->BT->FF->\r\n"));
  EXPECT_EQ(ff_->written().size(), 207u);
}

TEST_F(BridgeLog, FailedWriteShowsItsPumpsBoxDropsTheChunkAndTheOtherPumpMovesOn) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  irda_->fail_writes(ERROR_GEN_FAILURE);
  ff_->inject({'l', 'o', 's', 't'});
  ASSERT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 1; }));
  const auto shown = window_.backend().shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, L"Fail to write to BT/Irda\r\n");
  EXPECT_EQ(shown[0].caption, L"Fail to write to BT/Irda\r\n");
  EXPECT_EQ(shown[0].buttons, kov02::ui::Buttons::ok);
  EXPECT_FALSE(shown[0].stop_icon);

  // While that box waits, the other direction still moves bytes.
  irda_->inject({'u', 'p'});
  ASSERT_TRUE(window_.pump_until([&] { return ff_->written().size() == 2; }));

  irda_->accept_writes();
  ASSERT_TRUE(window_.backend().answer_oldest(IDOK));
  ff_->inject({'n', 'e', 'x', 't'});
  ASSERT_TRUE(window_.pump_until([&] { return irda_->written().size() == 4; }));
  EXPECT_EQ(irda_->written(), (std::vector<BYTE>{'n', 'e', 'x', 't'}));
  window_.pump_until([] { return false; }, 100ms);
  const std::wstring text = NewText();
  EXPECT_EQ(text.find(L"4 bytes <-BT<-FF<- <<<"), text.rfind(L"4 bytes <-BT<-FF<- <<<")) << text;
  EXPECT_NE(text.find(L">>> 2 bytes ->BT->FF->"), std::wstring::npos) << text;
}

TEST_F(BridgeLog, FailedWriteTowardsFfuartHasItsOwnBoxAndReleaseEndsThePumpWaitingOnIt) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  ff_->fail_writes(ERROR_GEN_FAILURE);
  irda_->inject({'x'});
  ASSERT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 1; }));
  EXPECT_EQ(window_.backend().shown().at(0).text, L"Fail to write FF(GSM)");
  EXPECT_EQ(window_.backend().shown().at(0).caption, L"Fail to write FF(GSM)");
  const HANDLE pump = g_hThreadBTtoFF.load();
  ASSERT_TRUE(is_running(pump));
  EXPECT_EQ(ReleaseComs(hwnd()), 0);
  EXPECT_FALSE(is_running(pump));
  EXPECT_FALSE(ff_->is_open());
  EXPECT_FALSE(irda_->is_open());
  EXPECT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 0; }));
}

// The port names are whatever the caller gives; the cases vary what the bytes make of a line.
TEST(HexTraceFormat, SixteenBytesALineWithOffsetLowerCaseHexAndPrintableText) {
  struct Case {
    const char* name;
    std::vector<BYTE> bytes;
    std::wstring lines;
  };
  std::vector<BYTE> seventeen(17);
  std::iota(seventeen.begin(), seventeen.end(), BYTE{0x30});
  const Case cases[] = {
      {"short line, no padding", {'A', 'T', '\r'}, L"RX COM3: 0000  41 54 0d  AT.\r\n"},
      {"printable bounds",
       {0x00, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xff},
       L"RX COM3: 0000  00 1f 20 7e 7f 80 ff  .. ~...\r\n"},
      {"a full line then one byte", seventeen,
       L"RX COM3: 0000  30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f  0123456789:;<=>?\r\n"
       L"RX COM3: 0010  40  @\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatHexLines(L"RX", L"COM3:", c.bytes.data(), static_cast<DWORD>(c.bytes.size())), c.lines);
  }
  const std::vector<BYTE> big(0x10001, 0x41);
  const std::wstring lines = FormatHexLines(L"TX", L"COM1:", big.data(), static_cast<DWORD>(big.size()));
  EXPECT_TRUE(lines.ends_with(L"\r\nTX COM1: 10000  41  A\r\n")) << "the offset widens past 0xffff";
}

TEST_F(BridgeLog, HexTraceIsOffByDefaultAndOnTracesEachBurstBothWaysAsWholeBlocks) {
  upd::TraceLog traces;
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  ff_->inject(upd::pattern(40, 1));
  ASSERT_TRUE(window_.pump_until([&] { return irda_->written().size() == 40; }));
  EXPECT_EQ(traces.count(L" 0000  "), 0) << "no hex lines unless the registry asks";
  ReleaseComs(hwnd());
  irda_->clear_writes();

  load_registry(setup_.text() + "\n[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n\"HexTrace\"=dword:1\n");
  ASSERT_EQ(GetComs(hwnd()), 0);
  const std::vector<BYTE> up = upd::pattern(40, 2), down = upd::pattern(40, 3);
  std::thread other([&] { irda_->inject(down); });
  ff_->inject(up);
  other.join();
  ASSERT_TRUE(
      window_.pump_until([&] { return irda_->written().size() == 40 && ff_->written().size() == 40; }));
  ASSERT_TRUE(traces.wait_for(L" 0000  ", 4));

  // Each block is one whole debug-output call of three lines, with the bytes that crossed.
  const struct {
    LPCWSTR direction, port;
    const std::vector<BYTE>& bytes;
  } blocks[] = {
      {L"RX", L"COM1:", up}, {L"TX", L"COM3:", up}, {L"RX", L"COM3:", down}, {L"TX", L"COM1:", down}};
  for (const auto& block : blocks) {
    const std::wstring expected = FormatHexLines(block.direction, block.port, block.bytes.data(), 40);
    const auto traced = traces.find(expected.substr(0, 16));
    ASSERT_TRUE(traced) << expected;
    EXPECT_EQ(traced->text, expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), L'\n'), 3);
  }
  EXPECT_EQ(traces.count(L" 0000  "), 4) << "one call for each block, nothing else";
}

}  // namespace
