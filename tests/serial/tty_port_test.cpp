// What only a real tty shows: termios reaching the device, exclusive open across processes,
// PARMRK through the line discipline, hang-up without spinning, device map entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "port_lines.h"
#include "registry/registry.h"

namespace serial_test {
namespace {

using namespace std::chrono_literals;

class TtyPort : public ::testing::Test {
 protected:
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
  }
  void open_port() {
    port_ = kov02::serial::open_tty(pty_.path());
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
  }

  SerialPty pty_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(TtyPort, OpenPutsACookedLineIntoTheRawBaselineSoBytesPassUnchanged) {
  termios cooked = pty_.near_settings();
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty_.master(), TCSANOW, &cooked), 0);
  open_port();

  const termios raw = pty_.near_settings();
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_iflag & (PARMRK | INPCK), 0u) << "marks stay off until a mask asks for them";

  pty_.send({'\r', '\n', 0x03, 0x11, 0x13, 0x7F});
  ASSERT_EQ(wait_queued(port_, 6), 6u);
  EXPECT_EQ(read_now(port_, 16), (Bytes{'\r', '\n', 0x03, 0x11, 0x13, 0x7F}));
  const BYTE out[] = {'\n', '\r', 0x00};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port_, out, sizeof out, &written, nullptr));
  EXPECT_EQ(pty_.receive(3, 1s), (Bytes{'\n', '\r', 0x00}));
}

TEST_F(TtyPort, SettingsReachTheTtyAndFieldsItCannotHoldReadBackAsSet) {
  open_port();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port_, &dcb));
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 7;  // a pty always holds 8 bits without parity
  dcb.Parity = 2;
  dcb.fParity = 1;
  dcb.StopBits = ONE5STOPBITS;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fOutxCtsFlow = 0;
  ASSERT_TRUE(SetCommState(port_, &dcb));

  const termios held = pty_.near_settings();
  EXPECT_EQ(cfgetospeed(&held), B115200);
  EXPECT_TRUE(held.c_cflag & CSTOPB) << "1.5 stop bits become 2";
  EXPECT_EQ(held.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(held.c_iflag & (IXON | IXOFF), 0u);

  DCB back{};
  ASSERT_TRUE(GetCommState(port_, &back));
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, 2);
  EXPECT_EQ(back.StopBits, ONE5STOPBITS);
}

TEST_F(TtyPort, ALiteralFFAndAMarkLikeSequenceArriveAsDataWithoutEvents) {
  open_port();
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
  const Bytes sent = {0x55, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x12, 0xFF};
  pty_.send(sent);
  DWORD events = 0;
  ASSERT_TRUE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(events & (EV_BREAK | EV_ERR), 0u);
  COMMTIMEOUTS none{};
  ASSERT_TRUE(SetCommTimeouts(port_, &none));
  Bytes got(sent.size());
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port_, got.data(), static_cast<DWORD>(got.size()), &count, nullptr));
  EXPECT_EQ(got, sent);
  DWORD errors = 0xFFFF;
  ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
  EXPECT_EQ(errors, 0u);
}

// The line marks breaks and errors in band only while the mask asks for EV_BREAK or EV_ERR;
// otherwise 0xFF is an ordinary byte and nothing is decoded or reported.
TEST_F(TtyPort, MarksFollowTheMaskAndUnmarkedFFBytesPassUnchanged) {
  open_port();
  const Bytes sent = {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x41, 0xFF};
  pty_.send(sent);
  ASSERT_EQ(wait_queued(port_, 7), 7u);
  EXPECT_EQ(read_now(port_, 16), sent);
  DWORD errors = 0xFFFF;
  ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
  EXPECT_EQ(errors, 0u);

  struct Step {
    DWORD mask;
    bool marked;
  };
  for (const Step step : {Step{EV_RXCHAR | EV_BREAK | EV_ERR, true}, Step{EV_RXCHAR, false},
                          Step{EV_ERR, true}, Step{0, false}}) {
    SCOPED_TRACE(step.mask);
    ASSERT_TRUE(SetCommMask(port_, step.mask));
    const termios held = pty_.near_settings();
    EXPECT_EQ((held.c_iflag & PARMRK) != 0, step.marked);
    EXPECT_EQ((held.c_iflag & INPCK) != 0, step.marked);
  }
}

// Bytes the port pulled, and bytes the line discipline took in under the old mode, keep their
// value and order across mask changes in both directions.
TEST_F(TtyPort, SwitchingTheMaskKeepsBytesInOrderAndUndoubled) {
  open_port();
  // Reads `count` bytes, or what came within a generous bound; a doubled or swallowed 0xFF shows.
  const auto read_bytes = [&](std::size_t count) {
    COMMTIMEOUTS bounded{0, 0, 2000, 0, 0};
    SetCommTimeouts(port_, &bounded);
    Bytes got(count);
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(port_, got.data(), static_cast<DWORD>(count), &n, nullptr));
    got.resize(n);
    return got;
  };
  const Bytes first = {0x01, 0xFF, 0x02};
  const Bytes second = {0x03, 0xFF, 0xFF, 0x04};
  const Bytes third = {0xFF, 0xFF, 0x05};
  const Bytes fourth = {0x06, 0xFF};
  pty_.send(first);
  ASSERT_EQ(wait_queued(port_, 3), 3u);  // pulled by the port before the switch
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
  pty_.send(second);
  std::this_thread::sleep_for(50ms);  // lets the line discipline take them in, marked
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(read_bytes(expected.size()), expected);

  pty_.send(third);
  std::this_thread::sleep_for(50ms);  // taken in unmarked, read after marks are back on
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
  pty_.send(fourth);
  expected = third;
  expected.insert(expected.end(), fourth.begin(), fourth.end());
  EXPECT_EQ(read_bytes(expected.size()), expected);
  EXPECT_TRUE(read_now(port_, 4).empty());
  DWORD errors = 0xFFFF;
  ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
  EXPECT_EQ(errors, 0u);
}

TEST_F(TtyPort, FarEndClosingMidWaitEndsTheWaitWithoutSpinning) {
  open_port();
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_BREAK | EV_ERR));
  BOOL result = TRUE;
  DWORD error = 0;
  std::chrono::nanoseconds cpu{};
  std::thread waiter([&] {
    const auto before = thread_cpu_time();
    DWORD events = 0;
    result = WaitCommEvent(port_, &events, nullptr);
    error = GetLastError();
    if (result) return;
    // Once failed, further waits fail at once rather than blocking or spinning.
    for (int i = 0; i < 100; ++i) WaitCommEvent(port_, &events, nullptr);
    cpu = thread_cpu_time() - before;
  });
  std::this_thread::sleep_for(300ms);
  pty_.close_master();
  waiter.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, ERROR_DEVICE_REMOVED);
  EXPECT_LT(cpu, 150ms) << "a spinning wait would burn the whole 300 ms";
}

TEST_F(TtyPort, AWriteThatTheLineCannotTakeEndsAtItsBoundWithTheCountSent) {
  open_port();
  COMMTIMEOUTS bounded{MAXDWORD, 0, 0, 0, 100};
  ASSERT_TRUE(SetCommTimeouts(port_, &bounded));
  const Bytes big(1 << 20, 0x5A);  // far more than a pty buffers while nobody reads
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port_, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST_F(TtyPort, PathsThatAreNotTtysAreRefused) {
  char file[] = "/tmp/kov02-serial-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  for (const char* path : {"/dev/null", static_cast<const char*>(file), "/nonexistent/ttyS9"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(kov02::serial::open_tty(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  unlink(file);
}

// A child process takes the port first; this process must then be refused by the lock the
// child holds (this process's own table knows nothing of it), and get the port once the child
// has gone.
TEST_F(TtyPort, APortHeldByAnotherProcessIsRefusedEvenToRoot) {
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const char opened = kov02::serial::open_tty(pty_.path()) != INVALID_HANDLE_VALUE ? 'y' : 'n';
    ssize_t io = write(to_parent[1], &opened, 1);
    char done = 0;
    io = read(to_child[0], &done, 1);
    _exit(io == 1 ? 0 : 1);
  }
  char opened = 0;
  ASSERT_EQ(read(to_parent[0], &opened, 1), 1);
  ASSERT_EQ(opened, 'y');
  EXPECT_EQ(kov02::serial::open_tty(pty_.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_EQ(write(to_child[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
  open_port();
}

TEST_F(TtyPort, DeviceMapNamesOpenTtysAndFakesThroughCreateFile) {
  FakeLine fake;
  const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"" + pty_.path() +
                           "\"\n\"COM9:\"=\"fake:" + fake.name() + "\"\n";
  std::string error;
  ASSERT_TRUE(kov02::registry::load_string(text, &error)) << error;
  for (LPCWSTR name : {L"COM1:", L"COM9:"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb));
    CloseHandle(port);
  }
  EXPECT_EQ(CreateFileW(L"COM2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  kov02::registry::clear();
}

}  // namespace
}  // namespace serial_test
