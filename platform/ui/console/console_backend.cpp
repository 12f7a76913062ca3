// The console backend: log-pane text to stdout as it is appended, and one command a line from
// stdin (README.md beside this file), each run by the UI thread when it is next idle.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <utility>
#include <variant>

#include "kernel/output_queue.h"
#include "kernel/text.h"
#include "kernel/threads.h"
#include "ui/console/console_command.h"
#include "ui/console/console_input.h"
#include "ui/console/console_menu.h"
#include "ui/console/console_output.h"
#include "ui/console/console_player.h"
#include "windowing/backend.h"
#include "windowing/user_input.h"
#include "windowing/windows.h"

namespace kov02::ui::console {
namespace {

using windowing::WindowKind;

class ConsoleBackend final : public Backend {
 public:
  ConsoleBackend(int in_fd, int out_fd, int err_fd, std::shared_ptr<Player> player = nullptr)
      : err_(kernel::fd_output(err_fd)), out_(out_fd), input_(in_fd), player_(std::move(player)) {}

  // The UI thread is idle here: the next input line runs now, else the thread sleeps.
  void wait(int wake_fd, int timeout_ms) override {
    if (player_) return wait_for_player(wake_fd, timeout_ms);
    input_.start();
    if (auto line = held_ ? std::exchange(held_, std::nullopt) : input_.next()) return run_input(*line);
    pollfd fd{wake_fd, POLLIN, 0};
    kernel::consent_poll(&fd, 1, timeout_ms);
  }

  // The UI thread is busy (a hook runs): lines that only show something are answered now; the
  // first line that would act is held, and with it every line after it, so they keep their order.
  void wait_holding_input(int wake_fd, int timeout_ms) override {
    if (!player_) input_.start();
    if (!held_ && !player_) {
      if (auto line = input_.next()) {
        if (!line->too_long && only_shows(parse_line(line->text))) return run_line(line->text);
        held_ = std::move(line);
        return;
      }
    }
    pollfd fd{wake_fd, POLLIN, 0};
    kernel::consent_poll(&fd, 1, timeout_ms);
  }

  void window_created(HWND hwnd) override { windows_.push_back(hwnd); }
  void window_changed(HWND hwnd) override {
    if (!player_) return;
    if (auto view = windowing::window_view(hwnd)) player_->window_changed(*view);
  }
  void window_destroyed(HWND hwnd) override { std::erase(windows_, hwnd); }
  void edit_replaced(HWND, std::size_t, std::size_t, std::wstring_view inserted) override {
    out_.text(inserted);
    if (player_) player_->pane_text(inserted);
  }
  void edit_selected(HWND, std::size_t, std::size_t) override {}

  void prompt_opened(const std::shared_ptr<Prompt>& prompt) override {
    prompts_.push_back(prompt);
    const char* buttons = prompt->buttons == Buttons::yes_no ? "yes/no" : "ok";
    out_.line("box: " + kernel::to_utf8(one_line(prompt->caption)) + " | " +
              kernel::to_utf8(one_line(prompt->text)) + " | " + buttons);
    if (player_) player_->prompt_opened(*prompt);
  }
  void prompt_closed(const std::shared_ptr<Prompt>& prompt) override { std::erase(prompts_, prompt); }

  void raise(HWND) override { out_.line("raised"); }

  // "progress: NAME DONE/RANGE", NAME the bar's window text.
  // The bar follows the bytes several times a second for the window; the console's lines keep
  // their documented pace: a step's start and end, and at most one a second between.
  void progress_moved(HWND hwnd) override {
    auto view = windowing::window_view(hwnd);
    if (!view) return;
    const bool report = progress_line_due(*view);
    if (report) {
      out_.line_between("progress: " + kernel::to_utf8(view->title) + " " +
                        std::to_string(view->progress_done) + "/" + std::to_string(view->progress_range));
    }
    if (player_) player_->progress_moved(*view, report);
  }

 private:
  bool progress_line_due(const windowing::WindowView& bar) {
    const auto now = std::chrono::steady_clock::now();
    const bool edge =
        bar.title != progress_title_ || bar.progress_done == 0 || bar.progress_done >= bar.progress_range;
    if (!edge && now - progress_said_ < std::chrono::seconds(1)) return false;
    progress_title_ = bar.title;
    progress_said_ = now;
    return true;
  }

  void run_input(const InputLine& line) {
    if (line.too_long)
      return error("line too long: at most " + std::to_string(LineReader::kLongestLine) + " bytes");
    run_line(line.text);
  }

  static bool only_shows(const ParsedLine& parsed) {
    return std::holds_alternative<BlankLine>(parsed) || std::holds_alternative<ShowMenuCommand>(parsed) ||
           std::holds_alternative<ShowPaneCommand>(parsed) || std::holds_alternative<HelpCommand>(parsed);
  }

  // As wait(), with the player's lines in place of stdin's.
  void wait_for_player(int wake_fd, int timeout_ms) {
    const bool box_holds_input = modal_shown();
    const MenuLookup lookup = [this](std::string_view path) -> std::optional<WORD> {
      auto bar = windowing::menu_bar_of(newest_menu_bar());
      const ParsedLine parsed = parse_line("menu " + std::string(path));
      const auto* menu = std::get_if<MenuCommand>(&parsed);
      if (!bar || !menu) return std::nullopt;
      auto resolved = resolve_menu_path(*bar, menu->path, true);
      if (const WORD* id = std::get_if<WORD>(&resolved)) return *id;
      return std::nullopt;
    };
    if (auto line = player_->next_line(box_holds_input, lookup)) return run_line(*line);
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {player_->wake_fd(), POLLIN, 0}};
    kernel::consent_poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout_ms);
  }

  void run_line(const std::string& line) {
    std::visit([this](const auto& command) { run(command); }, parse_line(line));
  }

  // One line on stderr for input that cannot be run, queued with the debug output's lines when
  // both go to stderr, so they keep their order. The message may quote the input, so its
  // control characters are escaped: a terminal must not run what a script fed us.
  void error(const std::string& message) {
    err_->push("console: " + kernel::printable(message) + "\n", kernel::OutputQueue::Kind::line);
  }

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
    const bool modal = modal_shown();
    if (modal) error("a box is shown: answer it first");
    return modal;
  }

  bool modal_shown() const {
    return std::any_of(prompts_.begin(), prompts_.end(), [](const auto& p) { return p->modal; });
  }

  void run(const BlankLine&) {}
  void run(const ParseError& e) { error(e.message); }
  void run(const HelpCommand&) { out_.lines(help_text()); }

  void run(const ShowMenuCommand&) {
    auto bar = windowing::menu_bar_of(newest_menu_bar());
    if (!bar) return error("there is no menu bar");
    out_.lines(format_menu_tree(*bar));
  }

  void run(const ShowPaneCommand&) {
    const HWND pane = log_pane();
    if (pane == nullptr) return error("there is no log pane");
    std::wstring text(static_cast<std::size_t>(SendMessageW(pane, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        SendMessageW(pane, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    out_.lines(pane_record(text));
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

  // The box an answer goes to: the oldest shown, passing over modal boxes that have a newer modal
  // box above them. Each runs its loop on top of the one before, so only the newest can end.
  std::shared_ptr<Prompt> answerable_prompt() const {
    const auto newest_modal =
        std::find_if(prompts_.rbegin(), prompts_.rend(), [](const auto& p) { return p->modal; });
    for (const auto& prompt : prompts_) {
      if (!prompt->modal || prompt == *newest_modal) return prompt;
    }
    return nullptr;
  }

  void run(const AnswerCommand& command) {
    std::shared_ptr<Prompt> prompt = answerable_prompt();
    if (!prompt) return error("no box is shown");
    const bool fits = (prompt->buttons == Buttons::ok) == (command.id == IDOK);
    if (!fits)
      return error(prompt->buttons == Buttons::ok ? "the box shown takes: answer ok"
                                                  : "the box shown takes: answer yes or no");
    prompt->answer(command.id);
  }

  const std::shared_ptr<kernel::OutputQueue> err_;
  ConsoleOutput out_;
  LineReader input_;
  const std::shared_ptr<Player> player_;
  std::vector<HWND> windows_;
  std::vector<std::shared_ptr<Prompt>> prompts_;
  std::optional<InputLine> held_;  // taken while input was held, run first once it is not
  std::wstring progress_title_;    // the step of the last progress line
  std::chrono::steady_clock::time_point progress_said_;  // when it was written
};

}  // namespace

}  // namespace kov02::ui::console

namespace kov02::ui {

std::unique_ptr<Backend> make_console_backend(int in_fd, int out_fd, int err_fd) {
  // A reader of stdout that goes away must not end the program: writes then fail with EPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<console::ConsoleBackend>(in_fd, out_fd, err_fd);
}

namespace console {

std::unique_ptr<Backend> make_console_backend(int out_fd, int err_fd, std::shared_ptr<Player> player) {
  std::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<ConsoleBackend>(-1, out_fd, err_fd, std::move(player));
}

}  // namespace console

}  // namespace kov02::ui
