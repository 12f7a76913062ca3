// The ways a window is shown to a person, behind one small interface the windowing core owns.
//
// The windowing core keeps every window, menu, text and answer as data; a backend only shows
// that data and turns what the person does into messages. The backends live in ui/ and
// implement this port; the core never asks which one runs. One backend is chosen once per
// process (ui/backend_choice.cpp): the GTK window, or the console for boards over SSH and for
// scripts. Every call below is made on the UI thread, the one thread that shows windows.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kov02::ui {

enum class Buttons { ok, yes_no };

// A message box or a modal dialog waiting for the person.
struct Prompt {
  HWND owner = nullptr;   // the window it belongs to, or null
  HWND dialog = nullptr;  // the dialog window, or null for a message box
  std::wstring caption;
  std::wstring text;
  Buttons buttons = Buttons::ok;
  bool stop_icon = false;
  bool modal = false;  // the UI thread itself waits for it: its other windows take no input
  // Called on the UI thread with IDOK, IDCANCEL, IDYES or IDNO. The core then closes a message
  // box; a dialog stays open until its procedure ends it.
  std::function<void(int)> answer;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // Blocks until `wake_fd` turns readable or `timeout_ms` passes (-1: no limit), keeping the
  // person's side alive meanwhile.
  virtual void wait(int wake_fd, int timeout_ms) = 0;
  // As wait(), while the UI thread is busy with something slow of its own (a hook): the window
  // is still shown and repainted, but what the person does is held, and acted on only once
  // wait() is called again.
  virtual void wait_holding_input(int wake_fd, int timeout_ms);

  // A window was made (before its WM_CREATE), changed (shown, hidden, retitled, given the title
  // bar's OK button) or destroyed (before its WM_DESTROY).
  virtual void window_created(HWND hwnd) = 0;
  virtual void window_changed(HWND hwnd) = 0;
  virtual void window_destroyed(HWND hwnd) = 0;

  // An edit control's text: characters [pos, pos + removed) became `inserted`.
  virtual void edit_replaced(HWND edit, std::size_t pos, std::size_t removed, std::wstring_view inserted) = 0;
  // An edit control's selection moved; the caret is to be scrolled into view.
  virtual void edit_selected(HWND edit, std::size_t anchor, std::size_t caret) = 0;

  virtual void prompt_opened(const std::shared_ptr<Prompt>& prompt) = 0;
  virtual void prompt_closed(const std::shared_ptr<Prompt>& prompt) = 0;

  // Another instance asked for this top-level window to come to the front.
  virtual void raise(HWND hwnd) = 0;

  // A progress bar's position was set (also to the same value).
  virtual void progress_moved(HWND) {}
  // A progress bar was stopped (its run failed: it stays, greyed, at how far it got) or started again.
  virtual void progress_state_changed(HWND) {}
};

// The backend for the calling thread when it is (or, with none bound yet, becomes) the UI thread;
// null on any other thread. Chosen from KOV02_UI on first use.
Backend* backend_here();
// The backend when the calling thread is already the UI thread; null otherwise (binds nothing).
Backend* backend_on_ui_thread();
// Is the calling thread the UI thread?
bool on_ui_thread();
// Runs `task` on the UI thread (at once when the caller is the UI thread). False without one.
bool run_on_ui_thread(std::function<void()> task);
// Replaces the backend and makes the calling thread the UI thread (tests; before any window).
void install_backend(std::unique_ptr<Backend> backend);

// Supplied by ui/: the backend for this process, from KOV02_UI and the display (called once, on
// the thread that becomes the UI thread).
std::unique_ptr<Backend> choose_backend();
// The backends. make_gtk_backend returns null when no display can be opened.
std::unique_ptr<Backend> make_gtk_backend();
// The console reads commands from `in_fd` and writes to `out_fd` and `err_fd`.
std::unique_ptr<Backend> make_console_backend(int in_fd, int out_fd, int err_fd);

}  // namespace kov02::ui
