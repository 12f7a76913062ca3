// The built program with the console front-end: start-up, single instance, the shell's own
// commands, and the radio and reboot commands over exec: hooks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "e2e_tool.h"
#include "eventually.h"
#include "serial_pty.h"

namespace {

using namespace e2e;

// An executable hook script in the program folder that exits with `status`.
std::string hook(const ProgramFolder& folder, std::string_view name, int status) {
  fs::path path = folder / name;
  write_file(
      path, "#!/bin/sh\necho \"$@\" >> '" + path.string() + ".calls'\nexit " + std::to_string(status) + "\n");
  ::chmod(path.c_str(), 0755);
  return path.string();
}

// Waits until the tool's UI thread is serving commands: the About box is a round trip.
void wait_ready(Child& tool) {
  ASSERT_TRUE(tool.send_line("command 120"));
  ASSERT_TRUE(tool.wait_for("box: About", 20s)) << tool.transcript();
  ASSERT_TRUE(tool.send_line("answer ok"));
}

// Ctrl+Q, and the program ends with status 0.
void quit(Child& tool) {
  tool.send_line("key ctrl+q");
  EXPECT_EQ(tool.wait_exit(), 0) << tool.transcript();
}

// The menu items shown with `mark` ("[checked]" or "[grayed]") by `show menu`, by caption.
std::vector<std::string> marked_items(Child& tool, std::string_view mark) {
  std::size_t from = tool.lines().size();
  tool.send_line("show menu");
  EXPECT_TRUE(tool.wait_for("Flash only")) << tool.transcript();
  std::vector<std::string> items;
  for (std::size_t i = from; i < tool.lines().size(); ++i) {
    const std::string& line = tool.lines()[i];
    if (line.find(mark) == std::string::npos) continue;
    std::size_t start = line.find_first_not_of(' ');
    items.push_back(line.substr(start, line.find(" = ") - start));
  }
  return items;
}

using Items = std::vector<std::string>;

TEST(ShellEndToEnd, EachWayOutEndsWithStatusZero) {
  for (const char* way : {"key ctrl+q", "menu System/Exit", "ok"}) {
    ProgramFolder folder;
    auto tool = folder.start(folder.base_registry());
    wait_ready(*tool);
    ASSERT_TRUE(tool->send_line(way));
    EXPECT_EQ(tool->wait_exit(20s), 0) << way << "\n" << tool->transcript();
  }
}

// Only a regular file of at most 4 MiB is read as the registry; anything else ends start-up at
// once, with status 1 and one line naming the file and why, instead of blocking or eating memory.
TEST(ShellEndToEnd, ARegistryThatIsNotASmallRegularFileStopsStartUpAtOnce) {
  ProgramFolder folder;
  const fs::path fifo = folder / "fifo.reg", directory = folder / "dir.reg", big = folder / "big.reg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(directory);
  write_file(big, "REGEDIT4\n" + std::string(5u << 20, ';'));
  const std::pair<std::string, std::string> rows[] = {
      {fifo.string(), "is a FIFO, not a regular file"},
      {"/dev/zero", "is a device, not a regular file"},
      {directory.string(), "is a directory"},
      {big.string(), "is larger than 4 MiB"},
  };
  for (const auto& [path, reason] : rows) {
    SCOPED_TRACE(path);
    fs::remove(folder.stderr_file());
    auto tool = folder.start(folder.base_registry(), {{"KOV02_REGISTRY", path}});
    EXPECT_EQ(tool->wait_exit(1s), 1);
    EXPECT_EQ(read_file(folder.stderr_file()), "kov02tool: " + path + ": " + reason + "\n");
  }
}

TEST(ShellEndToEnd, WorkingDirectoryIsTracedInTheHandsetForm) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  std::string expected = folder.path().string() + "/";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_TRUE(eventually([&] { return folder.count_debug_lines("get current dir " + expected) == 1; }, 5s))
      << read_file(folder.debug_log());
  quit(*tool);
}

// A debug output file that is a FIFO would hold start-up until something read it: the tool
// warns once and traces to stderr instead.
TEST(ShellEndToEnd, ADebugOutputFifoFallsBackToStderrWithOneWarning) {
  ProgramFolder folder;
  const fs::path fifo = folder / "debug.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Registry registry;
  registry.key(REG_DEBUG).sz("Output", "file:" + fifo.string());
  auto tool = folder.start(registry);
  wait_ready(*tool);
  quit(*tool);
  std::istringstream err(read_file(folder.stderr_file()));
  int warnings = 0, traces = 0;
  for (std::string line; std::getline(err, line);) {
    warnings += line == "kov02tool: warning: debug output " + fifo.string() +
                            " is not a regular file, /dev/null or a terminal; writing debug output to stderr";
    traces += line.find("] get current dir ") != std::string::npos;
  }
  EXPECT_EQ(warnings, 1) << read_file(folder.stderr_file());
  EXPECT_EQ(traces, 1) << read_file(folder.stderr_file());
}

// A program path longer than the 100-character buffer is read cut, never past the buffer; the
// working directory is then what the cut path holds up to its last backslash.
TEST(ShellEndToEnd, SecondInstanceExitsMinusOneAndRaisesTheFirst) {
  ProgramFolder folder;
  auto first = folder.start(folder.base_registry());
  wait_ready(*first);
  auto second = folder.start(folder.base_registry());
  EXPECT_EQ(second->wait_exit(20s), 255) << second->transcript();
  EXPECT_TRUE(first->wait_for("raised", 10s)) << first->transcript();
  first->send_line("key ctrl+q");
  EXPECT_EQ(first->wait_exit(), 0);
}

// A single-instance folder made first by another user (who could then answer for this one) or
// open to others stops start-up with status 1 and one line naming it.
TEST(ShellEndToEnd, ASingleInstanceFolderOfAnotherUserOrOpenToOthersStopsStartUp) {
  ProgramFolder folder;
  const fs::path made = folder / "run" / "kov02tool";
  fs::create_directory(made);
  for (const char* fault : {"does not have mode 0700", "belongs to another user"}) {
    ::chmod(made.c_str(), fault[0] == 'd' ? 0750 : 0700);
    if (fault[0] == 'b' && ::geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root";
    ASSERT_EQ(fault[0] == 'b' ? ::chown(made.c_str(), 65534, 65534) : 0, 0);
    fs::remove(folder.stderr_file());
    EXPECT_EQ(folder.start(folder.base_registry())->wait_exit(20s), 1);
    EXPECT_EQ(read_file(folder.stderr_file()),
              "kov02tool: the single-instance folder " + made.string() + " " + fault + "\n");
  }
}

// The tool run with `arguments` beside `running` (same runtime folder): its exit status, stdout
// and stderr.
struct Outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
};
Outcome run_with(const ProgramFolder& folder, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), folder.program().string());
  fs::remove(folder.stderr_file());
  Child child(Spawn{arguments,
                    {{"KOV02_UI", "console"}, {"XDG_RUNTIME_DIR", (folder / "run").string()}},
                    folder.path(),
                    folder.stderr_file()});
  Outcome outcome;
  outcome.status = child.wait_exit(20s);
  outcome.out = child.transcript();
  outcome.err = read_file(folder.stderr_file());
  return outcome;
}

// Help and version are answered before the single-instance look-up, so they work beside a
// running instance and do not raise it; anything else on the command line is refused.
TEST(ShellEndToEnd, HelpAndVersionAnswerBesideARunningInstanceAndOtherArgumentsAreRefused) {
  ProgramFolder folder;
  auto first = folder.start(folder.base_registry());
  wait_ready(*first);

  Outcome help = run_with(folder, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("KOV02_REGISTRY"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find(folder.path().string()), std::string::npos) << "where the firmware goes\n"
                                                                      << help.out;

  Outcome version = run_with(folder, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("kov02tool ") + KOV02_VERSION + "\n");

  for (const auto& arguments : {std::vector<std::string>{"--bogus"}, {"--help", "extra"}, {"-h"}}) {
    Outcome refused = run_with(folder, arguments);
    EXPECT_EQ(refused.status, 2) << arguments[0];
    EXPECT_EQ(refused.out, "") << arguments[0];
    EXPECT_NE(refused.err.find("KOV02_REGISTRY"), std::string::npos) << refused.err;
  }
  first->drain(200ms);
  EXPECT_EQ(first->transcript().find("raised"), std::string::npos) << first->transcript();
  quit(*first);
}

// The lines `show pane` prints between "pane:" and "end pane".
std::vector<std::string> pane_lines(Child& tool) {
  tool.send_line("show pane");
  EXPECT_TRUE(tool.wait_for("end pane")) << tool.transcript();
  const auto& lines = tool.lines();
  auto start = std::find(lines.rbegin(), lines.rend(), "pane:");
  if (start == lines.rend()) return {};
  return {start.base(), lines.end() - 1};
}

// Also: after `caret 0` a new line lands at the top of the pane, which `show pane` shows.
TEST(ShellEndToEnd, RadioRequestsReportTheHookOutcome) {
  ProgramFolder folder;
  std::string ok = hook(folder, "ril-ok", 0);
  auto tool = folder.start(folder.base_registry().key(REG_DEVICES).sz("RIL1:", "exec:" + ok));
  wait_ready(*tool);
  tool->send_line("menu System/Suspend RIL");
  EXPECT_TRUE(tool->wait_for("RIL has been suspended"));
  tool->send_line("caret 0");
  tool->send_line("menu System/Resume RIL");
  EXPECT_TRUE(tool->wait_for("RIL has been resumed"));
  EXPECT_EQ(pane_lines(*tool), (Items{"RIL has been resumed", "RIL has been suspended"}))
      << tool->transcript();
  tool->send_line("caret end");
  tool->send_line("menu System/Reset RIL Module");
  EXPECT_TRUE(tool->wait_for("GSM/GPRS has been reset"));
  EXPECT_EQ(pane_lines(*tool).back(), "GSM/GPRS has been reset");
  quit(*tool);
  EXPECT_EQ(read_file(ok + ".calls"), "0x03001F80\n0x03001F84\n0x03001F88\n");
}

TEST(ShellEndToEnd, RadioRequestFailuresShowTheErrorCode) {
  ProgramFolder folder;
  std::string failing = hook(folder, "ril-fail", 3);
  auto tool = folder.start(folder.base_registry().key(REG_DEVICES).sz("RIL1:", "exec:" + failing));
  wait_ready(*tool);
  tool->send_line("menu System/Suspend RIL");
  EXPECT_TRUE(tool->wait_for("Failed to suspend RIL action, error code: 0x0000001F")) << tool->transcript();
  tool->send_line("menu System/Reset RIL Module");
  EXPECT_TRUE(tool->wait_for("Failed to reset GSM/GPRS module, error code: 0x0000001F"));
  quit(*tool);
}

TEST(ShellEndToEnd, UnmappedRadioDeviceFailsToOpen) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  tool->send_line("menu System/Suspend RIL");
  EXPECT_TRUE(tool->wait_for("Failed to open RIL1:, error code: 0x00000002")) << tool->transcript();
  tool->send_line("menu System/Reset RIL Module");
  EXPECT_TRUE(tool->wait_for("Failed to open RIL1,CANNOT reset:, error code: 0x00000002"));
  quit(*tool);
}

TEST(ShellEndToEnd, RebootWithoutHookIsRefusedAndSilentUnderDebugNone) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  tool->send_line("menu System/Reboot Device");
  EXPECT_TRUE(tool->wait_for("Failed to call KernelIoControl() to reboot!")) << tool->transcript();
  tool->send_line("menu Tools/Debug Message/None");
  tool->send_line("menu System/Reboot Device");
  tool->send_line("menu System/Suspend RIL");  // a line that always shows, to bound the wait
  ASSERT_TRUE(tool->wait_for("Failed to open RIL1:"));
  std::string all = tool->transcript();
  std::size_t first = all.find("reboot!");
  EXPECT_EQ(all.find("reboot!", first + 1), std::string::npos) << all;
  quit(*tool);
}

TEST(ShellEndToEnd, RebootRunsTheConfiguredHookWithTheRebootCode) {
  ProgramFolder folder;
  std::string reboot = hook(folder, "reboot-ok", 0);
  auto tool = folder.start(folder.base_registry().key(REG_KERNEL).sz("Reboot", "exec:" + reboot));
  wait_ready(*tool);
  tool->send_line("menu System/Reboot Device");
  tool->send_line("menu System/Suspend RIL");
  ASSERT_TRUE(tool->wait_for("Failed to open RIL1:"));
  EXPECT_EQ(tool->transcript().find("reboot!"), std::string::npos);
  quit(*tool);
  EXPECT_EQ(read_file(reboot + ".calls"), "0x0101003C\n");
}

// A radio hook runs on the UI thread; while a slow one runs, the window still answers what only
// shows and holds what would act until the hook has returned.
TEST(ShellEndToEnd, WhileASlowHookRunsTheWindowAnswersAndHoldsInput) {
  ProgramFolder folder;
  const fs::path calls = folder / "ril-slow.calls";
  folder.put("ril-slow", "#!/bin/sh\necho \"$@\" >> '" + calls.string() +
                             "'\n[ \"$1\" = 0x03001F80 ] && sleep 5\nexit 0\n");
  ::chmod((folder / "ril-slow").c_str(), 0755);
  auto tool = folder.start(
      folder.base_registry().key(REG_DEVICES).sz("RIL1:", "exec:" + (folder / "ril-slow").string()));
  wait_ready(*tool);
  tool->send_line("menu System/Suspend RIL");
  ASSERT_TRUE(test_support::eventually([&] { return !read_file(calls).empty(); }));
  const auto asked = std::chrono::steady_clock::now();
  tool->send_line("show menu");
  ASSERT_TRUE(tool->wait_for("Flash only = 118", 10s)) << tool->transcript();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 200ms);
  tool->send_line("menu System/Resume RIL");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(read_file(calls), "0x03001F80\n") << "a request ran while the hook did";
  EXPECT_TRUE(tool->wait_for("RIL has been resumed", 20s)) << tool->transcript();
  EXPECT_EQ(read_file(calls), "0x03001F80\n0x03001F84\n");
  quit(*tool);
}

TEST(ShellEndToEnd, GrayedItemsAreRefusedButTheirCommandsStillDispatch) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  tool->send_line("menu Tools/Select Source/Raw Irda");
  tool->send_line("menu System/Get COMs");
  // With Raw Irda refused the source is still IrDA: side B is COM3:.
  EXPECT_TRUE(tool->wait_for("Open IRDA(COM3:) failed.")) << tool->transcript();
  tool->send_line("menu System/Release COMs");
  tool->send_line("command 111");
  tool->send_line("menu System/Get COMs");
  EXPECT_TRUE(tool->wait_for("Open IR(COM5:) failed.")) << tool->transcript();
  quit(*tool);
}

TEST(ShellEndToEnd, StartsWithIrdaAndBothDirectionsCheckedAndTwoItemsGrayed) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  EXPECT_EQ(marked_items(*tool, "[checked]"), (Items{"IRDA", "Bi-direction"}));
  EXPECT_EQ(marked_items(*tool, "[grayed]"), (Items{"Raw Irda", "EEP+Flash"}));
  quit(*tool);
}

TEST(ShellEndToEnd, ChoicesMoveTheirCheckMarks) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  tool->send_line("menu Tools/Select Source/COM(BTUART)");
  tool->send_line("menu Tools/Debug Message/-> BT -> FF");
  EXPECT_EQ(marked_items(*tool, "[checked]"), (Items{"COM(BTUART)", "-> BT -> FF"}));
  tool->send_line("command 116");
  tool->send_line("menu Tools/Debug Message/None");
  EXPECT_EQ(marked_items(*tool, "[checked]"), (Items{"IRDA", "None"}));
  quit(*tool);
}

// FFUART opens, side B does not: the half-open bridge still holds the source choice until
// Release COMs.
TEST(ShellEndToEnd, SourceChoiceIsRefusedWhileAPortIsHeld) {
  serial_test::SerialPty module;
  ProgramFolder folder;
  auto registry = folder.base_registry();
  registry.key(REG_SERIAL).dword("Index", 1).key(REG_DEVICES).sz("COM1:", module.path());
  auto tool = folder.start(registry);
  wait_ready(*tool);
  tool->send_line("menu System/Get COMs");
  ASSERT_TRUE(tool->wait_for("one of the handles is INVALID_HANDLE_VALUE")) << tool->transcript();
  tool->send_line("menu Tools/Select Source/COM(BTUART)");
  EXPECT_TRUE(tool->wait_for("box: Error | COMs should be released first | ok")) << tool->transcript();
  tool->send_line("answer ok");
  EXPECT_EQ(marked_items(*tool, "[checked]"), (Items{"IRDA", "Bi-direction"}));
  tool->send_line("menu System/Release COMs");
  ASSERT_TRUE(tool->wait_for("COMs released, R/W threads stopped"));
  tool->send_line("menu Tools/Select Source/COM(BTUART)");
  EXPECT_EQ(marked_items(*tool, "[checked]"), (Items{"COM(BTUART)", "Bi-direction"}));
  quit(*tool);
}

}  // namespace

// Started at the same moment, two instances each look for the other before either has a
// window: exactly one must stay, raised by the other, which exits with -1 (255). Pairs run a
// few at a time, each in its own runtime folder, so they cannot see one another. Under the
// sanitizers, where each start costs a second, fewer pairs look for races in the same code.
TEST(ShellEndToEnd, SimultaneousStartsLeaveExactlyOneInstance) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kPairs = 24;
#else
  constexpr int kPairs = 100;
#endif
  constexpr int kPairsAtOnce = 4;
  ProgramFolder folder;
  write_file(folder.registry_file(), folder.base_registry().text());
  std::vector<TempDir> runtimes(kPairsAtOnce);
  for (TempDir& dir : runtimes) ::chmod(dir.path().c_str(), 0700);
  int survivors_alone = 0;
  for (int round = 0; round < kPairs / kPairsAtOnce; ++round) {
    std::vector<std::unique_ptr<Child>> tools;
    for (const TempDir& dir : runtimes) {
      for (int twin = 0; twin < 2; ++twin)
        tools.push_back(folder.spawn({{"XDG_RUNTIME_DIR", dir.path().string()}}));
    }
    for (int pair = 0; pair < kPairsAtOnce; ++pair) {
      Child& a = *tools[2 * pair];
      Child& b = *tools[2 * pair + 1];
      ASSERT_TRUE(eventually([&] { return a.wait_exit(0ms) || b.wait_exit(0ms); }, 60s))
          << "neither gave way";
      Child& loser = a.wait_exit(0ms) ? a : b;
      Child& survivor = &loser == &a ? b : a;
      EXPECT_EQ(loser.wait_exit(0ms), 255) << loser.transcript();
      EXPECT_TRUE(survivor.wait_for("raised", 20s)) << "round " << round << ": " << survivor.transcript();
      survivor.send_line("key ctrl+q");
      if (survivor.wait_exit(20s) == 0) ++survivors_alone;
    }
  }
  EXPECT_EQ(survivors_alone, kPairs);
}

// A script that opens the About box 20,000 times without answering: boxes nest 16 deep, the
// rest are refused, and the program stays up; answering the 16 unwinds them all.
TEST(ShellEndToEnd, ModalBoxesNestSixteenDeepAndFurtherOnesAreRefused) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  ASSERT_TRUE(ui_ready(*tool)) << tool->transcript();
  std::string burst;
  for (int i = 0; i < 20000; ++i) burst += "command 120\n";
  burst += "show menu";
  ASSERT_TRUE(tool->send_line(burst));
  ASSERT_TRUE(tool->wait_for("Flash only = 118", 120s)) << read_file(folder.stderr_file());
  int shown = 0;
  for (const std::string& line : tool->lines()) shown += line.starts_with("box: About") ? 1 : 0;
  EXPECT_EQ(shown, 16);
  for (int i = 0; i < 16; ++i) tool->send_line("answer ok");
  tool->send_line("key ctrl+q");
  EXPECT_EQ(tool->wait_exit(60s), 0) << read_file(folder.stderr_file());
}

// The program folder's name is bytes that are not UTF-8: the tool still finds its firmware
// package there (it goes on to open the port, which is not mapped, and fails) and writes its debug output
// to the file its registry names in that folder.
TEST(ShellEndToEnd, AProgramFolderWhoseNameIsNotUtf8FindsItsPackage) {
  ProgramFolder folder(ProgramFolder::Named{"kov02-caf\xE9\xFF"});
  for (const char* name : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin", "file_size.bin"})
    folder.put(name, pattern_bytes(64));
  auto tool = folder.start(folder.base_registry());
  ASSERT_TRUE(ui_ready(*tool)) << tool->transcript();
  tool->send_line("command 118");
  EXPECT_TRUE(tool->wait_for("Open Comport fail!!")) << tool->transcript();
  ASSERT_TRUE(tool->wait_for("box: Update failed")) << tool->transcript();
  EXPECT_EQ(tool->transcript().find("Cannot get firmware files"), std::string::npos) << tool->transcript();
  tool->send_line("answer ok");
  quit(*tool);
  EXPECT_EQ(folder.count_debug_lines("Open com port failed!!"), 1) << read_file(folder.stderr_file());
}
