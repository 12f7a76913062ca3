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

// A reason or notice line as the platform gives it (it stops at REASON_CHARS - 1 characters),
// with room for the pane's line break after it.
static constexpr DWORD REASON_CHARS = 384;
using ReasonLine = WCHAR[REASON_CHARS + 2];

static LPCWSTR WithLineBreak(ReasonLine& line, DWORD length) {
  line[length] = L'\r';
  line[length + 1] = L'\n';
  line[length + 2] = L'\0';
  return line;
}

void LogDeviceFailure(HWND hwnd, void (*log)(HWND, LPCWSTR)) {
  ReasonLine line;
  const DWORD length = GetDeviceFailureW(line, REASON_CHARS);
  if (length != 0) log(hwnd, WithLineBreak(line, length));
}

void LogDeviceNotices(HWND hwnd) {
  ReasonLine line;
  while (DWORD length = GetDeviceNoticeW(line, REASON_CHARS)) LogPane(hwnd, WithLineBreak(line, length));
}
