// The rest of the Pocket PC shell: the title bar's OK button, activation and setting-change
// handling, and the keep-alive calls. There is no soft input panel and no idle suspend here, so
// the handlers keep their record and the keep-alive calls have nothing to do.
#include "windowing/windows.h"

using namespace kov02;

BOOL SHInitDialog(SHINITDLGINFO* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  windowing::WindowPtr window = windowing::owned_window_or_fail(info->hDlg);
  if (!window) return FALSE;
  if ((info->dwMask & SHIDIM_FLAGS) != 0 && (info->dwFlags & SHIDIF_DONEBUTTON) != 0) {
    window->ok_button = true;
    windowing::notify_changed(*window);
  }
  return TRUE;
}

BOOL SHHandleWMActivate(HWND, WPARAM wParam, LPARAM, SHACTIVATEINFO* info, DWORD) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->fActive = LOWORD(wParam) != 0 ? 1 : 0;
  return TRUE;
}

BOOL SHHandleWMSettingChange(HWND, WPARAM, LPARAM, SHACTIVATEINFO* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

void SystemIdleTimerReset() {}

void keybd_event(BYTE, BYTE, DWORD, DWORD) {}
