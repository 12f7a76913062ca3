// Finding and raising another instance's window through the per-user sockets, with a stand-in
// for the other process where one is needed.
#include "windowing/single_instance.h"

#include <gtest/gtest.h>
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

// Another instance: listens at the class's socket, answers one request with `reply`.
class FakeInstance {
 public:
  FakeInstance(const std::wstring& class_name, std::string reply) : reply_(std::move(reply)) {
    const std::string path = *instance_socket_path(class_name);
    ::unlink(path.c_str());
    listener_ = socket_at(path, true);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this] {
      const int client = ::accept(listener_, nullptr, nullptr);
      request_ = read_line(client, 5000, 64).value_or("");
      const std::string line = reply_ + "\n";
      ::send(client, line.data(), line.size(), MSG_NOSIGNAL);
      ::close(client);
    });
  }
  ~FakeInstance() {
    ::shutdown(listener_, SHUT_RDWR);  // ends an accept that is still waiting
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  // The request the instance got (once the client is done).
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  std::string reply_;
  std::string request_;
  int listener_ = -1;
  std::thread thread_;
};

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

TEST_F(SingleInstance, FindWindowPassesTheTitleAndTakesNoForAnAnswer) {
  const std::wstring name = L"TitledRemote";
  FakeInstance other(name, "no");
  EXPECT_EQ(FindWindowW(name.c_str(), L"KOV02Tool"), nullptr);
  EXPECT_EQ(other.request(), "find\tKOV02Tool");
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
