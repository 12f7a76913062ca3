// Log pane output: the pane is control IDC_LOG of the main window, and text enters it only
// through EM_REPLACESEL, so it lands at the caret (or over the selection) the user left.
#include "common/output.h"

#include "common/state.h"

WCHAR g_szMessage[MESSAGE_BUFFER_CHARS] = {};

void LogPane(HWND hwnd, LPCWSTR text) {
  if (hwnd == nullptr) return;
  SendMessageW(GetDlgItem(hwnd, IDC_LOG), EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void LogPaneIfDebug(HWND hwnd, LPCWSTR text) {
  if (g_nDebugDir.load(std::memory_order_relaxed) != DEBUG_NONE) LogPane(hwnd, text);
}

void LogDeviceFailure(HWND hwnd, void (*log)(HWND, LPCWSTR)) {
  constexpr DWORD REASON_CHARS = 384;
  WCHAR line[REASON_CHARS + 2];
  const DWORD length = GetDeviceFailureW(line, REASON_CHARS);
  if (length == 0) return;
  line[length] = L'\r';
  line[length + 1] = L'\n';
  line[length + 2] = L'\0';
  log(hwnd, line);
}

void LogDeviceNotices(HWND hwnd) {
  constexpr DWORD NOTICE_CHARS = 384;
  WCHAR line[NOTICE_CHARS + 2];
  while (DWORD length = GetDeviceNoticeW(line, NOTICE_CHARS)) {
    line[length] = L'\r';
    line[length + 1] = L'\n';
    line[length + 2] = L'\0';
    LogPane(hwnd, line);
  }
}
