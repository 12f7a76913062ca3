// What the bridge tells the user: the log pane lines of Get and Release COMs, the traffic lines
// of each direction, and the write-failure boxes of the pumps.
#include <gtest/gtest.h>

#include "bridge_rig.h"
#include "serial/fake_port.h"
#include "win_test_window.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::is_running;
using bridge_test::load_registry;
using bridge_test::RegistrySetup;
using kov02::serial::FakePort;
using namespace std::chrono_literals;

const std::wstring kSettingsLine = L"Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";

class BridgeLog : public BridgeTest {
 protected:
  void SetUp() override {
    ff_ = FakePort::create("log-ff");
    bt_ = FakePort::create("log-bt");
    irda_ = FakePort::create("log-irda");
    rawir_ = FakePort::create("log-rawir");
    setup_.devices = {{"COM1:", "fake:log-ff"},
                      {"COM2:", "fake:log-bt"},
                      {"COM3:", "fake:log-irda"},
                      {"COM5:", "fake:log-rawir"}};
  }
  void TearDown() override {
    StopBridge();
    window_.pump();
    BridgeTest::TearDown();
  }
  void Load() { load_registry(setup_.text()); }
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
  std::shared_ptr<FakePort> ff_, bt_, irda_, rawir_;
  RegistrySetup setup_;
};

TEST_F(BridgeLog, GetComsNamesEachOpenedPortThenTheSettings) {
  Load();
  EXPECT_EQ(GetComs(hwnd()), 0);
  EXPECT_EQ(NewText(), L"COM1: opened\r\nIRDA(COM3:) opened\r\n" + kSettingsLine);
  EXPECT_EQ(ReleaseComs(hwnd()), 0);
  EXPECT_EQ(ReleaseComs(hwnd()), 0);
  EXPECT_EQ(NewText(), L"COMs released, R/W threads stopped\r\nCOMs released, R/W threads stopped\r\n");

  g_nSource.store(1);
  EXPECT_EQ(GetComs(hwnd()), 0);
  EXPECT_EQ(NewText(), L"COM1: opened\r\nCOM2: opened\r\n" + kSettingsLine);
  ReleaseComs(hwnd());
  NewText();

  g_nSource.store(2);
  EXPECT_EQ(GetComs(hwnd()), 0);
  EXPECT_EQ(NewText(), L"COM1: opened\r\nCOM5: (IR)opened\r\n" + kSettingsLine);
  ReleaseComs(hwnd());
  NewText();

  g_nSource.store(7);  // no such source: side B stays closed
  EXPECT_EQ(GetComs(hwnd()), 1);
  EXPECT_EQ(NewText(), L"COM1: opened\r\none of the handles is INVALID_HANDLE_VALUE\r\n");
}

TEST_F(BridgeLog, SecondGetComsLogsBothFailedReopensAndLeavesTheRunningBridgeAlone) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  const HANDLE ff = g_hFF.load(), irda = g_hBT.load();
  const HANDLE toB = g_hThreadFFtoBT.load(), toA = g_hThreadBTtoFF.load();
  EXPECT_EQ(GetComs(hwnd()), 0);
  EXPECT_EQ(NewText(),
            L"Open FF(COM1:) failed.\r\nCOM1: is fake:log-ff: already open in this program\r\n"
            L"Open IRDA(COM3:) failed.\r\nCOM3: is fake:log-irda: already open in this program\r\n" +
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
  EXPECT_EQ(NewText(),
            L"COM1: opened\r\nOpen IRDA(COM3:) failed.\r\nCOM3: not mapped in the registry file\r\n"
            L"one of the handles is INVALID_HANDLE_VALUE\r\n");
  EXPECT_TRUE(ff_->is_open());
  EXPECT_EQ(g_hThreadFFtoBT.load(), toB);
  EXPECT_EQ(g_hThreadBTtoFF.load(), toA);
  EXPECT_FALSE(is_running(toB));
  EXPECT_FALSE(is_running(toA));
  g_nSource.store(2);
  EXPECT_EQ(GetComs(hwnd()), 1);
  EXPECT_EQ(NewText(),
            L"Open FF(COM1:) failed.\r\nCOM1: is fake:log-ff: already open in this program\r\n"
            L"Open IR(COM5:) failed.\r\nCOM5: not mapped in the registry file\r\n"
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
  EXPECT_EQ(NewText(), L"Open FF() failed.\r\n");
}

// Traffic in both directions under the start-up debug choice: a line for each direction.
TEST_F(BridgeLog, BothDirectionsLogTheirTrafficByDefault) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  ff_->inject(std::vector<BYTE>(300, 0x41));
  irda_->inject(std::vector<BYTE>(200, 0x42));
  ASSERT_TRUE(PumpUntilText(L"300 bytes <-BT<-FF<- <<<\r\n"));
  ASSERT_TRUE(PumpUntilText(L">>> 200 bytes ->BT->FF->\r\n"));
  EXPECT_EQ(irda_->written().size(), 300u);
  EXPECT_EQ(ff_->written().size(), 200u);
}

TEST_F(BridgeLog, ShortWritesLogWrittenTowardsBAndReadTowardsA) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  NewText();
  irda_->short_writes(10);
  ff_->inject(std::vector<BYTE>(100, 1));
  ASSERT_TRUE(PumpUntilText(L"10 bytes <-BT<-FF<- <<<\r\n"));
  ff_->short_writes(7);
  irda_->inject(std::vector<BYTE>(50, 2));
  ASSERT_TRUE(PumpUntilText(L">>> 50 bytes ->BT->FF->\r\n"));
  EXPECT_EQ(ff_->written().size(), 7u);
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

TEST_F(BridgeLog, FailedWriteTowardsFfuartHasItsOwnBox) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  ff_->fail_writes(ERROR_GEN_FAILURE);
  irda_->inject({'x'});
  ASSERT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 1; }));
  EXPECT_EQ(window_.backend().shown().at(0).text, L"Fail to write FF(GSM)");
  EXPECT_EQ(window_.backend().shown().at(0).caption, L"Fail to write FF(GSM)");
}

TEST_F(BridgeLog, ReleaseEndsAPumpThatWaitsOnItsBox) {
  Load();
  ASSERT_EQ(GetComs(hwnd()), 0);
  irda_->fail_writes(ERROR_GEN_FAILURE);
  ff_->inject({'x'});
  ASSERT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 1; }));
  const HANDLE pump = g_hThreadFFtoBT.load();
  ASSERT_TRUE(is_running(pump));
  EXPECT_EQ(ReleaseComs(hwnd()), 0);
  EXPECT_FALSE(is_running(pump));
  EXPECT_FALSE(ff_->is_open());
  EXPECT_FALSE(irda_->is_open());
  EXPECT_TRUE(window_.pump_until([&] { return window_.backend().open_count() == 0; }));
}

}  // namespace
