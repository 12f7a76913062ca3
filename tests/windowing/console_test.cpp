// The console: its line grammar, its output, and a session driven through pipes as a script
// would drive the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kernel/output_queue.h"
#include "test_resources.h"
#include "ui/console/console_command.h"
#include "ui/console/console_output.h"
#include "win_test_window.h"
#include "windowing/backend.h"

namespace {

using namespace kov02::ui::console;
using namespace std::chrono_literals;

// Lines the end-to-end suites send as they are ("key ctrl+q", "ok", "caret end", "answer no",
// "show menu") are left to them.
TEST(ConsoleGrammar, ParsesEachCommandAndRefusesMalformedLines) {
  const kov02::windowing::KeyModifiers ctrl_shift{.ctrl = true, .shift = true};
  struct Case {
    const char* line;
    ParsedLine expected;
  };
  const Case cases[] = {
      {"", BlankLine{}},
      {"   \r", BlankLine{}},
      {"menu System/Suspend RIL", MenuCommand{{L"System", L"Suspend RIL"}}},
      {"menu Tools/Update Firmware/Flash only\r", MenuCommand{{L"Tools", L"Update Firmware", L"Flash only"}}},
      {"menu Tools / Debug Message / -> BT -> FF", MenuCommand{{L"Tools", L"Debug Message", L"-> BT -> FF"}}},
      {"key Ctrl+Shift+F5", KeyCommand{0x74, ctrl_shift}},
      {"key enter", KeyCommand{0x0D, {}}},
      {"  command 120  ", SendCommand{120}},
      {"command 65535", SendCommand{65535}},
      {"caret 12", CaretCommand{12}},
      {"answer ok", AnswerCommand{IDOK}},
      {"answer YES", AnswerCommand{IDYES}},
      {"show  pane ", ShowPaneCommand{}},
      {"help", HelpCommand{}},
      {"menu", ParseError{"usage: menu CAPTION/CAPTION[/CAPTION]"}},
      {"menu System//Exit", ParseError{"usage: menu CAPTION/CAPTION[/CAPTION]"}},
      {"key ctrl+", ParseError{"usage: key [ctrl+][shift+][alt+]KEY"}},
      {"key hyper+q", ParseError{"usage: key [ctrl+][shift+][alt+]KEY"}},
      {"key f13", ParseError{"usage: key [ctrl+][shift+][alt+]KEY"}},
      {"key F12", KeyCommand{0x7B, {}}},
      {"key f012", ParseError{"usage: key [ctrl+][shift+][alt+]KEY"}},
      {"key f0", ParseError{"usage: key [ctrl+][shift+][alt+]KEY"}},
      {"ok now", ParseError{"usage: ok"}},
      {"command 65536", ParseError{"usage: command ID"}},
      {"command -1", ParseError{"usage: command ID"}},
      {"command 12x", ParseError{"usage: command ID"}},
      {"caret", ParseError{"usage: caret N|end"}},
      {"answer maybe", ParseError{"usage: answer ok|yes|no"}},
      {"show windows", ParseError{"usage: show menu|pane"}},
      {"Menu System/Exit", ParseError{"unknown command \"Menu\" (try help)"}},
      {"\xff\xfe", ParseError{"unknown command \"\xff\xfe\" (try help)"}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_line(c.line), c.expected) << '"' << c.line << '"';
}

// A pipe whose read end the test drains.
class Pipe {
 public:
  Pipe() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  }
  ~Pipe() {
    close_write();
    ::close(fds_[0]);
  }
  int read_fd() const { return fds_[0]; }
  int write_fd() const { return fds_[1]; }
  void write(const std::string& text) {
    ASSERT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_write() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  // Everything written so far (once the console's output queues have written it), accumulated
  // over calls.
  const std::string& drained() {
    kov02::kernel::flush_outputs(2s);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds_[0], buffer, sizeof buffer)) > 0)
      text_.append(buffer, static_cast<std::size_t>(got));
    return text_;
  }

 private:
  int fds_[2] = {-1, -1};
  std::string text_;
};

// The pane's record frames its text the same way and ends its last line.
TEST(ConsoleOutput, LineBreaksBecomeNewlinesEvenWhenSplitAcrossAppendsAndInThePanesRecord) {
  Pipe out;
  ConsoleOutput output(out.write_fd());
  output.text(L"one\r\ntwo\r");
  output.text(L"\nthree\rfour");
  output.line("box: x");
  output.text(L"\n\u00e9");
  EXPECT_EQ(out.drained(), "one\ntwo\nthree\nfour\nbox: x\n\n\xc3\xa9");
  EXPECT_EQ(one_line(L"Fail to write to BT/Irda\r\nnext\rlast\n"), L"Fail to write to BT/Irda next last ");
  EXPECT_EQ(pane_record(L""), "pane:\nend pane\n");
  EXPECT_EQ(pane_record(L"one\r\ntwo\r\n"), "pane:\none\ntwo\nend pane\n");
  EXPECT_EQ(pane_record(L"one\r\n\r\ntwo\rthree\u00e9"), "pane:\none\n\ntwo\nthree\xc3\xa9\nend pane\n");
}

std::vector<WORD> g_commands;
std::vector<WORD> g_keys;

LRESULT CALLBACK ConsoleMain(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) g_commands.push_back(LOWORD(wParam));
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// A main window with a log pane, a menu bar and the OK button, shown by a console backend that
// reads and writes pipes.
class ConsoleSession : public ::testing::Test {
 protected:
  void SetUp() override {
    g_commands.clear();
    WinTestWindow::use_private_runtime_dir();
    kov02::ui::install_backend(
        kov02::ui::make_console_backend(in_.read_fd(), out_.write_fd(), err_.write_fd()));
    hwnd_ = CreateWindowExW(0, WinTestWindow::class_for(ConsoleMain).c_str(), L"KOV02Tool", WS_VISIBLE,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                            nullptr, nullptr);
    pane_ = CreateWindowExW(0, L"edit", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0, 10, 10,
                            hwnd_, reinterpret_cast<HMENU>(5), nullptr, nullptr);
    SHMENUBARINFO bar = {};
    bar.hwndParent = hwnd_;
    bar.nToolBarId = kMenuId;
    ASSERT_TRUE(SHCreateMenuBar(&bar));
    bar_ = bar.hwndMB;
    SHINITDLGINFO ok = {SHIDIM_FLAGS, hwnd_, SHIDIF_DONEBUTTON};
    ASSERT_TRUE(SHInitDialog(&ok));
    // A timer keeps the loop below looking at its deadline.
    SetTimer(hwnd_, 1, 20, nullptr);
  }
  void TearDown() override {
    DestroyWindow(hwnd_);
    kov02::ui::install_backend(std::make_unique<WinTestBackend>());
  }

  // Runs the UI thread's loop (which runs the console's lines) until `done` or ten seconds.
  bool run_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    kov02::windowing::run_modal_loop([&] { return done() || std::chrono::steady_clock::now() > deadline; });
    return done();
  }
  bool run_until_output(const std::string& text) {
    return run_until([&] { return out_.drained().find(text) != std::string::npos; });
  }

  Pipe in_, out_, err_;
  HWND hwnd_ = nullptr;
  HWND pane_ = nullptr;
  HWND bar_ = nullptr;
};

TEST_F(ConsoleSession, MenuLinesSendTheItemsCommandAndBadLinesGetOneErrorLineEach) {
  in_.write(
      "bogus\x1B]0;owned\x07\nmenu Tools/Nothing\nmenu Tools/Select Source\n"
      "menu Tools/Select Source/Raw Irda\nanswer ok\nmenu Tools/Update Firmware/Flash only\nok\n");
  ASSERT_TRUE(run_until([] { return g_commands.size() == 2; }));
  EXPECT_EQ(g_commands, (std::vector<WORD>{kFlashOnly, IDOK})) << "the item's, then the title bar's OK";
  EXPECT_EQ(err_.drained(),
            "console: unknown command \"bogus\\x1B]0;owned\\x07\" (try help)\n"
            "console: no menu item \"Tools/Nothing\"\n"
            "console: menu item \"Tools/Select Source\" opens a drop-down: name an item in it\n"
            "console: menu item \"Tools/Select Source/Raw Irda\" is grayed\n"
            "console: no box is shown\n");
}

TEST_F(ConsoleSession, ShowMenuPrintsCheckMarksAndGrayedItems) {
  CheckMenuItem(CommandBar_GetMenu(bar_, 0), kBtuart, MF_CHECKED);
  in_.write("show menu\n");
  ASSERT_TRUE(run_until_output("Flash only = 118\n"));
  const std::string& out = out_.drained();
  EXPECT_NE(out.find("System\n  Suspend RIL = 152\n  -\n  Exit = 101\nTools\n  Select Source\n"),
            std::string::npos);
  EXPECT_NE(
      out.find("    COM(BTUART) = 110 [checked]\n    IRDA = 116 [checked]\n    Raw Irda = 111 [grayed]\n"),
      std::string::npos);
}

// A box on the UI thread holds off menu lines until answered; a worker's box is printed and
// answered from stdin while the loop runs on.
TEST_F(ConsoleSession, BoxesArePrintedAndAnsweredFromStdinAndAModalOneHoldsOffMenuLines) {
  in_.write("menu System/Exit\nanswer ok\n");
  EXPECT_EQ(MessageBoxW(hwnd_, L"COMs should be released first", nullptr, MB_ICONHAND), IDOK);
  EXPECT_NE(out_.drained().find("box: Error | COMs should be released first | ok\n"), std::string::npos);
  EXPECT_TRUE(g_commands.empty());

  std::atomic<int> answer{0};
  std::thread worker(
      [&] { answer = MessageBoxW(nullptr, L"Reboot device/Reset module !\r\n", L"Successful", MB_YESNO); });
  ASSERT_TRUE(run_until_output("box: Successful | Reboot device/Reset module !  | yes/no\n"));
  in_.write("answer ok\nanswer no\n");
  ASSERT_TRUE(run_until([&] { return answer.load() != 0; }));
  worker.join();
  EXPECT_EQ(answer.load(), IDNO);
  EXPECT_EQ(err_.drained(),
            "console: a box is shown: answer it first\nconsole: the box shown takes: answer yes or no\n");
}

TEST_F(ConsoleSession, KeyLinesGoThroughTheQueueWithTheirModifiers) {
  SetFocus(pane_);
  in_.write("key ctrl+q\n");
  const HACCEL accel = LoadAcceleratorsW(nullptr, kAccelName);
  MSG msg = {};
  bool translated = false;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!translated && std::chrono::steady_clock::now() < deadline && GetMessageW(&msg, nullptr, 0, 0)) {
    translated = TranslateAcceleratorW(hwnd_, accel, &msg) != 0;
    if (!translated) DispatchMessageW(&msg);
  }
  EXPECT_EQ(msg.hwnd, pane_) << "keys go to the focus window";
  EXPECT_EQ(g_commands, std::vector<WORD>{kExit});
}

TEST_F(ConsoleSession, RaiseRequestsPrintRaisedAndEndOfInputEndsNothing) {
  in_.close_write();
  ASSERT_TRUE(SetForegroundWindow(hwnd_));
  ASSERT_TRUE(run_until_output("raised\n"));
  PostMessageW(hwnd_, WM_COMMAND, 77, 0);
  EXPECT_TRUE(run_until([] { return !g_commands.empty(); })) << "the loop runs on after stdin closed";
}

}  // namespace
