// Test support for the UART bridge in process: a registry naming the two UARTs and mapping the
// bridge's port names onto fake lines or pseudo-terminals, the bridge's state words put back
// after each test, and counts of what the process holds (fds, threads, handles).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "bridge/bridge.h"
#include "common/state.h"
#include "eventually.h"
#include "kernel/handles.h"
#include "registry/registry.h"
#include "serial/fake_port.h"

namespace bridge_test {

using namespace std::chrono_literals;
using test_support::eventually;

// The registry the bridge reads: "Index" of each UART (absent when nullopt) and the device map.
struct RegistrySetup {
  std::optional<std::uint32_t> ffIndex = 1;
  std::optional<std::uint32_t> btIndex = 2;
  std::map<std::string, std::string> devices;  // "COM1:" -> "fake:ff" or a pty path

  std::string text() const {
    std::string out = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    for (const auto& [name, target] : devices) out += "\"" + name + "\"=\"" + target + "\"\n";
    out += index_key("Serial", ffIndex) + index_key("Serial2", btIndex);
    return out;
  }

 private:
  static std::string index_key(const std::string& key, std::optional<std::uint32_t> index) {
    std::string out = "\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\" + key + "]\n";
    if (index) {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", *index);
      out += std::string("\"Index\"=dword:") + hex + "\n";
    }
    return out;
  }
};

inline void load_registry(const std::string& text) {
  std::string error;
  ASSERT_TRUE(kov02::registry::load_string(text, &error)) << error;
}

// Every test starts and ends with the bridge closed and the selections at their start values.
class BridgeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    StopBridge();
    g_nSource.store(SOURCE_IRDA);
    g_nDebugDir.store(DEBUG_BOTH);
    g_bRun.store(1);
    kov02::registry::clear();
  }
};

// The bridge's four ports on fake lines: FFUART COM1:, BTUART COM2:, IrDA COM3:, raw IR COM5:.
class FourFakeLines : public BridgeTest {
 protected:
  void Load() { load_registry(setup_.text()); }

  using FakePort = kov02::serial::FakePort;
  std::shared_ptr<FakePort> ff_ = FakePort::create("b-ff"), bt_ = FakePort::create("b-bt"),
                            irda_ = FakePort::create("b-irda"), rawir_ = FakePort::create("b-rawir");
  RegistrySetup setup_{.devices = {{"COM1:", "fake:b-ff"},
                                   {"COM2:", "fake:b-bt"},
                                   {"COM3:", "fake:b-irda"},
                                   {"COM5:", "fake:b-rawir"}}};
};

inline bool is_running(HANDLE thread) {
  DWORD code = 0;
  return GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}

inline std::size_t thread_count() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace bridge_test
