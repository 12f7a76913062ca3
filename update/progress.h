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
// After a failed run: the bar stays, greyed, at the bytes the step under way had sent, and the line
// says "Stopped at 164.0 kB of 4.17 MB" until the next run shows them afresh. A run that failed
// before its first step hides them. The update thread, once the run is over.
void StopProgress(HWND hwnd);

// The update thread: the run's main window, then for each step: it begins with `total` bytes to
// send, `sent` of them have gone (shown so that the line is never more than a quarter second behind
// while chunks go faster than that), it has ended with `sent` bytes.
void SetProgressWindow(HWND hwnd);
void BeginProgressStep(UpdateStep step, DWORD total);
void AdvanceProgress(DWORD sent);
void EndProgressStep(DWORD sent);

// The line above the bar, e.g. "Firmware: 52.0 kB of 4.17 MB (1 %), 5:31 left"; the time left is
// shown once `elapsedMs` has reached 3 s. Returns `text`.
LPCWSTR FormatProgressLine(WCHAR (&text)[128], LPCWSTR title, DWORD sent, DWORD total, DWORD elapsedMs);

// A byte count as a person reads it: "512 B", "52.0 kB", "4.17 MB" (decimal units). Returns `text`.
inline constexpr int BYTE_SIZE_CHARS = 16;
LPCWSTR FormatByteSize(WCHAR (&text)[BYTE_SIZE_CHARS], DWORD bytes);
