// The built-in progress bar: a range, a position and a state that the backend shows. Only the
// messages the program sends are answered; everything else is the default procedure's.
#include <utility>

#include "windowing/backend.h"
#include "windowing/windows.h"

namespace kov02::windowing {

namespace {

// Stores what the message sets and returns what it replaced.
LRESULT apply(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETRANGE32) {
    window.progress_low = static_cast<DWORD>(wParam);
    window.progress_high = static_cast<DWORD>(lParam);
    return TRUE;
  }
  if (message == PBM_SETSTATE) {
    const UINT state = static_cast<UINT>(wParam);
    if (state < PBST_NORMAL || state > PBST_PAUSED) return 0;
    return std::exchange(window.progress_state, state);
  }
  return std::exchange(window.progress_pos, static_cast<DWORD>(wParam));
}

}  // namespace

LRESULT progress_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != PBM_SETPOS && message != PBM_SETRANGE32 && message != PBM_SETSTATE)
    return DefWindowProcW(hwnd, message, wParam, lParam);
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return 0;
  const LRESULT previous = apply(*window, message, wParam, lParam);
  ui::Backend* backend = ui::backend_on_ui_thread();
  if (backend == nullptr || message == PBM_SETRANGE32) return previous;
  // Every position set is shown, even an unchanged one: a step's start and end are both news.
  if (message == PBM_SETPOS) backend->progress_moved(hwnd);
  if (message == PBM_SETSTATE && static_cast<UINT>(previous) != static_cast<UINT>(wParam))
    backend->progress_state_changed(hwnd);
  return previous;
}

}  // namespace kov02::windowing
