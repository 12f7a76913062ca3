// Get COMs and Release COMs over fake lines: which ports open, how they are configured, what a
// half-open bridge holds, and that a second Get COMs leaves the running bridge alone.
#include <gtest/gtest.h>

#include "bridge_rig.h"

namespace {

using bridge_test::load_registry;
using kov02::serial::FakePort;
using namespace std::chrono_literals;

// Opens a fake line once by its device name and leaves these settings on it, as a driver
// that was configured before the bridge came would report them.
void preset_driver_settings(const wchar_t* name) {
  HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fParity = TRUE;
  dcb.fNull = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EvtChar = 0x7E;
  ASSERT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts{50, 5, 500, 5, 500};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  CloseHandle(port);
}

void ExpectBridgeTimeouts(const FakePort& port) {
  const COMMTIMEOUTS t = port.timeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

class BridgePorts : public bridge_test::FourFakeLines {};

TEST_F(BridgePorts, UartsGetTheBridgeSettingsOnTopOfTheDriversAndIrdaOnlyTheTimeouts) {
  Load();
  for (const wchar_t* name : {L"COM1:", L"COM2:", L"COM3:"}) preset_driver_settings(name);

  g_nSource.store(1);
  ASSERT_EQ(GetComs(nullptr), 0);
  for (const auto& uart : {ff_, bt_}) {
    const DCB dcb = uart->state();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    // What the bridge does not own stays as the driver had it.
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.EvtChar, 0x7E);
    ExpectBridgeTimeouts(*uart);
  }
  ReleaseComs(nullptr);

  g_nSource.store(3);
  ASSERT_EQ(GetComs(nullptr), 0);
  EXPECT_EQ(irda_->state().BaudRate, 9600u);
  EXPECT_EQ(irda_->state().fOutX, 1u);
  ExpectBridgeTimeouts(*irda_);
}

TEST_F(BridgePorts, UartInputQueuedBeforeGetComsIsPurgedButIrdaInputIsForwarded) {
  Load();
  ff_->inject({'o', 'l', 'd'});
  irda_->inject({'k', 'e', 'p', 't'});
  ASSERT_EQ(GetComs(nullptr), 0);
  ASSERT_TRUE(ff_->wait_written(4, 5s));
  ff_->inject({'n', 'e', 'w'});
  ASSERT_TRUE(irda_->wait_written(3, 5s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(irda_->written(), (std::vector<BYTE>{'n', 'e', 'w'}));
  EXPECT_EQ(ff_->written(), (std::vector<BYTE>{'k', 'e', 'p', 't'}));
}

TEST_F(BridgePorts, RegistryIndexBelowTenNamesThePortAndAnythingElseOpensNothing) {
  struct Case {
    std::optional<std::uint32_t> index;
    bool opens;
  };
  for (const Case& c : {Case{1, true}, Case{9, true}, Case{0, true}, Case{10, false}, Case{12, false},
                        Case{0xFFFFFFFFu, false}, Case{std::nullopt, false}}) {
    SCOPED_TRACE(c.index ? std::to_string(*c.index) : "missing");
    setup_.ffIndex = c.index;
    if (c.index) setup_.devices["COM" + std::to_string(*c.index) + ":"] = "fake:b-ff";
    Load();
    EXPECT_EQ(OpenBridgePort(nullptr, L"FFUART"), c.opens ? 1 : 0);
    EXPECT_EQ(ff_->is_open(), c.opens);
    EXPECT_EQ(g_hFF.load() != INVALID_HANDLE_VALUE, c.opens);
    StopBridge();
  }
}

TEST_F(BridgePorts, OnlyTheExactNameFfuartTakesTheSerialKey) {
  setup_.ffIndex = std::nullopt;
  Load();
  for (const wchar_t* name : {L"ffuart", L"FFUART ", L"BTUART", L""}) {
    EXPECT_EQ(OpenBridgePort(nullptr, name), 1);
    EXPECT_TRUE(bt_->is_open());
    EXPECT_EQ(g_hFF.load(), INVALID_HANDLE_VALUE);
    StopBridge();
  }
  EXPECT_EQ(OpenBridgePort(nullptr, L"FFUART"), 0);
}

}  // namespace
