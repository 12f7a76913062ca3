// The built simulator as the update tool meets it: a pty behind a link, the control socket
// reached through the ctl subcommand, and the summary it writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "serial_pty.h"
#include "sim_module.h"
#include "temp_dir.h"

namespace kov02a_sim {
namespace {

using namespace test_support;
using serial_test::SerialPty;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

// The simulator program with `args`.
Spawn sim_command(std::vector<std::string> args) {
  Spawn spawn;
  spawn.argv = std::move(args);
  spawn.argv.insert(spawn.argv.begin(), KOV02A_SIM_PATH);
  return spawn;
}

struct ProgramResult {
  int status = -1;  // exit status; -1 when it did not end in time
  std::string output;
};

// Runs the simulator program with `args` to its end.
ProgramResult run_sim(const std::vector<std::string>& args) {
  Child sim(sim_command(args));
  const int status = sim.wait_exit().value_or(-1);
  return {status, sim.transcript()};
}

// Resets the module through the RIL hook and casts 0x55 on `port` until 0xA0.
void catch_rom(const SerialPty& port, const std::string& control) {
  EXPECT_EQ(run_sim({"ctl", "--control", control, "ril", "0x03001F88"}).status, 0);
  for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
    port.send({kSync});
    for (std::uint8_t byte : port.receive(64, 10ms))
      if (byte == kRomReady) return;
  }
  ADD_FAILURE() << "no 0xA0";
}

// Plays `script` on `port` as the update tool would: each write after its pause, then a moment
// for the answers, which are read and dropped (the worked examples check them byte for byte).
void play(const SerialPty& port, const Script& script) {
  for (const Step& step : script) {
    std::this_thread::sleep_for(step.gap + 5ms);
    port.send(step.bytes);
    port.receive(16, 50ms);
  }
}

TEST(SimulatorProcess, CtlReportsAcceptanceRefusalAndAbsence) {
  TempDir dir;
  Child sim(sim_command({"--control", dir / "ctl", "--fail-ril"}));
  ASSERT_TRUE(sim.wait_for("ready"));
  const std::string control = dir / "ctl";
  EXPECT_EQ(run_sim({"ctl", "--control", control, "ril", "0x03001F80"}).status, 1);
  EXPECT_EQ(run_sim({"ctl", "--control", control, "reboot", "0x0101003C"}).status, 0);
  EXPECT_EQ(run_sim({"ctl", "--control", control, "reboot", "0x12345678"}).status, 1);

  const ProgramResult summary = run_sim({"ctl", "--control", control, "summary", "--json"});
  ASSERT_EQ(summary.status, 0);
  const nlohmann::json requests = nlohmann::json::parse(summary.output).at("control");
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0]["code"], "0x03001F80");
  EXPECT_EQ(requests[0]["accepted"], false);
  EXPECT_EQ(requests[1]["accepted"], true);
  EXPECT_EQ(requests[2]["accepted"], false);

  EXPECT_EQ(run_sim({"ctl", "--control", control, "quit"}).status, 0);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "ctl"));
  EXPECT_EQ(run_sim({"ctl", "--control", control, "summary"}).status, 2);
}

TEST(SimulatorProcess, DroppedModuleHangsUpThePortAndComesBackOnANewPty) {
  TempDir dir;
  Child sim(sim_command({"--link", dir / "com1", "--control", dir / "ctl", "--drop-after", "100"}));
  ASSERT_TRUE(sim.wait_for("ready"));
  {
    SerialPty port(dir / "com1");
    catch_rom(port, dir / "ctl");
    play(port, kStage1Abc + kStage2Abc + kImageOpening + Script{{{0x00, 0x0F, 0xA0}}});
    std::this_thread::sleep_for(30ms);
    try {
      port.send(pattern(4000, 11));
    } catch (const std::runtime_error&) {
      // a slow sender meets the hang-up while its bytes are still going out
    }
    const auto sent = Clock::now();
    port.receive(1 << 16, 5s);  // ends early only when the line hangs up
    EXPECT_LT(Clock::now() - sent, 5s) << "the port did not hang up";
  }
  ASSERT_TRUE(sim.wait_for("module off the line"));
  EXPECT_TRUE(std::filesystem::exists(dir / "com1")) << "the link must not dangle while the module is away";
  bool answered = false;
  for (const auto deadline = Clock::now() + 10s; !answered && Clock::now() < deadline;) {
    std::this_thread::sleep_for(100ms);
    try {
      SerialPty port(dir / "com1");
      port.send({'A', 'T', '\r'});
      answered = port.receive(6, 1s).size() == 6;
    } catch (const std::runtime_error&) {
      // the link still points at the old pty
    }
  }
  EXPECT_TRUE(answered) << sim.transcript();
  const ProgramResult summary = run_sim({"ctl", "--control", dir / "ctl", "summary", "--json"});
  EXPECT_EQ(nlohmann::json::parse(summary.output).at("runs").at(0).at("outcome"), "dropped");
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "com1")));
}

// A serial device given with --tty; a pty slave stands in for it, its master for the tool.
TEST(SimulatorProcess, ModuleOnAGivenTtyAnswersAtCommands) {
  SerialPty tool_end;
  Child sim(sim_command({"--tty", tool_end.path()}));
  ASSERT_TRUE(sim.wait_for("ready"));
  tool_end.send({'A', 'T', '\r'});
  EXPECT_THAT(tool_end.receive(6, 5s), ElementsAre('\r', '\n', 'O', 'K', '\r', '\n'));
  EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
}  // namespace kov02a_sim
