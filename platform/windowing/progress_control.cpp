// The built-in progress bar: a range and a position that the backend shows. Only the messages
// the program sends are answered; everything else is the default procedure's.
#include "windowing/backend.h"
#include "windowing/windows.h"

namespace kov02::windowing {

LRESULT progress_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != PBM_SETPOS && message != PBM_SETRANGE32)
    return DefWindowProcW(hwnd, message, wParam, lParam);
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return 0;
  if (message == PBM_SETRANGE32) {
    window->progress_low = static_cast<DWORD>(wParam);
    window->progress_high = static_cast<DWORD>(lParam);
    return TRUE;
  }
  const DWORD previous = window->progress_pos;
  window->progress_pos = static_cast<DWORD>(wParam);
  // Every position set is shown, even an unchanged one: a step's start and end are both news.
  if (ui::Backend* backend = ui::backend_on_ui_thread()) backend->progress_moved(hwnd);
  return previous;
}

}  // namespace kov02::windowing
