// The built program with the console front-end: start-up, single instance, the shell's own
// commands, and the radio and reboot commands over exec: hooks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "e2e_tool.h"
#include "serial_pty.h"

namespace {

using namespace e2e;

// An executable hook script in the program folder that exits with `status`.
std::string hook(const ProgramFolder& folder, std::string_view name, int status) {
  fs::path path = folder / name;
  write_file(path, "#!/bin/sh\necho \"$@\" >> \"$0.calls\"\nexit " + std::to_string(status) + "\n");
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

TEST(ShellEndToEnd, WorkingDirectoryIsTracedInTheHandsetForm) {
  ProgramFolder folder;
  auto tool = folder.start(folder.base_registry());
  wait_ready(*tool);
  std::string expected = folder.path().string() + "/";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(folder.count_debug_lines("get current dir " + expected), 1) << read_file(folder.debug_log());
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
TEST(ShellEndToEnd, LongProgramPathIsCutNotOverrun) {
  ProgramFolder folder;
  fs::path deep = folder.path() / std::string(60, 'd') / std::string(60, 'e');
  fs::create_directories(deep);
  fs::copy_file(folder.program(), deep / "kov02tool");
  write_file(folder.registry_file(), folder.base_registry().text());
  Child tool(Spawn{{(deep / "kov02tool").string()},
                   {{"KOV02_UI", "console"},
                    {"KOV02_REGISTRY", folder.registry_file().string()},
                    {"XDG_RUNTIME_DIR", (folder / "run").string()}},
                   deep,
                   folder.stderr_file()});
  wait_ready(tool);
  tool.send_line("key ctrl+q");
  EXPECT_EQ(tool.wait_exit(), 0);
  std::string full = (deep / "kov02tool").string();
  std::string cut = full.substr(0, 99);
  cut = cut.substr(0, cut.rfind('/') + 1);
  std::replace(cut.begin(), cut.end(), '/', '\\');
  std::string log = read_file(folder.debug_log());
  EXPECT_NE(log.find("get current dir " + cut + "\n"), std::string::npos) << log;
}

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

TEST(ShellEndToEnd, RadioRequestsReportTheHookOutcome) {
  ProgramFolder folder;
  std::string ok = hook(folder, "ril-ok", 0);
  auto tool = folder.start(folder.base_registry().key(REG_DEVICES).sz("RIL1:", "exec:" + ok));
  wait_ready(*tool);
  tool->send_line("menu System/Suspend RIL");
  EXPECT_TRUE(tool->wait_for("RIL has been suspended"));
  tool->send_line("menu System/Resume RIL");
  EXPECT_TRUE(tool->wait_for("RIL has been resumed"));
  tool->send_line("menu System/Reset RIL Module");
  EXPECT_TRUE(tool->wait_for("GSM/GPRS has been reset"));
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
