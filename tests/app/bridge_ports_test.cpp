// Get COMs and Release COMs over fake lines: which ports open, how they are configured, what a
// half-open bridge holds, and that a second Get COMs leaves the running bridge alone.
#include <gtest/gtest.h>

#include <cstring>

#include "bridge_rig.h"

namespace {

using bridge_test::load_registry;
using kov02::serial::FakePort;
using namespace std::chrono_literals;

// Opens a fake line once by its device name and leaves these settings on it, as a driver
// that was configured before the bridge came would report them; returns them.
DCB preset_driver_settings(const wchar_t* name) {
  HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 9600;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fParity = dcb.fNull = dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = TRUE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EvtChar = 0x7E;
  EXPECT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts{50, 5, 500, 5, 500};
  EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
  CloseHandle(port);
  return dcb;
}

// Every port's reads return after a millisecond with what is there; writes wait as long as needed.
void ExpectBridgeTimeouts(const FakePort& port) {
  const COMMTIMEOUTS t = port.timeouts(), expected{0, 0, 1, 0, 0};
  EXPECT_EQ(std::memcmp(&t, &expected, sizeof t), 0);
}

class BridgePorts : public bridge_test::FourFakeLines {};

TEST_F(BridgePorts, UartsGetTheBridgeSettingsOnTopOfTheDriversAndIrdaOnlyTheTimeouts) {
  Load();
  DCB expected = preset_driver_settings(L"COM1:");
  preset_driver_settings(L"COM2:");
  const DCB irda = preset_driver_settings(L"COM3:");
  // The bridge owns rate, framing and software flow control; the rest stays as the driver had it.
  expected.BaudRate = 115200;
  expected.ByteSize = 8;
  expected.Parity = NOPARITY;
  expected.StopBits = ONESTOPBIT;
  expected.fParity = expected.fNull = expected.fOutX = expected.fInX = FALSE;

  g_nSource.store(SOURCE_BTUART);
  ASSERT_EQ(GetComs(nullptr), 0);
  for (const auto& uart : {ff_, bt_}) {
    const DCB dcb = uart->state();
    EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0);
    ExpectBridgeTimeouts(*uart);
  }
  ReleaseComs(nullptr);

  g_nSource.store(SOURCE_IRDA);
  ASSERT_EQ(GetComs(nullptr), 0);
  const DCB untouched = irda_->state();
  EXPECT_EQ(std::memcmp(&untouched, &irda, sizeof irda), 0);
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
  using Case = std::pair<std::optional<std::uint32_t>, bool>;  // the index, whether it opens
  for (const auto& [index, opens] : {Case{1, true}, Case{9, true}, Case{0, true}, Case{10, false},
                                     Case{12, false}, Case{0xFFFFFFFFu, false}, Case{std::nullopt, false}}) {
    SCOPED_TRACE(index ? std::to_string(*index) : "missing");
    setup_.ffIndex = index;
    if (index) setup_.devices["COM" + std::to_string(*index) + ":"] = "fake:b-ff";
    Load();
    EXPECT_EQ(OpenBridgePort(nullptr, L"FFUART"), opens ? 1 : 0);
    EXPECT_EQ(ff_->is_open(), opens);
    EXPECT_EQ(g_hFF.load() != INVALID_HANDLE_VALUE, opens);
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
