// The pump threads over fake lines and pseudo-terminals: a lost side, a port closed under a
// running pump, and many Get/Release cycles with traffic flowing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "bridge_rig.h"
#include "serial_pty.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::eventually;
using bridge_test::is_running;
using bridge_test::load_registry;
using bridge_test::RegistrySetup;
using kov02::serial::FakePort;
using serial_test::SerialPty;
using namespace std::chrono_literals;

class BridgeOverFakes : public BridgeTest {
 protected:
  void SetUp() override {
    ff_ = FakePort::create("pump-ff");
    irda_ = FakePort::create("pump-irda");
    RegistrySetup setup;
    setup.devices = {{"COM1:", "fake:pump-ff"}, {"COM3:", "fake:pump-irda"}};
    load_registry(setup.text());
    ASSERT_EQ(GetComs(nullptr), 0);
  }
  std::shared_ptr<FakePort> ff_, irda_;
};

// A port that went away fails every read at once; the pump must neither end before Release
// COMs nor spin on the failures meanwhile.
TEST_F(BridgeOverFakes, LostSideBKeepsBothPumpsWaitingQuietlyUntilRelease) {
  irda_->hang_up();
  const double before = std::clock() / double{CLOCKS_PER_SEC};
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(std::clock() / double{CLOCKS_PER_SEC} - before,
            0.12);  // idle pumps take about 0.015 s, a spinning one 0.3
  EXPECT_TRUE(is_running(g_hThreadFFtoBT.load()));
  EXPECT_TRUE(is_running(g_hThreadBTtoFF.load()));
  ReleaseComs(nullptr);
  EXPECT_FALSE(is_running(g_hThreadFFtoBT.load()));
  EXPECT_FALSE(is_running(g_hThreadBTtoFF.load()));
}

// The fds this process holds (the listing's own left out), each with what it leads to.
std::map<int, std::string> open_fds() {
  std::map<int, std::string> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    fds[std::stoi(entry.path().filename().string())] = std::filesystem::read_symlink(entry.path(), ignored);
  }
  std::erase_if(fds, [](const auto& fd) { return ::fcntl(fd.first, F_GETFD) == -1; });
  return fds;
}

// The fds opened since `before`, one "fd -> target" line each.
std::string describe_new_fds(const std::map<int, std::string>& before) {
  std::string out;
  for (const auto& [fd, target] : open_fds())
    if (!before.contains(fd)) out += std::to_string(fd) + " -> " + target + "\n";
  return out;
}

class BridgeOverPtys : public BridgeTest {
 protected:
  void Map() {
    RegistrySetup setup;
    setup.devices = {{"COM1:", ff_.path()}, {"COM3:", irda_.path()}};
    load_registry(setup.text());
  }
  SerialPty ff_, irda_;
};

// A pump keeps the handle it read from a state word; when that port is closed under it and the
// fd number is taken by another file, the pump must see a dead handle, never the new file.
TEST_F(BridgeOverPtys, PumpOnAClosedPortNeverTouchesTheFileThatReusesItsDescriptor) {
  Map();
  // Once through first, so that what the platform sets up on first use is in place.
  ASSERT_EQ(OpenBridgePort(nullptr, L"FFUART"), 1);
  StopBridge();
  // Get COMs step by step, to learn which descriptors are FFUART's.
  const auto before = open_fds();
  ASSERT_EQ(OpenBridgePort(nullptr, L"FFUART"), 1);
  std::set<int> ffFds;
  for (const auto& [fd, target] : open_fds())
    if (!before.contains(fd)) ffFds.insert(fd);
  ASSERT_FALSE(ffFds.empty());
  ASSERT_EQ(OpenIrdaPort(nullptr), 1);
  g_bRun.store(1);
  StartPumps(nullptr);
  ff_.send({'o', 'k'});
  ASSERT_EQ(irda_.receive(2, 5s).size(), 2u);

  SerialPty stranger;  // a file of our own, whose input the pump would forward
  int strangerFd = ::open(stranger.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(strangerFd, 0);
  termios raw{};
  ASSERT_EQ(::tcgetattr(strangerFd, &raw), 0);
  ::cfmakeraw(&raw);
  ASSERT_EQ(::tcsetattr(strangerFd, TCSANOW, &raw), 0);

  ASSERT_TRUE(CloseHandle(g_hFF.load()));  // the word still names it: the pumps run on
  ASSERT_TRUE(eventually([&] {
    for (int fd : ffFds)
      if (::fcntl(fd, F_GETFD) != -1) return false;
    return true;
  }));
  // Our file behind every freed number.
  for (int fd : ffFds) ASSERT_EQ(::dup2(strangerFd, fd), fd);
  stranger.send({'s', 'e', 'c', 'r', 'e', 't'});
  EXPECT_TRUE(irda_.receive(1, 300ms).empty());
  EXPECT_TRUE(is_running(g_hThreadFFtoBT.load()));
  char got[16] = {};
  EXPECT_EQ(::read(strangerFd, got, sizeof got), 6);
  StopBridge();
  for (int fd : ffFds) ::close(fd);
  ::close(strangerFd);
}

// Many Get/Release cycles with bytes flowing both ways: every cycle's pumps end and its ports
// close, so nothing piles up.
TEST_F(BridgeOverPtys, ThousandCyclesWithTrafficLeaveNoFdThreadOrHandleBehind) {
  Map();
  // Holding each near end open keeps the masters from seeing a hang-up between cycles.
  int keepFF = ::open(ff_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  int keepIrda = ::open(irda_.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(keepFF, 0);
  ASSERT_GE(keepIrda, 0);
  // A first thread makes a sanitizer start its own helper thread, which stays; counted before.
  std::thread([] {}).join();
  const std::size_t threads = bridge_test::thread_count();
  // One cycle first: from then on the thread words always hold the last cycle's two handles.
  ASSERT_EQ(GetComs(nullptr), 0);
  ASSERT_EQ(ReleaseComs(nullptr), 0);
  const auto fds = open_fds();
  const std::size_t handles = kov02::kernel::live_handle_count();

  std::atomic<bool> stop{false};
  std::atomic<std::size_t> crossed{0};
  auto traffic = [&](const SerialPty& from, const SerialPty& to) {
    const std::vector<BYTE> chunk(512, 0x5A);
    while (!stop.load()) {
      from.send(chunk);
      crossed += to.receive(4096, 10ms).size();
    }
  };
  std::thread aToB(traffic, std::cref(ff_), std::cref(irda_));
  std::thread bToA(traffic, std::cref(irda_), std::cref(ff_));
  for (int cycle = 0; cycle < 1000; ++cycle) {
    ASSERT_EQ(GetComs(nullptr), 0) << cycle;
    if (cycle % 100 == 0) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(ReleaseComs(nullptr), 0) << cycle;
    ASSERT_FALSE(is_running(g_hThreadFFtoBT.load())) << cycle;
    ASSERT_FALSE(is_running(g_hThreadBTtoFF.load())) << cycle;
  }
  stop = true;
  aToB.join();
  bToA.join();
  EXPECT_GT(crossed.load(), 0u);
  // A pump thread lets go of its last fd only as it exits, a moment after it has ended. Now and
  // then one eventfd outlives the cycles (a platform object, not a port: no tty is among them);
  // what is checked is that nothing grows with the cycles.
  EXPECT_TRUE(eventually([&] { return bridge_test::thread_count() <= threads; }))
      << bridge_test::thread_count() << " threads, " << threads << " before";
  EXPECT_TRUE(eventually([&] { return open_fds().size() <= fds.size() + 2; })) << describe_new_fds(fds);
  EXPECT_EQ(describe_new_fds(fds).find("/dev/pts"), std::string::npos) << describe_new_fds(fds);
  EXPECT_EQ(kov02::kernel::live_handle_count(), handles);
  ::close(keepFF);
  ::close(keepIrda);
}

}  // namespace
