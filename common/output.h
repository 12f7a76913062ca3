// The three output channels of the application: the log pane, the log pane while debug
// messages are on, and the platform's debug output.
#pragma once

#include <kov02/ce.h>

inline constexpr int IDC_LOG = 5;  // control id of the log pane

// Shared message buffer: lines formatted on the UI thread before LogPane. No other thread writes it.
inline constexpr int MESSAGE_BUFFER_CHARS = 512;
extern WCHAR g_szMessage[MESSAGE_BUFFER_CHARS];

// Appends text to the log pane of main window `hwnd` (EM_REPLACESEL to control 5, synchronous:
// the caller waits until the UI thread has taken the text). A null hwnd shows nothing.
void LogPane(HWND hwnd, LPCWSTR text);
// LogPane while the debug direction is not None.
void LogPaneIfDebug(HWND hwnd, LPCWSTR text);

// After a handset line that says a device open, device control or kernel control failed: one
// more line with the platform's reason ("COM1: is /dev/ttyUSB0: no such device"), shown through
// `log` as the handset line was; nothing when the platform has no reason. Call it on the thread
// that made the call.
void LogDeviceFailure(HWND hwnd, void (*log)(HWND, LPCWSTR));

// The longest registry file name the app's own reason lines show.
inline constexpr DWORD REGISTRY_FILE_CHARS = 256;

// Every line the platform has about a held port's adapter (pulled, put back) into the log pane.
// Call it on the UI thread when the main window gets WM_DEVICECHANGE.
void LogDeviceNotices(HWND hwnd);

// The longest debug line Trace formats; a longer one is cut, never overrun.
inline constexpr int TRACE_LINE_CHARS = 512;

// Formats one line and writes it to the debug output. The formats carry their own "\r\n".
template <class... Args>
void Trace(LPCWSTR format, Args... args) {
  WCHAR line[TRACE_LINE_CHARS];
  wnsprintfW(line, TRACE_LINE_CHARS, format, args...);
  OutputDebugStringW(line);
}
