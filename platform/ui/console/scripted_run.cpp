// The scripted update's player (see scripted_run.h).
#include "ui/console/scripted_run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kernel/stderr_lines.h"
#include "kernel/text.h"
#include "serial/leave_as_found.h"

namespace kov02::ui::console {
namespace {

// What the run shows that the player reads, as the program writes it.
constexpr std::wstring_view kAcceptedCaption = L"Successful";
constexpr std::wstring_view kFailedCaption = L"Update failed";
constexpr std::wstring_view kFailedPrefix = L"Firmware update failed: ";
constexpr std::string_view kRetryPrefix = "No answer from the module, starting again (attempt ";
// The one failure that means the run could not start rather than that it failed.
constexpr std::string_view kPortNotOpened = "the update port could not be opened";

// The self-pipe the ending signals write to, and how many have come.
int g_signal_pipe[2] = {-1, -1};
std::atomic<int> g_signals{0};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_ending_signal(int signal) {
  const int saved_errno = errno;
  if (g_signals.fetch_add(1) == 0) {
    const char byte = static_cast<char>(signal);
    // write: async-signal-safe; a full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(g_signal_pipe[1], &byte, 1);
    errno = saved_errno;
    return;
  }
  serial::leave_ports_as_found();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

std::string clock_text(long long seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

double seconds_since(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

std::string progress_report(const std::string& step, DWORD sent, DWORD total,
                            std::chrono::milliseconds elapsed, bool json) {
  if (json)
    return "{\"event\":\"progress\",\"step\":" + kernel::json_string(step) +
           ",\"sent\":" + std::to_string(sent) + ",\"total\":" + std::to_string(total) + "}";
  const unsigned long long percent = total == 0 ? 100 : static_cast<unsigned long long>(sent) * 100 / total;
  std::string left = "-:--";
  if (sent >= total) {
    left = "0:00";
  } else if (sent > 0 && elapsed >= std::chrono::seconds(1)) {
    left = clock_text(elapsed.count() * static_cast<long long>(total - sent) / sent / 1000);
  }
  return "progress: " + step + " " + std::to_string(sent) + "/" + std::to_string(total) + " " +
         std::to_string(percent) + "% " + left;
}

ScriptedRun::ScriptedRun(ScriptedOptions options) : options_(std::move(options)) {}

ScriptedRun::~ScriptedRun() = default;

void ScriptedRun::catch_ending_signals() {
  // pipe2: 0, or -1 with errno; without the pipe the signals keep their usual effect.
  if (g_signal_pipe[0] < 0 && ::pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  for (int signal : kEndingSignals) {
    struct sigaction current {};
    // sigaction: 0, or -1 with errno (not for these signals).
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction ending {};
    ending.sa_handler = on_ending_signal;
    sigemptyset(&ending.sa_mask);
    ending.sa_flags = SA_RESTART;
    ::sigaction(signal, &ending, nullptr);
  }
}

int ScriptedRun::wake_fd() const {
  return g_signal_pipe[0];
}

bool ScriptedRun::signalled() {
  char bytes[16];
  bool any = false;
  // read: count read, or -1 with EAGAIN once the pipe is empty.
  while (g_signal_pipe[0] >= 0 && ::read(g_signal_pipe[0], bytes, sizeof bytes) > 0) any = true;
  return any;
}

void ScriptedRun::pane_text(std::wstring_view text) {
  for (wchar_t c : text) {
    if (c != L'\r' && c != L'\n') {
      partial_line_ += c;
    } else if (!partial_line_.empty()) {
      pane_line(kernel::to_utf8(partial_line_));
      partial_line_.clear();
    }
  }
}

void ScriptedRun::pane_line(const std::string& line) {
  if (line.find_first_not_of('*') == std::string::npos) return;
  last_line_ = line;
  if (!line.starts_with(kRetryPrefix)) return;
  attempts_ = std::atoi(line.c_str() + kRetryPrefix.size());
  if (options_.json)
    kernel::stderr_record("{\"event\":\"retry\",\"attempt\":" + std::to_string(attempts_) + "}");
}

void ScriptedRun::prompt_opened(const Prompt& prompt) {
  if (prompt.caption == kAcceptedCaption) {
    accepted_ = true;
    answers_.push_back(options_.reboot ? "answer yes" : "answer no");
    return;
  }
  if (prompt.caption == kFailedCaption && prompt.text.starts_with(kFailedPrefix)) {
    failure_ = kernel::to_utf8(prompt.text.substr(kFailedPrefix.size()));
    answers_.push_back("answer ok");
    return;
  }
  // Any other question (the quit guard) is answered Yes only once the program is to end.
  if (prompt.buttons == Buttons::yes_no)
    answers_.push_back(stage_ == Stage::closing ? "answer yes" : "answer no");
  else
    answers_.push_back("answer ok");
}

void ScriptedRun::window_changed(const windowing::WindowView& view) {
  if (view.kind != windowing::WindowKind::progress) return;
  if (view.visible) bar_shown_ = true;
  if (!view.visible && bar_shown_) bar_hidden_ = true;
}

void ScriptedRun::progress_moved(const windowing::WindowView& bar, bool due) {
  const std::string step = kernel::to_utf8(bar.title);
  if (step != step_ || bar.progress_done == 0) {
    step_ = step;
    step_started_ = Clock::now();
  }
  if (step == "image") image_sent_ = bar.progress_done;
  if (!due) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - step_started_);
  const std::string report =
      progress_report(step, bar.progress_done, bar.progress_range, elapsed, options_.json);
  kernel::stderr_record(report);
}

std::optional<std::string> ScriptedRun::next_line(bool box_holds_input, const MenuLookup& lookup) {
  if (signalled()) interrupted_ = true;
  if (!answers_.empty()) {
    std::string answer = std::move(answers_.front());
    answers_.pop_front();
    return answer;
  }
  if (box_holds_input) return std::nullopt;
  switch (stage_) {
    case Stage::start: {
      if (interrupted_) return finish(SCRIPTED_INTERRUPTED, "interrupted");
      const std::optional<WORD> id = lookup(options_.command);
      if (!id) return finish(SCRIPTED_NOT_STARTED, "no menu item " + options_.command);
      stage_ = Stage::commanded;
      command_sent_ = Clock::now();
      return "command " + std::to_string(*id);
    }
    case Stage::commanded:
      // The command has been handled: without its progress bar no run began.
      if (!bar_shown_)
        return finish(SCRIPTED_NOT_STARTED, last_line_.empty() ? "the update did not start" : last_line_);
      stage_ = Stage::running;
      return run_under_way();
    case Stage::running:
      return run_under_way();
    case Stage::closing:
      break;
  }
  return std::nullopt;
}

// A run ends in its failure box, or in its acceptance followed by its end (the port closed and
// the answer's reset and reboot done). A signal before the acceptance stops it as the quit guard's
// Yes does; after it, the run is let finish.
std::optional<std::string> ScriptedRun::run_under_way() {
  if (failure_)
    return finish(*failure_ == kPortNotOpened ? SCRIPTED_NOT_STARTED : SCRIPTED_FAILED, *failure_);
  if (accepted_ && bar_hidden_) return finish(interrupted_ ? SCRIPTED_INTERRUPTED : SCRIPTED_ACCEPTED, "");
  if (interrupted_ && !accepted_) return finish(SCRIPTED_INTERRUPTED, "interrupted");
  return std::nullopt;
}

void ScriptedRun::report_not_started(const std::string& reason) {
  finish(SCRIPTED_NOT_STARTED, reason);
}

std::string ScriptedRun::finish(int status, const std::string& reason) {
  status_ = status;
  stage_ = Stage::closing;
  const bool accepted = status == SCRIPTED_ACCEPTED;
  const bool began = bar_shown_ && status != SCRIPTED_NOT_STARTED;
  const int attempts = began ? std::max(attempts_, 1) : 0;
  const double seconds = command_sent_ == Clock::time_point{} ? 0 : seconds_since(command_sent_);
  char figures[96];
  std::snprintf(figures, sizeof figures, ",\"attempts\":%d,\"seconds\":%.3f,\"bytes\":%lu}", attempts,
                seconds, static_cast<unsigned long>(image_sent_));
  if (options_.json) {
    kernel::stderr_record(std::string("{\"event\":\"result\",\"status\":\"") +
                          (accepted ? "accepted" : "failed") +
                          "\",\"reason\":" + (accepted ? "null" : kernel::json_string(reason)) + figures);
  } else {
    kernel::stderr_record(accepted ? "result: accepted" : "result: failed: " + reason);
  }
  return "ok";
}

}  // namespace kov02::ui::console
