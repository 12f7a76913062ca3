// Scripted updates end to end: `kov02tool --update ...` against the module simulator on ptys, its
// exit status, its progress and result on stderr, and what it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>

#include "e2e_sim.h"
#include "e2e_tool.h"
#include "serial_pty.h"

namespace {

using namespace e2e;
using nlohmann::json;

constexpr int STDERR_PIPE = 1 << 20;

class ScriptedUpdate : public ::testing::Test {
 protected:
  // The simulator (with `options`) and a registry file wired to it, with `bounds` in
  // Platform\Update.
  void Wire(std::vector<std::string> options = {}, std::map<std::string, std::uint32_t> bounds = {}) {
    sim = std::make_unique<Sim>(simDir.path(), std::move(options));
    Registry wired = folder.base_registry();
    wire(wired, *sim, bounds);
    write_file(folder.registry_file(), wired.text());
  }
  std::unique_ptr<Child> Start(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    return folder.spawn(std::move(env), STDERR_PIPE, std::move(args));
  }
  // Waits for the run's end: its exit status (-1 when it went on) and all of its stderr.
  int Finish(Child& run, std::chrono::milliseconds limit = 120s) {
    const std::optional<int> status = run.wait_exit(limit);
    err = run.drain_stderr(200ms);
    return status.value_or(-1);
  }
  // Every stderr line as a JSON object; a line that is not one fails the test.
  std::vector<json> Events() {
    std::vector<json> out;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
      try {
        out.push_back(json::parse(line));
      } catch (const std::exception&) {
        ADD_FAILURE() << "not JSON: " << line;
      }
    }
    return out;
  }
  json Result() {
    const auto events = Events();
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->value("event", "") == "result") return *it;
    return {};
  }

  ProgramFolder folder;
  TempDir simDir{"kov02-sim"};
  std::unique_ptr<Sim> sim;
  std::string err;
};

// Paced at 115200 baud: the image takes about five seconds, so the once-a-second reports show.
TEST_F(ScriptedUpdate, FlashOnlyInJsonTakesTheImageAndReportsEveryStepOnStderr) {
  folder.put_package(60000);
  Wire({"--baud", "115200"});
  auto run = Start({"--update", "flash-only", "--no-reboot", "--progress", "json"});
  ASSERT_EQ(Finish(*run), 0) << err << run->transcript();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
  EXPECT_TRUE(run->wait_for("box: Successful", 0s)) << run->transcript();

  std::map<std::string, std::vector<json>> progress;
  for (const json& event : Events())
    if (event["event"] == "progress") progress[event["step"]].push_back(event);
  for (const char* step : {"boot1", "boot2", "image"}) EXPECT_FALSE(progress[step].empty()) << step << err;
  const auto& image = progress["image"];
  ASSERT_GE(image.size(), 4u) << err;  // the start, one a second, the end
  EXPECT_EQ(image.back()["sent"], 60000);
  EXPECT_EQ(image.back()["total"], 60000);
  const json result = Result();
  EXPECT_EQ(result["status"], "accepted") << err;
  EXPECT_TRUE(result["reason"].is_null());
  EXPECT_EQ(result["attempts"], 1);
  EXPECT_EQ(result["bytes"], 60000);
  EXPECT_GT(result["seconds"].get<double>(), 4.0);
  eventually([&] { return control_names(sim->summary()).size() >= 2; }, 10s);
  EXPECT_EQ(control_names(sim->summary()), (std::vector<std::string>{"suspend", "reset"})) << sim->summary();
}

// Yes at the closing question: the module is reset and the device rebooted before the exit, and
// an interactive window of the same user is neither asked nor raised.
TEST_F(ScriptedUpdate, RebootAsksForTheRebootAfterTheAcceptanceAndLeavesAnOpenWindowAlone) {
  folder.put_package(8000);
  Wire();
  ProgramFolder other;
  Registry empty;
  auto window = other.start(empty, {{"XDG_RUNTIME_DIR", (folder / "run").string()}});
  ASSERT_TRUE(ui_ready(*window)) << window->transcript();

  auto run = Start({"--update", "flash-only", "--reboot"});
  ASSERT_EQ(Finish(*run), 0) << err << run->transcript();
  EXPECT_EQ(control_names(sim->summary()), (std::vector<std::string>{"suspend", "reset", "reset", "reboot"}))
      << sim->summary();
  EXPECT_NE(err.find("progress: image 8000/8000 100% 0:00\n"), std::string::npos) << err;
  EXPECT_NE(err.find("result: accepted\n"), std::string::npos) << err;

  window->drain(300ms);
  EXPECT_EQ(window->transcript().find("raised"), std::string::npos) << window->transcript();
  window->send_line("command 101");
  EXPECT_EQ(window->wait_exit(20s), 0);
}

TEST_F(ScriptedUpdate, AModuleSilentInTheImageFailsWithItsReasonWithinTheBound) {
  folder.put_package(60000);
  Wire({"--silent-after", "5"}, {{"ChunkTimeout", 1000}});
  auto run = Start({"--update", "flash-only", "--progress", "json"});
  ASSERT_TRUE(eventually([&] { return folder.count_debug_lines("Write 4000 bytes!") >= 6; }, 60s));
  const auto silent_since = Clock::now();
  ASSERT_EQ(Finish(*run, 10s), 1) << err << run->transcript();
  EXPECT_LT(Clock::now() - silent_since, 1s + 3s);
  const json result = Result();
  EXPECT_EQ(result["status"], "failed") << err;
  EXPECT_EQ(result["reason"], "no answer to the image") << err;
  EXPECT_EQ(result["bytes"], 24000);
}

// With debug output configured as stderr, its lines are left out of the JSON there.
TEST_F(ScriptedUpdate, ARetryIsAnEventAndCountsInTheResult) {
  folder.put_package(8000);
  Wire({"--withhold-ack", "stage1:once"}, {{"AnswerTimeout", 2000}});
  std::string registry = read_file(folder.registry_file());
  registry.replace(registry.find("file:"), folder.debug_log().string().size() + 5, "stderr");
  write_file(folder.registry_file(), registry);
  auto run = Start({"--update", "flash-only", "--progress", "json"});
  ASSERT_EQ(Finish(*run), 0) << err << run->transcript();
  const auto events = Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), json{{"event", "retry"}, {"attempt", 2}}), 1) << err;
  EXPECT_EQ(Result()["attempts"], 2) << err;
  EXPECT_EQ(err.find("Cast 55h"), std::string::npos) << err;
}

// What keeps a run from starting is told by the run itself: its pane line, status 3.
TEST_F(ScriptedUpdate, ABusyPortAnIncompletePackageAndABadOptionEachSayWhy) {
  folder.put_package(8000);
  Wire();
  const std::string lock = serial_test::lock_file_path(sim->module_pty());
  if (!lock.empty()) {
    write_file(lock, serial_test::lock_file_text(::getpid()));
    auto busy = Start({"--update", "flash-only", "--progress", "json"});
    EXPECT_EQ(Finish(*busy), 3) << err << busy->transcript();
    EXPECT_TRUE(busy->wait_for("Open Comport fail!!", 0s)) << busy->transcript();
    EXPECT_TRUE(busy->wait_for("COM1: is " + sim->module_pty() + ": in use by e2e_tests", 0s));
    EXPECT_EQ(Result()["reason"], "the update port could not be opened") << err;
    EXPECT_NE(err.find("{\"event\":\"message\",\"text\":\"" + sim->module_pty() + " is in use by"),
              std::string::npos)
        << err;
    fs::remove(lock);
  }

  folder.remove("boot2_v3_KOV02A.bin");
  auto incomplete = Start({"--update", "flash-only"});
  EXPECT_EQ(Finish(*incomplete), 3) << err << incomplete->transcript();
  EXPECT_TRUE(incomplete->wait_for("Cannot get firmware files from", 0s)) << incomplete->transcript();
  // The reason is the pane's last line: the one that says what is missing where.
  EXPECT_NE(err.find("result: failed: firmware package folder " + folder.path().string() +
                     ": missing boot2_v3_KOV02A.bin"),
            std::string::npos)
      << err;

  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--update", "flash"},
                                             {"--update", "flash-only", "--reboot", "--no-reboot"},
                                             {"--update", "eep-flash", "--verbose"}}) {
    auto bad = Start(args);
    EXPECT_EQ(Finish(*bad, 10s), 2) << args.back();
    EXPECT_NE(err.find("kov02tool: "), std::string::npos) << err;
  }
  auto missing = Start({"--update", "flash-only", "--registry", (folder / "no-such.reg").string()});
  EXPECT_EQ(Finish(*missing, 10s), 3) << err;
  // None of them reached the module: the busy port's run suspended the radio, nothing more.
  const auto names = control_names(sim->summary());
  EXPECT_EQ(std::count(names.begin(), names.end(), "reset"), 0) << sim->summary();
}

TEST_F(ScriptedUpdate, SigintMidImageStopsTheRunAndLeavesTheTtyAsFound) {
  folder.put_package(120000);
  Wire({"--baud", "115200"});
  termios before{}, after{};
  const auto settings = [&](termios* out) {
    const int fd = ::open(sim->module_pty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool read = fd >= 0 && ::tcgetattr(fd, out) == 0;
    if (fd >= 0) ::close(fd);
    return read;
  };
  ASSERT_TRUE(settings(&before));
  auto run = Start({"--update", "flash-only"});
  ASSERT_NE(run->read_stderr("progress: image 0/120000", 60s).find("progress: image 0/120000"),
            std::string::npos);
  ::kill(run->pid(), SIGINT);
  ASSERT_EQ(Finish(*run, 20s), 4) << err << run->transcript();
  EXPECT_NE(err.find("result: failed: interrupted"), std::string::npos) << err;
  EXPECT_TRUE(run->wait_for("box: KOV02Tool | A firmware update is running.", 0s)) << run->transcript();
  ASSERT_TRUE(settings(&after));
  EXPECT_TRUE(serial_test::same_settings(before, after));
  const std::string lock = serial_test::lock_file_path(sim->module_pty());
  EXPECT_TRUE(lock.empty() || !fs::exists(lock)) << lock;
  EXPECT_EQ(folder.count_debug_lines(" Communication Port Closed!!"), 2);
}

// A shell loop of ten runs: ten acceptances, the simulator's descriptors as they were, and no
// lock file left on its tty.
TEST_F(ScriptedUpdate, TenRunsFromAShellLoopEachExitZeroAndLeaveNothingBehind) {
  folder.put_package(8000);
  Wire();
  const auto fds = [&] {
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(sim->process().pid()) + "/fd"),
                         fs::directory_iterator{});
  };
  const auto fds_before = fds();
  const std::string loop = "for i in 1 2 3 4 5 6 7 8 9 10; do '" + folder.program().string() +
                           "' --update flash-only >/dev/null 2>&1; echo \"status $?\"; done";
  Child shell(Spawn{
      {"/bin/sh", "-c", loop},
      {{"KOV02_REGISTRY", folder.registry_file().string()}, {"XDG_RUNTIME_DIR", (folder / "run").string()}},
      folder.path(),
      {}});
  ASSERT_EQ(shell.wait_exit(300s), 0) << shell.transcript();
  std::string ten_zeros;
  for (int i = 0; i < 10; ++i) ten_zeros += "status 0\n";
  EXPECT_EQ(shell.transcript(), ten_zeros);
  EXPECT_TRUE(eventually([&] { return fds() == fds_before; }, 5s)) << fds() << " vs " << fds_before;
  const std::string lock = serial_test::lock_file_path(sim->module_pty());
  EXPECT_TRUE(lock.empty() || !fs::exists(lock)) << lock;
}

// The package from another folder than the program's (its PackageDir for this run).
TEST_F(ScriptedUpdate, PackageTakesTheFirmwareFromTheFolderGiven) {
  ProgramFolder elsewhere;
  elsewhere.put_package(8000);
  Wire();
  auto run = Start({"--update", "flash-only", "--package", elsewhere.path().string()});
  ASSERT_EQ(Finish(*run), 0) << err << run->transcript();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(elsewhere / "flash_only.bin"));
}

}  // namespace
