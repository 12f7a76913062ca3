// Windows and messages: posting order, sending within and across threads, creation refused by
// WM_CREATE, destruction order, timers and handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_resources.h"
#include "win_test_window.h"

namespace {

using namespace std::chrono_literals;

// What the test procedures saw, in order: "<window tag>:<message>".
std::vector<std::string> g_seen;
LRESULT g_create_result = 0;

std::string tag_of(HWND hwnd) {
  wchar_t title[32] = {};
  DefWindowProcW(hwnd, WM_GETTEXT, 32, reinterpret_cast<LPARAM>(title));
  return std::string(title, title + wcslen(title));
}

LRESULT CALLBACK Recorder(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      g_seen.push_back(tag_of(hwnd) + ":create");
      return g_create_result;
    case WM_DESTROY:
      g_seen.push_back(tag_of(hwnd) + ":destroy");
      return 0;
    case WM_USER:
    case WM_TIMER:
      g_seen.push_back(tag_of(hwnd) + ":" +
                       std::to_string(message == WM_TIMER ? -1 : static_cast<int>(wParam)));
      return static_cast<LRESULT>(wParam) * 2;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    g_create_result = 0;
  }

  HWND make(const wchar_t* tag, HWND parent = nullptr, int id = 0) {
    const DWORD style = parent != nullptr ? WS_CHILD : 0;
    return CreateWindowExW(0, WinTestWindow::class_for(Recorder).c_str(), tag, style, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<std::intptr_t>(id)), nullptr, nullptr);
  }

  WinTestWindow window_;
};

TEST_F(MessagesTest, PostedMessagesArriveInOrderAcrossThreads) {
  const HWND hwnd = make(L"a");
  PostMessageW(hwnd, WM_USER, 1, 0);
  std::thread worker([hwnd] {
    for (WPARAM i = 2; i <= 4; ++i) PostMessageW(hwnd, WM_USER, i, 0);
  });
  worker.join();
  PostMessageW(hwnd, WM_USER, 5, 0);
  window_.pump();
  EXPECT_EQ(g_seen, (std::vector<std::string>{"a:create", "a:1", "a:2", "a:3", "a:4", "a:5"}));
  DestroyWindow(hwnd);
}

TEST_F(MessagesTest, SendRunsTheProcedureOnTheOwnersThreadAndReturnsItsResult) {
  const HWND hwnd = make(L"a");
  EXPECT_EQ(SendMessageW(hwnd, WM_USER, 5, 0), 10) << "at once on the owner's thread";
  EXPECT_EQ(g_seen.back(), "a:5");
  std::atomic<LRESULT> result{-1};
  std::thread worker([&] { result = SendMessageW(hwnd, WM_USER, 21, 0); });
  ASSERT_TRUE(window_.pump_until([&] { return result.load() != -1; }));
  worker.join();
  EXPECT_EQ(result.load(), 42);
  EXPECT_EQ(g_seen.back(), "a:21");
  EXPECT_EQ(SendMessageW(reinterpret_cast<HWND>(0x4444), WM_USER, 5, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  HWND orphan = nullptr;
  std::thread owner([&] { orphan = make(L"o"); });
  owner.join();
  EXPECT_EQ(SendMessageW(orphan, WM_USER, 5, 0), 0) << "the owner's thread has ended";
  DestroyWindow(hwnd);
}

// A window refused by its WM_CREATE never existed (no destroy); a close destroys the parent
// before its children.
TEST_F(MessagesTest, CreateRefusedByMinusOneGivesNullAndCloseDestroysTheWindowBeforeItsChildren) {
  const HWND parent = make(L"p");
  const HWND child = make(L"c", parent, 7);
  g_create_result = -1;
  EXPECT_EQ(make(L"r", parent, 3), nullptr);
  EXPECT_EQ(GetDlgItem(parent, 3), nullptr);
  g_create_result = 0;
  EXPECT_EQ(GetDlgItem(parent, 7), child);
  EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
  SendMessageW(parent, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(parent));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(g_seen, (std::vector<std::string>{"p:create", "c:create", "r:create", "p:destroy", "c:destroy"}));
}

TEST_F(MessagesTest, HandlesAreEvenAndTheLowestBitIsIgnored) {
  const HWND hwnd = make(L"a");
  const auto value = reinterpret_cast<std::uintptr_t>(hwnd);
  EXPECT_EQ(value & 1, 0u);
  EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(value | 1)));
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(value | 1)));
  window_.pump();
  EXPECT_EQ(window_.backend().raised(), std::vector<HWND>{hwnd});
  DestroyWindow(hwnd);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_NE(make(L"b"), hwnd) << "handles are not handed out again";
}

// After the timer's window went, a quit ends the loop with its code behind what was posted first.
TEST_F(MessagesTest, TimerPostsWmTimerRepeatedlyUntilItsWindowGoesAndQuitComesAfterPostedMessages) {
  const HWND hwnd = make(L"t");
  ASSERT_NE(SetTimer(hwnd, 100, 5, nullptr), 0u);
  MSG msg = {};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, WM_TIMER);
    EXPECT_EQ(msg.wParam, 100u);
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(std::count(g_seen.begin(), g_seen.end(), "t:-1"), 2);
  DestroyWindow(hwnd);
  PostMessageW(nullptr, WM_USER, 9, 0);
  PostQuitMessage(7);
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_USER) << "no timer message after the window went";
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(MessagesTest, SenderThatIsTerminatedWhileWaitingDoesNotRunItsMessage) {
  static HWND target;
  static std::atomic<bool> sending;
  target = make(L"a");
  sending = false;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        sending = true;
        SendMessageW(target, WM_USER, 77, 0);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  while (!sending) std::this_thread::sleep_for(1ms);
  // The sender blocks, as this thread does not pump; terminating it withdraws its message.
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(TerminateThread(thread, 3));
  window_.pump();
  EXPECT_EQ(std::count(g_seen.begin(), g_seen.end(), "a:77"), 0);
  CloseHandle(thread);
  DestroyWindow(target);
}

}  // namespace
