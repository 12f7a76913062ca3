// Window life cycle inside the platform: creation with a preparation step, destruction, showing,
// focus, posting with key modifiers, and the read-only view a backend takes of a window.
#pragma once

#include <kov02/ce.h>

#include <functional>
#include <optional>
#include <string>

#include "windowing/message_queue.h"
#include "windowing/window_table.h"

namespace kov02::windowing {

struct CreateParams {
  DWORD ex_style = 0;
  LPCWSTR class_name = nullptr;
  LPCWSTR title = nullptr;
  DWORD style = 0;
  int x = 0, y = 0, width = 0, height = 0;
  HWND parent = nullptr;
  WORD id = 0;
  LPVOID param = nullptr;
  // Runs after the window is made and before anything sees it (attaches built-in state).
  std::function<void(Window&)> prepare;
};

// CreateWindowExW's work: null (with the last error set) when the class is unknown, the parent is
// not a window, or WM_CREATE refuses the window with -1.
HWND create_window(const CreateParams& params);

// The live window behind `hwnd` when the calling thread owns it; otherwise null with the last
// error set (ERROR_INVALID_WINDOW_HANDLE, or ERROR_ACCESS_DENIED for another thread's window).
WindowPtr owned_window_or_fail(HWND hwnd);

// Runs the window's procedure on the calling thread (which must own it).
LRESULT call_procedure(const WindowPtr& window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows or hides a window; the first showing of a top-level window activates it and gives it
// the focus. Returns whether it was visible before.
bool show_window(const WindowPtr& window, bool visible);

// The calling thread's focus window, or null.
HWND focus_window();

// Posts a message carrying the modifier keys held with it.
BOOL post_message(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, KeyModifiers modifiers);

// Copies `text` into a caller's buffer of `capacity` characters, terminated; returns the count
// copied without the terminator (WM_GETTEXT's contract).
LRESULT copy_text_out(std::wstring_view text, WPARAM capacity, LPARAM buffer);

// What a backend needs to show a window.
struct WindowView {
  HWND handle = nullptr;
  HWND parent = nullptr;
  WindowKind kind = WindowKind::application;
  WORD id = 0;
  DWORD style = 0;
  std::wstring title;
  LONG width = 0;  // of the window's rectangle (for a dialog: its template's dialog units)
  LONG height = 0;
  bool visible = false;
  bool ok_button = false;
  DWORD progress_done = 0;        // a progress bar's position above its low end
  DWORD progress_range = 0;       // and the span of its range
  bool progress_stopped = false;  // a bar in the error or paused state, shown greyed
};
// On the window's owner thread; nullopt for a dead handle.
std::optional<WindowView> window_view(HWND hwnd);

// Tells the backend (when the caller is the UI thread) that the window changed.
void notify_changed(const Window& window);

// The built-in progress bar's procedure.
LRESULT progress_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kov02::windowing
