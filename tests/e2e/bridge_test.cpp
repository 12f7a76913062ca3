// The built program's UART bridge with the console front-end, over pseudo-terminals: what Get
// and Release COMs print, volumes of random bytes crossing both ways at once with the traffic
// lines the debug choice selects, a half-open bridge, the source lock, exiting while bytes
// flow, and the demo's wiring (a terminal on the null-modem reaching the simulated module).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

#include "e2e_sim.h"
#include "e2e_tool.h"
#include "serial_pty.h"

namespace {

using namespace e2e;
using serial_test::lock_file_path;
using serial_test::lock_file_text;
using serial_test::same_settings;
using serial_test::SerialPty;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kVolume = 8u << 20;  // sanitized builds run several times slower
#else
constexpr std::size_t kVolume = 64u << 20;
#endif

const char* const kGetComs = "menu System/Get COMs";
const char* const kReleaseComs = "menu System/Release COMs";

// One direction of a transfer: bytes written into `from`'s far end, expected at `to`'s far end.
struct Flow {
  const std::string& bytes;
  const SerialPty& from;
  const SerialPty& to;
  std::size_t sent = 0;
  std::size_t received = 0;
  std::size_t first_difference = std::string::npos;

  bool done() const { return received >= bytes.size(); }
  // Writes what the line takes now and reads what has come; true when something moved.
  bool step() {
    bool moved = false;
    if (sent < bytes.size()) {
      ssize_t n =
          ::write(from.master(), bytes.data() + sent, std::min<std::size_t>(65536, bytes.size() - sent));
      if (n > 0) sent += static_cast<std::size_t>(n), moved = true;
    }
    char buffer[65536];
    ssize_t n = ::read(to.master(), buffer, sizeof buffer);
    if (n > 0) {
      const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(n), bytes.size() - received);
      if (first_difference == std::string::npos && std::memcmp(buffer, bytes.data() + received, count) != 0)
        first_difference = received;
      received += static_cast<std::size_t>(n);
      moved = true;
    }
    return moved;
  }
};

// Runs both flows at once, keeping the tool's stdout drained (its log lines would otherwise fill
// the pipe and hold the pumps); true when every byte arrived, in order, and no more.
bool cross_both_ways(Child& tool, Flow& aToB, Flow& bToA, std::chrono::seconds limit = 240s) {
  const auto deadline = Clock::now() + limit;
  while (!aToB.done() || !bToA.done()) {
    // Both flows step every round: no short-circuit.
    const bool movedAToB = aToB.step();
    const bool movedBToA = bToA.step();
    const bool moved = movedAToB || movedBToA;
    tool.drain(0ms);
    if (Clock::now() > deadline) break;
    if (!moved) {
      pollfd fds[2] = {{aToB.to.master(), POLLIN, 0}, {bToA.to.master(), POLLIN, 0}};
      ::poll(fds, 2, 5);
    }
  }
  tool.drain(100ms);
  for (const Flow* f : {&aToB, &bToA}) {
    EXPECT_EQ(f->received, f->bytes.size());
    EXPECT_EQ(f->first_difference, std::string::npos) << "first differing byte at " << f->first_difference;
  }
  return aToB.received == aToB.bytes.size() && bToA.received == bToA.bytes.size() &&
         aToB.first_difference == std::string::npos && bToA.first_difference == std::string::npos;
}

// The traffic lines among the tool's lines from `first` on: how many, the bytes they count,
// and the largest single count; and how many lines its output dropped meanwhile, since a reader
// that falls behind (a loaded machine) loses whole lines and is told how many.
struct LineTally {
  std::size_t lines = 0, bytes = 0, largest = 0, dropped = 0;
};

LineTally tally(const Child& tool, std::size_t first, std::string_view marker) {
  LineTally t;
  const auto& lines = tool.lines();
  for (std::size_t i = first; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.starts_with("[") && line.ends_with(" lines dropped]")) t.dropped += std::stoul(line.substr(1));
    const auto at = line.find(marker);
    if (at == std::string::npos) continue;
    const std::size_t digits = line.find_first_of("0123456789");
    const std::size_t count = std::stoul(line.substr(digits));
    ++t.lines;
    t.bytes += count;
    t.largest = std::max(t.largest, count);
  }
  return t;
}

constexpr std::string_view kToBLine = " bytes <-BT<-FF<- <<<";
constexpr std::string_view kToALine = ">>> ";

// True while some process holds an exclusive lock on the tty at `path`.
bool held_by_another(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

class BridgeEndToEnd : public ::testing::Test {
 protected:
  Registry BaseRegistry() {
    return folder_.base_registry()
        .key(REG_SERIAL)
        .dword("Index", 1)
        .key(REG_SERIAL2)
        .dword("Index", 2)
        .key(REG_DEVICES)
        .sz("COM1:", ff_.path())
        .sz("COM2:", bt_.path())
        .sz("COM3:", irda_.path());
  }
  void Start(const Registry& registry) { tool_ = folder_.start(registry); }
  ::testing::AssertionResult Shows(std::string_view text, std::chrono::milliseconds limit = 20s) {
    if (tool_->wait_for(text, limit)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << tool_->transcript();
  }
  void Exit() {
    ASSERT_TRUE(tool_->send_line("menu System/Exit"));
    EXPECT_EQ(tool_->wait_exit(30s), 0) << tool_->transcript();
  }
  // A few bytes each way, to see that the bridge moves them.
  void ExpectBridgeMoves(unsigned seed) {
    const std::string aToB = pattern_bytes(3000, seed), bToA = pattern_bytes(2000, seed + 1);
    Flow there{aToB, ff_, irda_}, back{bToA, irda_, ff_};
    EXPECT_TRUE(cross_both_ways(*tool_, there, back, 30s));
  }

  ProgramFolder folder_;
  SerialPty ff_, bt_, irda_;
  std::unique_ptr<Child> tool_;
};

TEST_F(BridgeEndToEnd, VolumesCrossBothWaysInOrderWithTheLinesTheDebugChoiceSelects) {
  Start(BaseRegistry());
  ASSERT_TRUE(tool_->send_line("menu Tools/Debug Message/BT <- FF <-"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("COM1: opened"));
  ASSERT_TRUE(Shows("IRDA(COM3:) opened"));
  ASSERT_TRUE(Shows("Baudrate:115200,Parity:none"));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));

  // Side A to side B is logged, by bytes written, in chunks of at most 1024 bytes.
  const std::string aToB = pattern_bytes(kVolume, 11), bToA = pattern_bytes(kVolume, 12);
  ASSERT_NE(aToB.find('\xFF'), std::string::npos);
  std::size_t first = tool_->lines().size();
  Flow there{aToB, ff_, irda_}, back{bToA, irda_, ff_};
  ASSERT_TRUE(cross_both_ways(*tool_, there, back));
  LineTally toB = tally(*tool_, first, kToBLine);
  EXPECT_LE(toB.bytes, kVolume);
  EXPECT_GE(toB.bytes + toB.dropped * 1024, kVolume);
  EXPECT_LE(toB.largest, 1024u);
  EXPECT_GE(toB.lines + toB.dropped, kVolume / 1024);
  EXPECT_EQ(tally(*tool_, first, kToALine).lines, 0u);

  // The other direction only, then none.
  ASSERT_TRUE(tool_->send_line("menu Tools/Debug Message/-> BT -> FF"));
  tool_->drain(300ms);
  const std::string small = pattern_bytes(100000, 13);
  first = tool_->lines().size();
  Flow there2{small, ff_, irda_}, back2{small, irda_, ff_};
  ASSERT_TRUE(cross_both_ways(*tool_, there2, back2));
  EXPECT_EQ(tally(*tool_, first, kToALine).bytes, small.size());
  EXPECT_EQ(tally(*tool_, first, kToBLine).lines, 0u);

  ASSERT_TRUE(tool_->send_line("menu Tools/Debug Message/None"));
  tool_->drain(300ms);
  first = tool_->lines().size();
  Flow there3{small, ff_, irda_}, back3{small, irda_, ff_};
  ASSERT_TRUE(cross_both_ways(*tool_, there3, back3));
  EXPECT_EQ(tally(*tool_, first, kToALine).lines + tally(*tool_, first, kToBLine).lines, 0u);
  Exit();
}

TEST_F(BridgeEndToEnd, GetComsTwiceKeepsTheBridgeAndReleaseThenGetComsWorksAgain) {
  Start(BaseRegistry());
  ASSERT_TRUE(tool_->send_line("menu Tools/Debug Message/None"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Open FF(COM1:) failed."));
  ASSERT_TRUE(Shows("Open IRDA(COM3:) failed."));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  ExpectBridgeMoves(21);

  ASSERT_TRUE(tool_->send_line(kReleaseComs));
  ASSERT_TRUE(Shows("COMs released, R/W threads stopped"));
  EXPECT_FALSE(held_by_another(ff_.path()));
  EXPECT_FALSE(held_by_another(irda_.path()));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("COM1: opened"));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  ExpectBridgeMoves(23);
  Exit();
}

TEST_F(BridgeEndToEnd, SourceIsLockedWhileAPortIsOpenAndFreeAfterRelease) {
  Start(BaseRegistry());
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  ASSERT_TRUE(tool_->send_line("menu Tools/Select Source/COM(BTUART)"));
  ASSERT_TRUE(Shows("COMs should be released first"));
  ASSERT_TRUE(tool_->send_line("answer ok"));
  ASSERT_TRUE(tool_->send_line(kReleaseComs));
  ASSERT_TRUE(Shows("COMs released, R/W threads stopped"));
  ASSERT_TRUE(tool_->send_line("menu Tools/Select Source/COM(BTUART)"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("COM1: opened"));
  ASSERT_TRUE(Shows("COM2: opened"));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  EXPECT_EQ(tool_->transcript().find("box:", tool_->transcript().find("COMs released")), std::string::npos);
  Exit();
}

TEST_F(BridgeEndToEnd, HalfOpenBridgeHoldsFfuartUntilRelease) {
  Start(folder_.base_registry()
            .key(REG_SERIAL)
            .dword("Index", 1)
            .key(REG_SERIAL2)
            .dword("Index", 12)
            .key(REG_DEVICES)
            .sz("COM1:", ff_.path()));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("COM1: opened"));
  ASSERT_TRUE(Shows("Open IRDA(COM3:) failed."));
  ASSERT_TRUE(Shows("COM3: not mapped in " + folder_.registry_file().string()));
  ASSERT_TRUE(Shows("one of the handles is INVALID_HANDLE_VALUE"));
  EXPECT_TRUE(held_by_another(ff_.path()));
  ASSERT_TRUE(tool_->send_line("menu Tools/Select Source/COM(BTUART)"));
  ASSERT_TRUE(Shows("COMs should be released first"));
  ASSERT_TRUE(tool_->send_line("answer ok"));
  ASSERT_TRUE(tool_->send_line(kReleaseComs));
  ASSERT_TRUE(Shows("COMs released, R/W threads stopped"));
  EXPECT_FALSE(held_by_another(ff_.path()));

  // BTUART named by Index 12: no port name at all.
  ASSERT_TRUE(tool_->send_line("menu Tools/Select Source/COM(BTUART)"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Open BT() failed."));
  ASSERT_TRUE(Shows("one of the handles is INVALID_HANDLE_VALUE"));
  const auto& lines = tool_->lines();
  const auto failed = std::find(lines.rbegin(), lines.rend(), "Open BT() failed.");
  ASSERT_NE(failed, lines.rend());
  EXPECT_EQ(*(failed - 1), "BTUART: \"Index\" under [HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2] in " +
                               folder_.registry_file().string() + " is 12, not a port number from 0 to 9");
  Exit();
}

// A terminal program's live lock file keeps FFUART away, and the pane says who holds it; a
// missing device says so. Nothing of theirs is touched.
TEST_F(BridgeEndToEnd, PortsInUseOrMissingAreRefusedWithTheReasonInThePane) {
  const std::string lock = lock_file_path(ff_.path());
  if (lock.empty()) GTEST_SKIP() << "no writable lock folder";
  write_file(lock, lock_file_text(::getpid()));
  const std::string holder = "in use by e2e_tests (pid " + std::to_string(::getpid()) + ")";
  Start(BaseRegistry().sz("COM3:", "/nonexistent/ttyUSB9"));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Open FF(COM1:) failed."));
  ASSERT_TRUE(Shows("COM1: is " + ff_.path() + ": " + holder));
  ASSERT_TRUE(Shows("Open IRDA(COM3:) failed."));
  ASSERT_TRUE(Shows("COM3: is /nonexistent/ttyUSB9: no such device"));
  ASSERT_TRUE(Shows("one of the handles is INVALID_HANDLE_VALUE"));
  EXPECT_FALSE(held_by_another(ff_.path()));
  EXPECT_EQ(read_file(lock), lock_file_text(::getpid()));
  // The debug file is written by its own writer thread: the line may come a moment later.
  EXPECT_TRUE(eventually([&] { return folder_.count_debug_lines(ff_.path() + " is " + holder) == 1; }, 5s));
  Exit();
  EXPECT_NE(read_file(folder_.stderr_file()).find(ff_.path() + " is " + holder), std::string::npos);
  fs::remove(lock);
}

// The tool's own lock files exist exactly while it holds the ports, and the ttys get back the
// settings they had, after Release COMs and when the tool is ended by SIGTERM.
TEST_F(BridgeEndToEnd, PortsAreLockedWhileHeldAndLeftAsFoundAfterReleaseAndSigterm) {
  const termios ff_found = ff_.cook(), irda_found = irda_.cook();
  const std::string ff_lock = lock_file_path(ff_.path()), irda_lock = lock_file_path(irda_.path());
  Start(BaseRegistry());
  auto locked = [&] {
    return ff_lock.empty() || (read_file(ff_lock) == lock_file_text(tool_->pid()) &&
                               read_file(irda_lock) == lock_file_text(tool_->pid()));
  };
  auto left_as_found = [&] {
    EXPECT_TRUE(ff_lock.empty() || (!fs::exists(ff_lock) && !fs::exists(irda_lock)));
    EXPECT_TRUE(same_settings(ff_.near_settings(), ff_found));
    EXPECT_TRUE(same_settings(irda_.near_settings(), irda_found));
  };
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Baudrate:115200,Parity:none"));
  EXPECT_TRUE(locked());
  EXPECT_FALSE(same_settings(ff_.near_settings(), ff_found));
  ASSERT_TRUE(tool_->send_line(kReleaseComs));
  ASSERT_TRUE(Shows("COMs released, R/W threads stopped"));
  left_as_found();

  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Baudrate:115200,Parity:none"));
  EXPECT_TRUE(locked());
  ::kill(tool_->pid(), SIGTERM);
  EXPECT_EQ(tool_->wait_exit(20s), 128 + SIGTERM);
  left_as_found();
}

TEST_F(BridgeEndToEnd, ExitWhileBytesFlowEndsWithStatusZero) {
  Start(BaseRegistry());
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> moved{0};
  auto traffic = [&](const SerialPty& from, const SerialPty& to) {
    const std::string chunk = pattern_bytes(4096, 31);
    char buffer[65536];
    while (!stop.load()) {
      [[maybe_unused]] ssize_t w = ::write(from.master(), chunk.data(), chunk.size());
      ssize_t n = ::read(to.master(), buffer, sizeof buffer);
      if (n > 0) moved += static_cast<std::size_t>(n);
      pollfd fd{to.master(), POLLIN, 0};
      ::poll(&fd, 1, 1);
    }
  };
  std::thread aToB(traffic, std::cref(ff_), std::cref(irda_));
  std::thread bToA(traffic, std::cref(irda_), std::cref(ff_));
  EXPECT_TRUE(eventually(
      [&] {
        tool_->drain(0ms);
        return moved.load() > 1000000;
      },
      60s));
  ASSERT_TRUE(tool_->send_line("key ctrl+q"));
  EXPECT_EQ(tool_->wait_exit(30s), 0) << tool_->transcript();
  stop = true;
  aToB.join();
  bToA.join();
}

// The demo's wiring: FFUART is the simulated module's line, IrDA the tool's end of the
// simulator's null-modem cable; a terminal on the cable's other end talks to the module.
TEST_F(BridgeEndToEnd, TerminalOnTheNullModemGetsTheModulesAnswer) {
  TempDir simDir("kov02-bridge-sim");
  const fs::path toolEnd = simDir / "bt-tool", userEnd = simDir / "bt-user";
  Sim sim(simDir.path(), {"--null-modem", toolEnd.string(), userEnd.string()});
  Start(folder_.base_registry()
            .key(REG_SERIAL)
            .dword("Index", 1)
            .key(REG_DEVICES)
            .sz("COM1:", sim.module_pty())
            .sz("COM3:", toolEnd.string()));
  ASSERT_TRUE(tool_->send_line(kGetComs));
  ASSERT_TRUE(Shows("Stopbits:1,Databits:8"));

  // As a terminal program opens it: raw, no echo.
  int terminal = ::open(userEnd.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  termios raw{};
  ASSERT_EQ(::tcgetattr(terminal, &raw), 0);
  ::cfmakeraw(&raw);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 1;
  ASSERT_EQ(::tcsetattr(terminal, TCSANOW, &raw), 0);
  ASSERT_EQ(::write(terminal, "AT\r", 3), 3);
  std::string answer;
  EXPECT_TRUE(eventually(
      [&] {
        char buffer[64];
        ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
        tool_->drain(0ms);
        return answer.find("OK\r\n") != std::string::npos;
      },
      20s));
  EXPECT_EQ(answer, "\r\nOK\r\n");
  ::close(terminal);
  Exit();
}

}  // namespace
