// Finding and raising another instance's window through the per-user sockets, with a stand-in
// for the other process where one is needed.
#include "windowing/single_instance.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "win_test_window.h"

namespace {

using kov02::windowing::instance_socket_path;
using kov02::windowing::read_line;

// A new socket bound to `path` (for a listener) or connected to it; -1 when that fails.
int socket_at(const std::string& path, bool for_listener) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const auto* name = reinterpret_cast<sockaddr*>(&address);
  if ((for_listener ? ::bind(fd, name, sizeof address) : ::connect(fd, name, sizeof address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends one request line to the socket for `class_name`; the reply line, or "" without one.
std::string ask(const std::wstring& class_name, const std::string& request) {
  const int fd = socket_at(*instance_socket_path(class_name), false);
  if (fd < 0) return "";
  const std::string line = request + "\n";
  EXPECT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
  const std::string reply = read_line(fd, 5000, 64).value_or("");
  ::close(fd);
  return reply;
}

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override { WinTestWindow::use_private_runtime_dir(); }
};

TEST_F(SingleInstance, PublishedClassAnswersFindAndRaiseForItsLiveWindow) {
  WinTestWindow window;
  const std::wstring name = window.class_name();
  EXPECT_EQ(ask(name, "find"), "yes");
  EXPECT_EQ(ask(name, "find\tKOV02Tool test"), "yes");
  EXPECT_EQ(ask(name, "find\tanother title"), "no");
  EXPECT_EQ(ask(name, "hello"), "no");
  EXPECT_EQ(ask(name, "raise"), "yes");
  ASSERT_TRUE(window.pump_until([&] { return !window.backend().raised().empty(); }));
  EXPECT_EQ(window.backend().raised().front(), window.hwnd());
  DestroyWindow(window.hwnd());
  EXPECT_EQ(ask(name, "find"), "no") << "the socket stays, the window is gone";
}

// This test stands in for the other instance: it takes the request and answers no.
TEST_F(SingleInstance, FindWindowPassesTheTitleAndTakesNoForAnAnswer) {
  const std::string path = *instance_socket_path(L"TitledRemote");
  ::unlink(path.c_str());
  const int listener = socket_at(path, true);
  ASSERT_EQ(::listen(listener, 4), 0);
  HWND found = reinterpret_cast<HWND>(1);
  std::thread finder([&] { found = FindWindowW(L"TitledRemote", L"KOV02Tool"); });
  pollfd asked{listener, POLLIN, 0};
  const int other = ::poll(&asked, 1, 5000) == 1 ? ::accept(listener, nullptr, nullptr) : -1;
  EXPECT_EQ(read_line(other, 5000, 64).value_or(""), "find\tKOV02Tool");
  ::send(other, "no\n", 3, MSG_NOSIGNAL);
  finder.join();
  EXPECT_EQ(found, nullptr);
  ::close(other);
  ::close(listener);
}

TEST_F(SingleInstance, StaleSocketFileIsReplacedWhenTheClassIsPublished) {
  static int run = 0;  // a class is published once per process: each run takes a new one
  const std::wstring name = L"StaleClass" + std::to_wstring(run++);
  const std::string path = *instance_socket_path(name);
  const int stale = socket_at(path, true);  // a socket file whose process is gone: never listened to
  ASSERT_GE(stale, 0);
  ::close(stale);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = name.c_str();
  ASSERT_NE(RegisterClassW(&wc), 0);
  WinTestWindow ui;
  const HWND hwnd = CreateWindowExW(0, name.c_str(), L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(ask(name, "find"), "yes");
  DestroyWindow(hwnd);
}

TEST_F(SingleInstance, PrivateFolderIsRefusedWhenOthersCanEnterIt) {
  const test_support::TempDir folder("win-open");
  const std::string open = folder.file("kov02tool");
  ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  const std::string saved = std::getenv("XDG_RUNTIME_DIR");
  ::setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
  EXPECT_FALSE(instance_socket_path(L"AnyClass").has_value());
  EXPECT_EQ(FindWindowW(L"AnyClass", nullptr), nullptr);
  ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace
