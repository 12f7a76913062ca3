// The three output channels of the application: the log pane, the log pane while debug
// messages are on, and the platform's debug output.
#pragma once

#include <kov02/ce.h>

inline constexpr int IDC_LOG = 5;  // control id of the log pane

// Shared message buffer: lines formatted on the UI thread before LogPane. No other thread writes it.
inline constexpr int MESSAGE_BUFFER_CHARS = 512;
extern WCHAR g_szMessage[MESSAGE_BUFFER_CHARS];

// Appends text to the log pane of main window `hwnd` (EM_REPLACESEL to control 5, synchronous).
// A null hwnd shows nothing.
void LogPane(HWND hwnd, LPCWSTR text);
// LogPane while the debug direction is not None.
void LogPaneIfDebug(HWND hwnd, LPCWSTR text);
// Formats one line (bounded, never past its buffer) and writes it to the debug output.
void Trace(LPCWSTR format, ...);
