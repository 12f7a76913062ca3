// What only a real tty shows: termios reaching the device, exclusive open across processes,
// lock files and other holders, PARMRK through the line discipline, hang-up without spinning,
// why a device fails to open, and modem lines and low latency where a pty has neither.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <utility>

#include "eventually.h"
#include "kernel/output_queue.h"
#include "kernel/text.h"
#include "port_lines.h"
#include "registry/registry.h"
#include "serial/line_watch.h"
#include "serial/low_latency.h"
#include "serial/port_users.h"
#include "temp_dir.h"
#include "test_objects.h"

namespace serial_test {
namespace {

using namespace std::chrono_literals;
using kov02::kernel::testing::device_failure;

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

// The line marks breaks and errors in band only while the mask asks for EV_BREAK or EV_ERR;
// otherwise 0xFF is an ordinary byte and nothing is decoded or reported.
TEST_F(TtyPort, MarksFollowTheMask) {
  open_port();
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
// value and order across mask changes in both directions: unmarked, 0xFF is an ordinary byte;
// marked, a literal 0xFF and a break-like sequence still arrive as data, with no error.
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
  const Bytes first = {0x01, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x02};
  const Bytes second = {0x03, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x04};
  const Bytes third = {0xFF, 0xFF, 0x05};
  const Bytes fourth = {0x06, 0xFF};
  pty_.send(first);
  ASSERT_EQ(wait_queued(port_, 7), 7u);  // pulled by the port before the switch
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

// A child process takes the port first; this process must then be refused by the lock the
// child holds (this process's own table knows nothing of it), and get the port once the child
// has gone.
TEST_F(TtyPort, APortHeldByAnotherProcessIsRefusedEvenToRoot) {
  int link[2];  // the child says whether it opened the port, then holds it until told
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const char opened = kov02::serial::open_tty(pty_.path()) != INVALID_HANDLE_VALUE ? 'y' : 'n';
    char done = 0;
    _exit(write(link[1], &opened, 1) == 1 && read(link[1], &done, 1) == 1 ? 0 : 1);
  }
  char opened = 0;
  ASSERT_EQ(read(link[0], &opened, 1), 1);
  ASSERT_EQ(opened, 'y');
  EXPECT_EQ(kov02::serial::open_tty(pty_.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_EQ(write(link[0], "x", 1), 1);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  close(link[0]);
  close(link[1]);
  open_port();
}

// A terminal program that locks the tty with flock alone, and writes no lock file, is named
// from /proc/locks: the child here calls itself picocom.
TEST_F(TtyPort, APortFlockedByAnotherProgramIsRefusedWithThatProgramsNameAndPid) {
  int link[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "picocom");
    const int fd = open(pty_.path().c_str(), O_RDWR | O_NOCTTY);
    const char locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    char done = 0;
    _exit(write(link[1], &locked, 1) == 1 && read(link[1], &done, 1) == 1 ? 0 : 1);
  }
  char locked = 0;
  ASSERT_EQ(read(link[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'y');
  std::string reason;
  testing::internal::CaptureStderr();
  EXPECT_EQ(kov02::serial::open_tty(pty_.path(), &reason), INVALID_HANDLE_VALUE);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  const std::string holder = "in use by picocom (pid " + std::to_string(child) + ")";
  EXPECT_EQ(reason, holder);
  EXPECT_NE(said.find(pty_.path() + " is " + holder), std::string::npos) << said;
  ASSERT_EQ(write(link[0], "x", 1), 1);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  close(link[0]);
  close(link[1]);
  open_port();
}

// A pid no process has.
pid_t dead_pid() {
  const pid_t gone = fork();
  return gone == 0 ? (_exit(0), 0) : (waitpid(gone, nullptr, 0), gone);
}

// A lock file whose owner is gone is taken over, in the text form or the old 4-byte binary one,
// and so is an old empty one; an empty one under 2 s old is still being written and holds the
// port. Ours names this process while the tty is held and goes with the close.
TEST_F(TtyPort, StaleLockFilesAreTakenOverAndOursLastsWhileTheTtyIsHeld) {
  EXPECT_EQ(kov02::serial::lock_file_name("/tmp"), "");
  const std::string lock = lock_file_path(pty_.path());
  if (lock.empty()) GTEST_SKIP() << "no writable lock folder";
  EXPECT_EQ("/run/lock/" + kov02::serial::lock_file_name(pty_.path()), lock);
  const auto binary = [](pid_t pid) { return std::string(reinterpret_cast<const char*>(&pid), sizeof pid); };
  const struct {
    std::string text;
    int age_s;
    bool held;
  } rows[] = {{lock_file_text(dead_pid()), 0, false},
              {binary(dead_pid()), 0, false},
              {"", 5, false},
              {binary(::getppid()), 0, true},
              {"", 0, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.text.size() << " bytes, " << row.age_s << " s old");
    test_support::write_file(lock, row.text);
    const timespec times[2] = {{time(nullptr) - row.age_s, 0}, {time(nullptr) - row.age_s, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, lock.c_str(), times, 0), 0);
    testing::internal::CaptureStderr();
    port_ = kov02::serial::open_tty(pty_.path());
    const std::string warned = testing::internal::GetCapturedStderr();
    EXPECT_EQ(port_ == INVALID_HANDLE_VALUE, row.held);
    EXPECT_EQ(warned.find("stale lock is taken over") != std::string::npos, !row.held);
    EXPECT_EQ(test_support::read_file(lock), row.held ? row.text : lock_file_text(getpid()));
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(port_, INVALID_HANDLE_VALUE));
    EXPECT_EQ(::unlink(lock.c_str()) == 0, row.held);
  }
}

// Opens the port on a thread; a FIFO at `planted` that holds the open up is then opened for
// reading so the thread ends, and the test fails instead of hanging.
bool opens_without_waiting(HANDLE* port, const std::string& pty, const std::string& planted) {
  std::atomic<bool> done{false};
  std::thread opener([&] { *port = kov02::serial::open_tty(pty), done = true; });
  const bool in_time = test_support::eventually([&] { return done.load(); }, 10s);
  const int reader = in_time ? -1 : ::open(planted.c_str(), O_RDONLY | O_NONBLOCK);
  opener.join();
  if (reader >= 0) ::close(reader);
  return in_time;
}

// Another user's FIFO or file where the lock's temporary file used to go (a name made of the
// lock's and the pid) neither holds the open up nor becomes the lock; at the lock's own name, it
// is neither removed nor written, and the port is still used.
TEST_F(TtyPort, AnotherUsersFilesAtTheLockAndItsTemporaryNameAreNeitherFollowedNorTaken) {
  const std::string lock = lock_file_path(pty_.path());
  if (lock.empty()) GTEST_SKIP() << "no writable lock folder";
  if (::geteuid() != 0) GTEST_SKIP() << "planting files as nobody needs root";
  const std::string temporary = "/run/lock/." + kov02::serial::lock_file_name(pty_.path()) + "." +
                                std::to_string(::getpid());  // the name the temporary file used to have
  // As the unprivileged user nobody: a FIFO, then a file naming a dead process.
  const std::string plants[] = {"mkfifo -m 666 ", "printf \"%10d\\n\" " + std::to_string(dead_pid()) + " >"};
  const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '";
  for (const std::string& at : {temporary, lock}) {
    for (const std::string& plant : plants) {
      SCOPED_TRACE(plant + at);
      ASSERT_EQ(std::system((as_nobody + plant + at + "'").c_str()), 0);
      struct stat planted {
      }, now{};
      ASSERT_EQ(::lstat(at.c_str(), &planted), 0);
      testing::internal::CaptureStderr();
      EXPECT_TRUE(opens_without_waiting(&port_, pty_.path(), at));
      const std::string warned = testing::internal::GetCapturedStderr();
      ASSERT_NE(port_, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(::lstat(at.c_str(), &now) == 0 && now.st_ino == planted.st_ino && now.st_uid == 65534);
      // At the lock's name: a warning; beside it: the lock made anew is ours.
      EXPECT_TRUE(at == lock ? warned.find(lock + " ") != std::string::npos
                             : ::lstat(lock.c_str(), &now) == 0 && now.st_uid == 0)
          << warned;
      CloseHandle(std::exchange(port_, INVALID_HANDLE_VALUE));
      ::unlink(at.c_str());
    }
  }
}

// While it lives, a tty driver that keeps serial settings stands in for the real calls (a pty
// keeps none): the flags as the driver holds them, and each set as it came.
class KeptSerialInfo {
 public:
  explicit KeptSerialInfo(int found) : was_(kov02::serial::use_serial_info_calls({get, set})) {
    flags = found;
    sets.clear();
  }
  ~KeptSerialInfo() { kov02::serial::use_serial_info_calls(was_); }

  static inline int flags = 0;
  static inline std::vector<int> sets;

 private:
  static int get(int, serial_struct* info) {
    info->flags = flags;
    return 0;
  }
  static int set(int, serial_struct* info) {
    flags = info->flags;
    sets.push_back(flags);
    return 0;
  }
  kov02::serial::SerialInfoCalls was_;
};

void flush_stderr() {
  kov02::kernel::fd_output(STDERR_FILENO)->flush(std::chrono::steady_clock::now() + 5s);
}

TEST_F(TtyPort, LowLatencyIsAskedWhereTheTtyKeepsSerialSettingsUnlessTheRegistrySaysNo) {
  const struct {
    const char* name;
    const char* registry;
    int found;
    std::vector<int> sets;
  } cases[] = {
      {"asked and taken back", "", ASYNC_SPD_HI, {ASYNC_SPD_HI | ASYNC_LOW_LATENCY, ASYNC_SPD_HI}},
      {"already low: left alone", "", ASYNC_LOW_LATENCY, {}},
      {"turned off", "\"LowLatency\"=dword:00000000\n", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    ASSERT_TRUE(kov02::registry::load_string(
        std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n") + c.registry, &error))
        << error;
    KeptSerialInfo kept(c.found);
    open_port();
    CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(KeptSerialInfo::sets, c.sets);
  }
  kov02::registry::clear();
}

// A pty has neither serial settings nor modem lines: the open skips low latency without a word,
// the lines read as off, and that is said once.
TEST_F(TtyPort, APtyOpensSilentlyAndItsMissingModemLinesReadAsOffSaidOnce) {
  flush_stderr();  // earlier tests' lines are not this one's
  testing::internal::CaptureStderr();
  open_port();
  DWORD status = 0xFFFF;
  EXPECT_TRUE(GetCommModemStatus(port_, &status));
  EXPECT_EQ(status, 0u);
  ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS | EV_DSR | EV_RING | EV_RLSD));
  pty_.send({0x41});
  DWORD events = 0;
  EXPECT_TRUE(WaitCommEvent(port_, &events, nullptr));
  EXPECT_EQ(events, DWORD{EV_RXCHAR});
  EXPECT_TRUE(GetCommModemStatus(port_, &status));
  const std::string note =
      "kov02tool: serial port " + pty_.path() + ": has no modem lines; CTS, DSR, RING and RLSD read as off\n";
  flush_stderr();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), note);
}

// The driver's wait for line changes blocks in the kernel; the watch must relay each change, end
// by itself when the driver refuses, and still stop when blocked.
TEST(LineWatch, RelaysChangesEndsOnARefusalAndStopsAThreadBlockedInTheKernel) {
  std::atomic<int> changes{0};
  std::atomic<int> calls{0};
  {
    kov02::serial::LineWatch watch([&] { return ++calls <= 2 ? 0 : (errno = ENOTTY, -1); },
                                   [&] { ++changes; });
    for (int i = 0; i < 2000 && watch.waits(); ++i) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(watch.waits());
  }
  EXPECT_EQ(changes.load(), 3) << "two changes and one look after the refusal";

  std::atomic<bool> entered{false};
  const auto start = std::chrono::steady_clock::now();
  {
    kov02::serial::LineWatch watch([&] { return entered = true, poll(nullptr, 0, -1); }, [&] { ++changes; });
    while (!entered) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(watch.waits());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(changes.load(), 3) << "stopping is no change";
}

// A fake /proc tree: process 4711 ("picocom") holds the pty's near end, 4712 (no name) /dev/null.
TEST_F(TtyPort, OtherHoldersAreFoundInProcButAPtysPeerDoesNotKeepItsPortAway) {
  const test_support::TempDir proc("kov02-proc");
  const std::filesystem::path& root = proc.path();
  std::filesystem::create_directories(root / "4711" / "fd");
  std::filesystem::create_directories(root / "4712" / "fd");
  std::filesystem::create_directories(root / "sys");
  std::ofstream(root / "4711" / "comm") << "picocom\n";
  std::filesystem::create_symlink("/dev/null", root / "4711" / "fd" / "0");
  std::filesystem::create_symlink(pty_.path(), root / "4711" / "fd" / "7");
  std::filesystem::create_symlink("/dev/null", root / "4712" / "fd" / "3");
  kov02::serial::set_proc_root(root.string());

  struct stat tty {
  }, null{};
  ASSERT_EQ(stat(pty_.path().c_str(), &tty), 0);
  ASSERT_EQ(stat("/dev/null", &null), 0);
  const auto held = kov02::serial::other_holder(tty.st_rdev);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->pid, 4711);
  EXPECT_EQ(held->name, "picocom");
  EXPECT_TRUE(kov02::serial::is_pseudo_terminal(tty.st_rdev));
  EXPECT_FALSE(kov02::serial::is_pseudo_terminal(null.st_rdev));
  struct stat zero {};
  ASSERT_EQ(stat("/dev/zero", &zero), 0);
  EXPECT_FALSE(kov02::serial::other_holder(zero.st_rdev));
  open_port();

  kov02::serial::set_proc_root("/proc");
}

HANDLE open_device(LPCWSTR name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Opens COM1: in a child that may not use the pty: root drops to nobody, anyone else has the
// permission bits taken away meanwhile. True when the child saw `expected`.
bool child_without_access_sees(const std::string& tty, const std::wstring& expected) {
  struct stat before {};
  const bool drop_user = geteuid() == 0;
  if (!drop_user && (stat(tty.c_str(), &before) != 0 || chmod(tty.c_str(), 0) != 0)) return false;
  const pid_t child = fork();
  if (child == 0) {
    if (drop_user && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(open_device(L"COM1:") == INVALID_HANDLE_VALUE && device_failure() == expected ? 0 : 1);
  }
  int status = 0;
  const bool seen = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!drop_user) chmod(tty.c_str(), before.st_mode & 07777);
  return seen;
}

// Whatever the reason, a device that is not a usable tty does not exist for the caller.
TEST_F(TtyPort, AFailedDeviceOpenSaysWhyInPlainWords) {
  const test_support::TempDir dir("kov02-serial");
  const std::string file = (dir.path() / "plain").string();
  test_support::write_file(file, "");
  const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"" + pty_.path() +
                           "\"\n\"COM2:\"=\"/nonexistent/ttyS9\"\n\"COM5:\"=\"/dev/null\"\n\"COM6:\"=\"" +
                           file + "\"\n";
  std::string error;
  ASSERT_TRUE(kov02::registry::load_string(text, &error)) << error;
  const std::wstring tty = kov02::kernel::from_utf8(pty_.path());
  struct Row {
    LPCWSTR device;
    std::wstring reason;
  } rows[] = {
      {L"COM2:", L"COM2: is /nonexistent/ttyS9: no such device"},
      {L"COM4:", L"COM4: not mapped in no registry file"},
      {L"COM5:", L"COM5: is /dev/null: not a terminal device"},
      {L"COM6:", L"COM6: is " + kov02::kernel::from_utf8(file) + L": not a terminal device"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(open_device(row.device), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << row.reason;
    // A missing device is followed by the ports this machine has, when it has any.
    const std::wstring failure = device_failure();
    EXPECT_EQ(failure.substr(0, failure.find(L"; ports present: ")), row.reason);
  }
  EXPECT_TRUE(child_without_access_sees(
      pty_.path(), L"COM1: is " + tty + L": permission denied (add yourself to the dialout group)"));
  HANDLE port = open_device(L"COM1:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(device_failure(), L"") << "an open that succeeded leaves nothing to explain";
  std::thread other([] { EXPECT_EQ(open_device(L"COM4:"), INVALID_HANDLE_VALUE); });
  other.join();
  EXPECT_EQ(device_failure(), L"") << "another thread's failure is its own";
  CloseHandle(port);
  kov02::registry::clear();
}

}  // namespace
}  // namespace serial_test
