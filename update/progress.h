// How far a run has come, shown under the log pane: a progress bar whose window text names the
// step (the console prints it as "progress: STEP SENT/TOTAL") and a line above it with the step's
// title, the bytes sent of the total, the percentage and, once the image has run a while, the
// time left. Both are hidden while no run is under way.
#pragma once

#include <kov02/ce.h>

inline constexpr int IDC_PROGRESS = 6;
inline constexpr int IDC_PROGRESS_TEXT = 7;

enum UpdateStep { STEP_BOOT1, STEP_BOOT2, STEP_IMAGE };

// Makes the two controls of main window `hwnd` if they are not there yet, and shows them. The
// user-interface thread, before the update thread starts.
void ShowProgress(HWND hwnd);
// Hides them again; any thread.
void HideProgress(HWND hwnd);

// The update thread: the run's main window, then for each step: it begins with `total` bytes to
// send, `sent` of them have gone (shown at most once a second), it has ended with `sent` bytes.
void SetProgressWindow(HWND hwnd);
void BeginProgressStep(UpdateStep step, DWORD total);
void AdvanceProgress(DWORD sent);
void EndProgressStep(DWORD sent);

// The line above the bar, e.g. "Firmware: 1200000 of 4169728 bytes (28 %), 4:12 left"; the
// time left is shown once `elapsedMs` has reached 3 s. Returns `text`.
LPCWSTR FormatProgressLine(WCHAR (&text)[128], LPCWSTR title, DWORD sent, DWORD total, DWORD elapsedMs);
