// The firmware update end to end: the built program with the console front-end, the module
// simulator on a pty as COM1:, RIL1: and the reboot service as the simulator's control hooks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "e2e_sim.h"
#include "e2e_tool.h"
#include "serial_pty.h"

namespace {

using namespace e2e;

// The full image in plain builds; a smaller one where sanitizers slow every byte down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t FULL_IMAGE = 512 * 1024;
#else
constexpr std::size_t FULL_IMAGE = 4169728;
#endif

const char* const BOX = "box: Successful | Reboot device/Reset module ! | yes/no";

// A program folder with a firmware package, a simulator, and the tool wired to both.
class UpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { folder.put_package(8000); }
  void TearDown() override {
    if (tool) {
      tool->send_line("command 101");  // Exit, queued behind any box still shown
      EXPECT_EQ(tool->wait_exit(20s), 0) << tool->transcript();
    }
  }

  // Starts the simulator (with `options`) and the tool, and waits until the tool serves commands.
  // `registry` names the debug output; `stderrPipeBytes` as for ProgramFolder::start.
  void Start(std::vector<std::string> options = {}, std::optional<Registry> registry = {},
             int stderrPipeBytes = 0) {
    sim = std::make_unique<Sim>(simDir.path(), std::move(options));
    Registry wired = registry.value_or(folder.base_registry());
    wire(wired, *sim, bounds);
    if (!packageDir.empty()) wired.sz("PackageDir", packageDir);
    tool = folder.start(wired, {}, stderrPipeBytes);
    ASSERT_TRUE(ui_ready(*tool)) << tool->transcript();
  }
  bool ClosedTwice() {
    return eventually([&] { return folder.count_debug_lines(" Communication Port Closed!!") == 2; }, 30s);
  }
  // The update thread's end: both closing traces, and a quiet moment for any third.
  void ExpectRunClosed() {
    EXPECT_TRUE(ClosedTwice()) << read_file(folder.debug_log());
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(folder.count_debug_lines(" Communication Port Closed!!"), 2);
  }
  // The simulator's summary once it holds `count` control requests.
  std::string SummaryWith(std::size_t count) {
    eventually([&] { return control_names(sim->summary()).size() >= count; }, 20s);
    return sim->summary();
  }

  // Platform\Update values for the next Start.
  std::map<std::string, std::uint32_t> bounds;
  std::string packageDir;
  ProgramFolder folder;
  TempDir simDir{"kov02-sim"};
  std::unique_ptr<Sim> sim;
  std::unique_ptr<Child> tool;
};

// The simulator's violations, less the pauses it measured too short: it timestamps a byte when
// it is scheduled to read it, so a loaded machine shortens the gaps it sees. The pauses
// themselves are checked on the in-process fake line, where write calls carry their own times.
std::vector<std::string> Violations(const std::string& summary) {
  std::vector<std::string> out;
  for (std::string code : violation_codes(summary))
    if (code.find("pause") == std::string::npos) out.push_back(code);
  return out;
}

// The pane lines between `after` and `until`: the progress stars. The console's progress lines
// stand between them, never inside one.
std::vector<std::string> LinesBetween(const Child& tool, const std::string& after, const std::string& until) {
  std::vector<std::string> out;
  bool in = false;
  for (const std::string& line : tool.lines()) {
    if (line.find(until) != std::string::npos && in) break;
    if (in && !line.starts_with("progress: ")) out.push_back(line);
    if (line.find(after) != std::string::npos) in = true;
  }
  return out;
}

TEST_F(UpdateEndToEnd, FlashOnlySendsTheWholeImageAndNoLeavesTheModuleAsItIs) {
  folder.put_package(FULL_IMAGE);
  Start();
  tool->send_line("menu Tools/Update Firmware/Flash only");
  tool->send_line("command 118");  // while the first run is under way
  for (const char* line :
       {"RIL has been suspended", "Firmware update already running", "Sending Bootload1 succeed!!",
        "Sending Bootload2 succeed!!", "Send firmware....ok"})
    ASSERT_TRUE(tool->wait_for(line, 120s)) << line << "\n" << tool->transcript();
  ASSERT_TRUE(tool->wait_for(BOX, 20s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();

  const std::size_t chunks = (FULL_IMAGE + 3999) / 4000;
  const auto stars = LinesBetween(*tool, "Sending Bootload2 succeed!!", "Send firmware....ok");
  ASSERT_EQ(stars.size(), chunks / 23 + 1) << tool->transcript();
  for (std::size_t i = 0; i < stars.size(); ++i)
    EXPECT_EQ(stars[i], std::string(i + 1 < stars.size() ? 23 : chunks % 23, '*')) << "line " << i;

  const std::string summary = SummaryWith(2);
  EXPECT_EQ(Violations(summary), std::vector<std::string>{}) << summary;
  EXPECT_EQ(run_outcomes(summary), std::vector<std::string>{"accepted"}) << summary;
  EXPECT_EQ(control_names(summary), (std::vector<std::string>{"suspend", "reset"})) << summary;
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
}

// PackageDir names the package's folder: the files beside the program are a decoy never sent.
TEST_F(UpdateEndToEnd, FlashOnlyTakesThePackageFromPackageDirAndNeverTheOneBesideTheProgram) {
  TempDir package("kov02-package");
  for (const char* name : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin", "file_size.bin"}) {
    fs::copy_file(folder / name, package / name);
    folder.put(name, pattern_bytes(fs::file_size(package / name), 9));
  }
  packageDir = package.path().string();
  Start();
  tool->send_line("menu Tools/Update Firmware/Flash only");
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(package / "flash_only.bin"));
}

// Menu radio requests during the image do nothing; Get COMs waits until the run closes its port.
TEST_F(UpdateEndToEnd, RadioRequestsDuringTheImageAreRefusedAndTheRunSucceeds) {
  folder.put_package(FULL_IMAGE);
  Start();
  tool->send_line("menu Tools/Update Firmware/Flash only");
  ASSERT_TRUE(tool->wait_for("Sending Bootload2 succeed!!", 60s)) << tool->transcript();
  for (const char* item : {"System/Reset RIL Module", "System/Suspend RIL", "System/Resume RIL"}) {
    tool->send_line(std::string("menu ") + item);
    EXPECT_TRUE(tool->wait_for("Firmware update running, radio requests refused", 20s)) << item;
  }
  ASSERT_TRUE(tool->wait_for(BOX, 120s)) << tool->transcript();
  tool->send_line("menu System/Get COMs");
  EXPECT_TRUE(tool->wait_for("Firmware update running, COMs stay closed", 20s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  const std::string summary = SummaryWith(2);
  EXPECT_EQ(control_names(summary), (std::vector<std::string>{"suspend", "reset"})) << summary;
  EXPECT_EQ(run_outcomes(summary), std::vector<std::string>{"accepted"}) << summary;
}

// A live lock file on the module's tty: the run stops at the open, and the pane says who holds it.
TEST_F(UpdateEndToEnd, AModulePortInUseIsRefusedWithItsHolderNamed) {
  Start();
  const std::string lock = serial_test::lock_file_path(sim->module_pty());
  if (lock.empty()) GTEST_SKIP() << "no writable lock folder";
  write_file(lock, serial_test::lock_file_text(::getpid()));
  tool->send_line("menu Tools/Update Firmware/Flash only");
  ASSERT_TRUE(tool->wait_for("Open Comport fail!!", 30s)) << tool->transcript();
  const std::string reason =
      "COM1: is " + sim->module_pty() + ": in use by e2e_tests (pid " + std::to_string(::getpid()) + ")";
  EXPECT_TRUE(tool->wait_for(reason, 10s)) << tool->transcript();
  tool->drain(300ms);
  EXPECT_EQ(tool->transcript().find("Sending Bootload1"), std::string::npos);
  EXPECT_EQ(read_file(lock), serial_test::lock_file_text(::getpid()));
  fs::remove(lock);
}

TEST_F(UpdateEndToEnd, AnsweringYesResetsTheModuleAndThenRebootsTheHandset) {
  Start();
  tool->send_line("menu Tools/Update Firmware/Flash only");
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer yes");
  ExpectRunClosed();
  const std::string summary = SummaryWith(4);
  EXPECT_EQ(control_names(summary), (std::vector<std::string>{"suspend", "reset", "reset", "reboot"}))
      << summary;
  EXPECT_EQ(Violations(summary), std::vector<std::string>{}) << summary;
}

TEST_F(UpdateEndToEnd, EepFlashTakesItsImageAndTheRecordOfATwoByteFileSizeBin) {
  folder.put("eep_flash.bin", pattern_bytes(9000, 4));
  folder.put("file_size.bin", std::string("\x01\x23", 2));
  Start();
  tool->send_line("command 117");  // the menu item is grayed
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  const std::string summary = SummaryWith(2);
  EXPECT_NE(summary.find("\"file_size_record\":[1,35,0]"), std::string::npos) << summary;
  EXPECT_EQ(Violations(summary), std::vector<std::string>{}) << summary;
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "eep_flash.bin"));
}

TEST_F(UpdateEndToEnd, EepFlashWithoutItsImageFailsAfterBothStagesAndClosesThePort) {
  Start();
  tool->send_line("command 117");
  ASSERT_TRUE(tool->wait_for("Sending Bootload2 succeed!!", 60s)) << tool->transcript();
  ExpectRunClosed();
  EXPECT_EQ(folder.count_debug_lines(" Write to flash  fail!!  !!"), 1);
  EXPECT_EQ(folder.count_debug_lines("download.bin open fail!!!!"), 1);
  EXPECT_TRUE(ui_ready(*tool));
  EXPECT_EQ(tool->transcript().find("Send firmware....ok"), std::string::npos);
}

TEST_F(UpdateEndToEnd, AMissingPackageFileNamesTheDirectoryAndStartsNothing) {
  folder.remove("flash_only.bin");
  Start();
  std::string dir = folder.path().string() + "/";
  std::replace(dir.begin(), dir.end(), '/', '\\');
  tool->send_line("command 117");
  EXPECT_TRUE(tool->wait_for("Cannot get firmware files from " + dir + " directory")) << tool->transcript();
  EXPECT_TRUE(tool->wait_for("firmware package folder " + folder.path().string() +
                             ": missing flash_only.bin (PackageDir in " + folder.registry_file().string() +
                             ")"))
      << tool->transcript();

  // With the debug direction None the same command shows nothing at all: the About box, queued
  // behind it, is the next thing on the console.
  tool->send_line("menu Tools/Debug Message/None");
  tool->send_line("command 118");
  tool->send_line("command 120");
  ASSERT_TRUE(tool->wait_for("box: About"));
  const auto& lines = tool->lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find("firmware package folder"), std::string::npos) << tool->transcript();
  tool->send_line("answer ok");
  EXPECT_TRUE(control_names(sim->summary()).empty()) << sim->summary();
  EXPECT_EQ(folder.count_debug_lines("Open com port"), 0);
}

TEST_F(UpdateEndToEnd, APortThatHangsUpWhileWaitingForTheBootRomEndsTheRun) {
  Start({"--fail-ril"});  // the reset is refused: the module never enters its boot ROM
  tool->send_line("command 118");
  ASSERT_TRUE(eventually([&] { return folder.count_debug_lines("Waiting for char -> A0 h") > 0; }, 30s));
  sim->stop();
  ASSERT_TRUE(tool->wait_for("Update port lost, firmware update stopped", 30s)) << tool->transcript();
  ExpectRunClosed();
  EXPECT_TRUE(ui_ready(*tool));
}

TEST_F(UpdateEndToEnd, APortThatHangsUpDuringTheImageEndsTheRun) {
  folder.put_package(200000);
  Start({"--drop-after", "50000"});
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for("Update port lost, firmware update stopped", 60s)) << tool->transcript();
  ExpectRunClosed();
  EXPECT_EQ(folder.count_debug_lines(" Write to flash  fail!!  !!"), 1);
  EXPECT_TRUE(ui_ready(*tool));
}

// A reader of stderr that stops for a whole run stalls nothing: the image goes out at full
// speed, and once stderr is read again the lines it missed are one counted gap. The run traces
// more than a small pipe and the output queue hold, with the sanitizers' smaller image too.
TEST_F(UpdateEndToEnd, AnUnreadStderrStallsNoRunAndItsGapIsReportedOnceReadAgain) {
  folder.put_package(FULL_IMAGE);
  Registry registry;
  registry.key(REG_DEBUG).sz("Output", "stderr");
  Start({}, registry, 4096);
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(BOX, 120s)) << tool->transcript();
  const std::string err = tool->read_stderr(" lines dropped]\n");
  EXPECT_TRUE(std::regex_search(err, std::regex(R"((^|\n)\[[1-9][0-9]* lines dropped\]\n)"))) << err.size();
  // Lines after the gap come whole and in order: the run's end is traced as before.
  tool->send_line("answer no");
  auto closings = [&] {
    std::istringstream lines(tool->drain_stderr(100ms));
    int closed = 0;
    for (std::string line; std::getline(lines, line);)
      closed += line.ends_with(" Communication Port Closed!!");
    return closed;
  };
  EXPECT_TRUE(eventually([&] { return closings() == 2; }, 30s)) << closings();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
}

// A module that floods garbage while the tool waits for 0xA0 has every byte traced; the debug
// log still stays under MaxBytes (plus the line that crosses it), moving to NAME.1 to start
// afresh, and both files hold whole lines only.
TEST_F(UpdateEndToEnd, AFloodingModuleKeepsTheDebugLogUnderMaxBytes) {
  constexpr std::uintmax_t kMaxBytes = 64 * 1024;
  constexpr std::uintmax_t kLongestLine = 256;
  Start({"--noise", "5000000"}, folder.base_registry().dword("MaxBytes", kMaxBytes));
  tool->send_line("command 118");
  const fs::path log = folder.debug_log();
  const fs::path older = log.string() + ".1";
  std::uintmax_t largest = 0;
  for (const auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
    std::error_code moving;  // between the move and the fresh file there is none
    const std::uintmax_t size = fs::file_size(log, moving);
    if (!moving) largest = std::max(largest, size);
  }
  sim->stop();  // the port goes, the run ends
  EXPECT_TRUE(tool->wait_for("box: Update failed", 30s)) << tool->transcript();
  tool->send_line("answer ok");
  EXPECT_LE(largest, kMaxBytes + kLongestLine);
  ASSERT_TRUE(fs::exists(older));
  EXPECT_LE(fs::file_size(older), kMaxBytes + kLongestLine);
  const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[^\]]+\] .*|\[\d+ lines dropped\])");
  for (const fs::path& file : {older, log}) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) ASSERT_TRUE(std::regex_match(line, shape)) << line;
  }
}

std::string FailureBox(const std::string& reason) {
  return "box: Update failed | Firmware update failed: " + reason + " | ok";
}

TEST_F(UpdateEndToEnd, AWithheldStageOneAnswerStartsAgainOnceAndTheRetryShowsItsProgress) {
  bounds = {{"AnswerTimeout", 2000}};
  Start({"--withhold-ack", "stage1:once"});
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for("No answer from the module, starting again (attempt 2)", 60s))
      << tool->transcript();
  ASSERT_TRUE(tool->wait_for("progress: boot1 200/200", 30s)) << tool->transcript();
  ASSERT_TRUE(tool->wait_for("progress: boot2 0/2500", 30s)) << tool->transcript();
  ASSERT_TRUE(tool->wait_for("progress: boot2 2500/2500", 30s)) << tool->transcript();
  ASSERT_TRUE(tool->wait_for("progress: image 0/8000", 30s)) << tool->transcript();
  ASSERT_TRUE(tool->wait_for("progress: image 8000/8000", 30s)) << tool->transcript();
  ASSERT_TRUE(tool->wait_for(BOX, 30s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  EXPECT_EQ(tool->transcript().find("attempt 3"), std::string::npos) << tool->transcript() << sim->summary();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
}

TEST_F(UpdateEndToEnd, AModuleSilentInTheImageFailsWithinItsBoundAndTheNextRunPasses) {
  bounds = {{"ChunkTimeout", 1000}};
  folder.put_package(60000);
  Start({"--silent-after", "5"});
  tool->send_line("command 118");
  ASSERT_TRUE(eventually([&] { return folder.count_debug_lines("Write 4000 bytes!") >= 6; }, 60s));
  const auto silent_since = std::chrono::steady_clock::now();
  ASSERT_TRUE(tool->wait_for("Firmware update failed: no answer to the image", 10s)) << tool->transcript();
  EXPECT_TRUE(tool->wait_for(
      "The radio interface stays suspended until an update succeeds or Resume RIL is chosen.", 10s));
  ASSERT_TRUE(tool->wait_for(FailureBox("no answer to the image"), 10s)) << tool->transcript();
  EXPECT_LT(std::chrono::steady_clock::now() - silent_since, 3s);
  ExpectRunClosed();
  EXPECT_EQ(folder.count_debug_lines("Write 4000 bytes!"), 6);  // none after the silence
  EXPECT_EQ(folder.count_debug_lines(" Sending Checksum"), 0);

  tool->send_line("answer ok");
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer no");
  EXPECT_TRUE(eventually([&] { return folder.count_debug_lines(" Communication Port Closed!!") == 4; }, 30s));
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
}

TEST_F(UpdateEndToEnd, AModuleThatNeverAnswersIsResetAsOftenAsAttemptsAllows) {
  bounds = {{"RomTimeout", 300}, {"Attempts", 3}};
  Start({"--fail-ril"});  // every reset is refused: the boot ROM never answers
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(FailureBox("the module did not answer"), 60s)) << tool->transcript();
  ExpectRunClosed();
  const auto names = control_names(sim->summary());
  EXPECT_EQ(std::count(names.begin(), names.end(), "reset"), 3) << sim->summary();
  EXPECT_TRUE(tool->transcript().find("(attempt 3)") != std::string::npos);
  EXPECT_EQ(tool->transcript().find("(attempt 4)"), std::string::npos);
}

// Noise that never stops restarts the silence bound for ever; each wait for 0xA0 still ends
// within 4 x RomTimeout, and the run fails once the attempts are spent.
TEST_F(UpdateEndToEnd, AModuleBabblingAfterEveryResetFailsWithinFourRomTimeoutsPerCycle) {
  bounds = {{"RomTimeout", 500}, {"Attempts", 2}};
  Start({"--babble"});
  const auto started = std::chrono::steady_clock::now();
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(FailureBox("the module did not answer"), 40s)) << tool->transcript();
  // Per cycle 1 s of casting, the reset, then at most 4 x 500 ms of noise.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2 * 3s + 4s);
  ExpectRunClosed();
  const auto names = control_names(sim->summary());
  EXPECT_EQ(std::count(names.begin(), names.end(), "reset"), 2) << sim->summary();
  EXPECT_EQ(folder.count_debug_lines("No answer from the module in time"), 2);
  EXPECT_GT(folder.count_debug_lines("A byte got from KOV02A"), 200) << "the noise went on";
}

// A 0xA0 the module sends while the tool casts for its next reset is no answer to that reset.
TEST_F(UpdateEndToEnd, ALateRomReadyBeforeEveryResetIsDiscardedAndTheRunSucceeds) {
  bounds = {{"AnswerTimeout", 1000}, {"Attempts", 3}};
  Start({"--late-a0"});
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  EXPECT_EQ(tool->transcript().find("(attempt 2)"), std::string::npos) << tool->transcript();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
}

TEST_F(UpdateEndToEnd, AnExtraRecordAnswerDoesNotPassForTheImagesAcceptance) {
  bounds = {{"ChunkTimeout", 1000}};
  folder.put_package(3000);
  Start({"--extra-ack", "record", "--withhold-ack", "image:always"});
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for(FailureBox("no answer to the image"), 60s)) << tool->transcript();
  ExpectRunClosed();
  EXPECT_EQ(tool->transcript().find("Send firmware....ok"), std::string::npos);
  EXPECT_EQ(tool->transcript().find("Successful"), std::string::npos);
}

TEST_F(UpdateEndToEnd, QuittingDuringTheImageAsksFirstAndOtherCommandsWait) {
  folder.put_package(120000);
  Start({"--baud", "115200"});  // about ten seconds of image
  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for("progress: image 0/120000", 60s)) << tool->transcript();
  tool->send_line("menu System/Get COMs");
  ASSERT_TRUE(tool->wait_for("Firmware update running, COMs stay closed", 10s)) << tool->transcript();
  tool->send_line("menu System/Reboot Device");
  ASSERT_TRUE(tool->wait_for("Firmware update running, reboot refused", 10s)) << tool->transcript();
  tool->send_line("key ctrl+q");
  ASSERT_TRUE(
      tool->wait_for("box: KOV02Tool | A firmware update is running. Quitting now leaves the module "
                     "without working firmware. Quit anyway? | yes/no",
                     10s))
      << tool->transcript();
  tool->send_line("answer no");
  ASSERT_TRUE(tool->wait_for(BOX, 60s)) << tool->transcript();
  tool->send_line("answer no");
  ExpectRunClosed();
  EXPECT_TRUE(read_file(sim->received_image()) == read_file(folder / "flash_only.bin"));
  EXPECT_EQ(control_names(sim->summary()), (std::vector<std::string>{"suspend", "reset"}));

  tool->send_line("command 118");
  ASSERT_TRUE(tool->wait_for("progress: image 0/120000", 60s)) << tool->transcript();
  tool->send_line("key ctrl+q");
  ASSERT_TRUE(tool->wait_for("box: KOV02Tool", 10s)) << tool->transcript();
  tool->send_line("answer yes");
  EXPECT_EQ(tool->wait_exit(10s), 0) << tool->transcript();
  tool.reset();
  EXPECT_EQ(folder.count_debug_lines(" Communication Port Closed!!"), 4);
  const int port = ::open(sim->module_pty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(::flock(port, LOCK_EX | LOCK_NB), 0) << "the port is still locked";
  ::close(port);
}

// Each run's thread handle is closed by the next one: twenty runs leave the descriptors as
// they found them (a port that does not open makes the runs quick).
TEST_F(UpdateEndToEnd, RunsLeaveNoDescriptorBehind) {
  sim = std::make_unique<Sim>(simDir.path());
  Registry registry = folder.base_registry();
  registry.key(REG_DEVICES).sz("COM1:", (folder / "no-such-tty").string()).sz("RIL1:", sim->ril_hook());
  tool = folder.start(registry);
  ASSERT_TRUE(ui_ready(*tool));
  const auto fds = [&] {
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(tool->pid()) + "/fd"),
                         fs::directory_iterator{});
  };
  // A run's thread and its hooks wind down for a moment after its box is answered: count once
  // the number holds still.
  const auto settled_fds = [&] {
    auto last = fds();
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(200ms);
      const auto now = fds();
      if (now == last) break;
      last = now;
    }
    return last;
  };
  auto run = [&] {
    tool->send_line("command 118");
    ASSERT_TRUE(tool->wait_for(FailureBox("the update port could not be opened"), 20s)) << tool->transcript();
    tool->send_line("answer ok");
    ASSERT_TRUE(ui_ready(*tool));
  };
  run();
  const auto before = settled_fds();
  for (int i = 0; i < 20; ++i) run();
  EXPECT_LE(settled_fds(), before);
}

// A program path too long for the handset's buffer is not cut to a parent folder's: there is
// no working directory, and the package beside the cut path is never taken.
TEST(UpdateProgramFolder, AProgramPathTooLongForItsBufferHasNoWorkingDirectory) {
  TempDir top("kov02-long");
  fs::path deep = top.path();
  while (deep.string().size() < 120) deep /= "folder-with-a-long-name";
  fs::create_directories(deep);
  fs::copy_file(KOV02TOOL_PATH, deep / "kov02tool");
  for (const char* name : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin"})
    write_file(deep.parent_path() / name, "package");
  Registry registry;
  registry.key(REG_DEBUG).sz("Output", "file:" + (top / "debug.log").string());
  write_file(top / "kov02.reg", registry.text());
  Child tool(Spawn{{(deep / "kov02tool").string()},
                   {{"KOV02_UI", "console"},
                    {"KOV02_REGISTRY", (top / "kov02.reg").string()},
                    {"XDG_RUNTIME_DIR", top.path().string()}},
                   deep,
                   top / "stderr.txt"});
  ASSERT_TRUE(tool.wait_for("box: WorkDir Error", 20s)) << tool.transcript();
  tool.send_line("answer ok");
  tool.send_line("command 118");
  EXPECT_TRUE(tool.wait_for("Cannot get firmware files from  directory", 20s)) << tool.transcript();
  EXPECT_TRUE(
      tool.wait_for("no firmware package folder (PackageDir in " + (top / "kov02.reg").string() + ")"));
  tool.send_line("command 101");
  EXPECT_EQ(tool.wait_exit(20s), 0);
  EXPECT_EQ(read_file(top / "debug.log").find("Open com port"), std::string::npos);
}

// A PackageDir too long for the 100-character working directory: none, not the program's folder.
TEST(UpdateProgramFolder, APackageDirOfOneHundredCharactersIsNoWorkingDirectory) {
  ProgramFolder folder;
  for (const char* name : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin"})
    folder.put(name, "package");
  const std::string tooLong = "/" + std::string(99, 'x');
  Registry registry = folder.base_registry();
  registry.key(REG_UPDATE).sz("PackageDir", tooLong);
  auto tool = folder.start(registry);
  ASSERT_TRUE(tool->wait_for("box: WorkDir Error | " + tooLong, 20s)) << tool->transcript();
  tool->send_line("answer ok");
  tool->send_line("command 118");
  EXPECT_TRUE(tool->wait_for("Cannot get firmware files from  directory", 20s)) << tool->transcript();
  tool->send_line("command 101");
  EXPECT_EQ(tool->wait_exit(20s), 0);
}

}  // namespace
