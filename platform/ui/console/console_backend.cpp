// The console backend: log-pane text to stdout as it is appended, one command a line from
// stdin (README.md beside this file). A reader thread takes the lines and hands each to the UI
// thread, which runs it between messages; end of input ends the reader, not the program.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>
#include <variant>

#include "kernel/text.h"
#include "kernel/threads.h"
#include "ui/backend.h"
#include "ui/console/console_command.h"
#include "ui/console/console_menu.h"
#include "ui/console/console_output.h"
#include "windowing/user_input.h"
#include "windowing/windows.h"

namespace kov02::ui::console {
namespace {

constexpr std::size_t kLongestLine = 64 * 1024;

using windowing::WindowKind;

class ConsoleBackend;

// Lets queued lines find the backend, or find that it is gone.
using Anchor = std::shared_ptr<ConsoleBackend*>;

// Splits the input into lines and hands each to the UI thread; over-long lines are cut off.
void read_lines(int in_fd, int stop_fd, std::weak_ptr<ConsoleBackend*> anchor);

class ConsoleBackend final : public Backend {
 public:
  ConsoleBackend(int in_fd, int out_fd, int err_fd)
      : in_fd_(in_fd), err_(err_fd), out_(out_fd), stop_fd_(windowing::make_eventfd()) {}
  ~ConsoleBackend() override {
    anchor_.reset();
    windowing::signal_eventfd(stop_fd_);
    if (reader_.joinable()) reader_.join();
    if (stop_fd_ >= 0) ::close(stop_fd_);
  }

  void wait(int wake_fd, int timeout_ms) override {
    if (!reader_.joinable() && stop_fd_ >= 0) {
      reader_ = std::thread(read_lines, in_fd_, stop_fd_, std::weak_ptr<ConsoleBackend*>(anchor_));
    }
    pollfd fd{wake_fd, POLLIN, 0};
    kernel::consent_poll(&fd, 1, timeout_ms);
  }

  void window_created(HWND hwnd) override { windows_.push_back(hwnd); }
  void window_changed(HWND) override {}
  void window_destroyed(HWND hwnd) override { std::erase(windows_, hwnd); }
  void edit_replaced(HWND, std::size_t, std::size_t, std::wstring_view inserted) override {
    out_.text(inserted);
  }
  void edit_selected(HWND, std::size_t, std::size_t) override {}

  void prompt_opened(const std::shared_ptr<Prompt>& prompt) override {
    prompts_.push_back(prompt);
    const char* buttons = prompt->buttons == Buttons::yes_no ? "yes/no" : "ok";
    out_.line("box: " + kernel::to_utf8(one_line(prompt->caption)) + " | " +
              kernel::to_utf8(one_line(prompt->text)) + " | " + buttons);
  }
  void prompt_closed(const std::shared_ptr<Prompt>& prompt) override { std::erase(prompts_, prompt); }

  void raise(HWND) override { out_.line("raised"); }

  // Runs one input line on the UI thread.
  void run_line(const std::string& line) {
    std::visit([this](const auto& command) { run(command); }, parse_line(line));
  }

  // One line on stderr for input that cannot be run.
  void error(const std::string& message) {
    const std::string line = "console: " + message + "\n";
    // write: bytes or -1; a lost error line is not worth more than that.
    [[maybe_unused]] ssize_t written = ::write(err_, line.data(), line.size());
  }

 private:
  // The main window: the oldest live top-level window of the program.
  HWND main_window() const {
    for (HWND hwnd : windows_) {
      auto view = windowing::window_view(hwnd);
      if (view && view->kind == WindowKind::application && view->parent == nullptr) return hwnd;
    }
    return nullptr;
  }

  // The log pane: the main window's oldest edit control, else the oldest one at all.
  HWND log_pane() const {
    const HWND main = main_window();
    HWND fallback = nullptr;
    for (HWND hwnd : windows_) {
      auto view = windowing::window_view(hwnd);
      if (!view || view->kind != WindowKind::edit) continue;
      if (view->parent == main) return hwnd;
      if (fallback == nullptr) fallback = hwnd;
    }
    return fallback;
  }

  HWND newest_menu_bar() const {
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
      auto view = windowing::window_view(*it);
      if (view && view->kind == WindowKind::menu_bar) return *it;
    }
    return nullptr;
  }

  // The main window takes no input while a modal box or dialog is up, as on the handset.
  bool refused_while_modal() {
    const bool modal = std::any_of(prompts_.begin(), prompts_.end(), [](const auto& p) { return p->modal; });
    if (modal) error("a box is shown: answer it first");
    return modal;
  }

  void run(const BlankLine&) {}
  void run(const ParseError& e) { error(e.message); }
  void run(const HelpCommand&) { out_.lines(help_text()); }

  void run(const ShowMenuCommand&) {
    auto bar = windowing::menu_bar_of(newest_menu_bar());
    if (!bar) return error("there is no menu bar");
    out_.lines(format_menu_tree(*bar));
  }

  void run(const MenuCommand& command) {
    if (refused_while_modal()) return;
    const HWND hwnd = newest_menu_bar();
    auto bar = windowing::menu_bar_of(hwnd);
    if (!bar) return error("there is no menu bar");
    auto resolved = resolve_menu_path(*bar, command.path);
    if (auto* reason = std::get_if<std::string>(&resolved)) return error(*reason);
    if (!windowing::choose_menu_command(hwnd, std::get<WORD>(resolved))) error("the menu refused the item");
  }

  void run(const KeyCommand& command) {
    if (refused_while_modal()) return;
    HWND target = windowing::focus_window();
    if (!windowing::window_view(target)) target = main_window();
    if (target == nullptr) return error("there is no window to take the key");
    windowing::press_key(target, command.vk, command.modifiers);
  }

  void run(const OkCommand&) {
    if (refused_while_modal()) return;
    for (HWND hwnd : windows_) {
      auto view = windowing::window_view(hwnd);
      if (view && view->ok_button) {
        windowing::press_title_ok(hwnd);
        return;
      }
    }
    error("no window has an OK button");
  }

  void run(const SendCommand& command) {
    const HWND main = main_window();
    if (main == nullptr) return error("there is no main window");
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(command.id, 0), 0);
  }

  void run(const CaretCommand& command) {
    if (refused_while_modal()) return;
    const HWND pane = log_pane();
    if (pane == nullptr) return error("there is no log pane");
    const std::size_t position = command.position.value_or(static_cast<std::size_t>(-1));
    windowing::move_caret(pane, position, position);
  }

  void run(const AnswerCommand& command) {
    if (prompts_.empty()) return error("no box is shown");
    std::shared_ptr<Prompt> prompt = prompts_.front();
    const bool fits = (prompt->buttons == Buttons::ok) == (command.id == IDOK);
    if (!fits)
      return error(prompt->buttons == Buttons::ok ? "the box shown takes: answer ok"
                                                  : "the box shown takes: answer yes or no");
    prompt->answer(command.id);
  }

  const int in_fd_;
  const int err_;
  ConsoleOutput out_;
  const int stop_fd_;
  Anchor anchor_ = std::make_shared<ConsoleBackend*>(this);
  std::thread reader_;
  std::vector<HWND> windows_;
  std::vector<std::shared_ptr<Prompt>> prompts_;
};

// A line for the UI thread to run; an over-long line only gets its error line there.
void hand_over(const std::string& line, bool overlong, const std::weak_ptr<ConsoleBackend*>& anchor) {
  run_on_ui_thread([line, overlong, anchor] {
    auto backend = anchor.lock();
    if (!backend) return;
    if (overlong)
      return (*backend)->error("line too long: at most " + std::to_string(kLongestLine) + " bytes");
    (*backend)->run_line(line);
  });
}

void read_lines(int in_fd, int stop_fd, std::weak_ptr<ConsoleBackend*> anchor) {
  std::string pending;
  bool overlong = false;
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{in_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    // poll: ready count, or -1 with errno (EINTR: a signal, look again).
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    // read: bytes read, 0 at end of input, -1 with errno (EBADF when there is no stdin at all).
    const ssize_t got = ::read(in_fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    for (char c : std::string_view(buffer, static_cast<std::size_t>(got))) {
      if (c != '\n') {
        overlong = overlong || pending.size() >= kLongestLine;
        if (!overlong) pending += c;
        continue;
      }
      hand_over(pending, overlong, anchor);
      pending.clear();
      overlong = false;
    }
  }
  if (!pending.empty() || overlong) hand_over(pending, overlong, anchor);
}

}  // namespace

}  // namespace kov02::ui::console

namespace kov02::ui {

std::unique_ptr<Backend> make_console_backend(int in_fd, int out_fd, int err_fd) {
  // A reader of stdout that goes away must not end the program: writes then fail with EPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<console::ConsoleBackend>(in_fd, out_fd, err_fd);
}

}  // namespace kov02::ui
