// A scripted update: the console's player that runs one firmware update the way a person at the
// console would (the menu command, then the answers to the boxes it brings), reports the
// progress on stderr for a program to read, and ends the program with an exit status that says
// how the run went. The statuses come from what the run itself showed: its boxes, its pane lines
// and its progress bar.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "ui/console/console_player.h"

namespace kov02::ui::console {

// Exit statuses of a scripted run.
enum ScriptedStatus : int {
  SCRIPTED_ACCEPTED = 0,     // the module accepted the image
  SCRIPTED_FAILED = 1,       // the run failed
  SCRIPTED_USAGE = 2,        // the command line was wrong
  SCRIPTED_NOT_STARTED = 3,  // the run could not start
  SCRIPTED_INTERRUPTED = 4,  // SIGINT, SIGTERM or SIGHUP
};

struct ScriptedOptions {
  std::string command;  // the menu item that starts the run: "Tools/Update Firmware/Flash only"
  bool reboot = false;  // the answer to "Successful": Yes (reset and reboot) or No
  bool json = false;    // progress and result as JSON objects, else text lines
};

// One progress report: "progress: image 1200000/4169728 28% 4:12" (the time left once it can be
// guessed, "-:--" before), or its JSON object.
std::string progress_report(const std::string& step, DWORD sent, DWORD total,
                            std::chrono::milliseconds elapsed, bool json);

class ScriptedRun final : public Player {
 public:
  explicit ScriptedRun(ScriptedOptions options);
  ~ScriptedRun() override;
  ScriptedRun(const ScriptedRun&) = delete;
  ScriptedRun& operator=(const ScriptedRun&) = delete;

  // The first SIGINT, SIGTERM or SIGHUP ends the run as the quit guard's Yes does; a second one
  // ends the process at once, its ports left as found. Signals the process ignores stay ignored.
  void catch_ending_signals();

  // The status once the program's loop has ended; "could not start" when it ended before the
  // run said anything (its window was never made).
  int exit_status() const { return status_; }
  // The result of a run that ended before it began, from the program's start-up: its line.
  void report_not_started(const std::string& reason);

  void pane_text(std::wstring_view text) override;
  void prompt_opened(const Prompt& prompt) override;
  void window_changed(const windowing::WindowView& view) override;
  void progress_moved(const windowing::WindowView& bar, bool report) override;
  std::optional<std::string> next_line(bool box_holds_input, const MenuLookup& lookup) override;
  int wake_fd() const override;

 private:
  enum class Stage { start, commanded, running, closing };
  using Clock = std::chrono::steady_clock;

  void pane_line(const std::string& line);
  bool signalled();
  std::optional<std::string> run_under_way();
  // Records the outcome, reports it, and closes the main window (the title bar's OK button).
  std::string finish(int status, const std::string& reason);

  const ScriptedOptions options_;
  Stage stage_ = Stage::start;
  std::deque<std::string> answers_;  // lines that answer the boxes shown, oldest first
  bool interrupted_ = false;
  bool accepted_ = false;               // the "Successful" box came
  bool bar_shown_ = false;              // the run's progress bar was shown: the run began
  bool bar_hidden_ = false;             // and hidden again: the run is over
  std::optional<std::string> failure_;  // the REASON of "Firmware update failed: REASON"
  std::wstring partial_line_;           // pane text since its last line break
  std::string last_line_;               // the pane's latest line that is not progress stars
  int attempts_ = 0;
  DWORD image_sent_ = 0;
  std::string step_;
  Clock::time_point step_started_{};
  Clock::time_point command_sent_{};
  int status_ = SCRIPTED_NOT_STARTED;
};

}  // namespace kov02::ui::console
