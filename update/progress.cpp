// The progress bar and its line (see progress.h).
#include "update/progress.h"

#include <iterator>

struct StepRow {
  LPCWSTR name;   // the bar's window text: what the console prints
  LPCWSTR title;  // what a person reads above the bar
};
static constexpr StepRow STEPS[] = {
    {L"boot1", L"Bootloader 1"},
    {L"boot2", L"Bootloader 2"},
    {L"image", L"Firmware"},
};

// The progress shown is at most this old while a step runs, as long as the bytes move that often:
// the line keeps up with the stars on a fast link without redrawing for every chunk.
static constexpr DWORD PROGRESS_PERIOD_MS = 250;
// The time left is guessed only once the step has run this long.
static constexpr DWORD TIME_LEFT_AFTER_MS = 3000;

// The step under way; the update thread only.
static HWND s_hwndMain = nullptr;
static UpdateStep s_step = STEP_BOOT1;
static DWORD s_total = 0;
static DWORD s_started = 0;
static DWORD s_shown = 0;
static DWORD s_sent = 0;
static DWORD s_advanced = 0;  // when the latest chunk went
static bool s_stepBegun = false;

static HWND MakeControl(HWND hwnd, LPCWSTR windowClass, int id) {
  return CreateWindowExW(0, windowClass, L"", WS_CHILD, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, hwnd,
                         reinterpret_cast<HMENU>(static_cast<std::intptr_t>(id)), nullptr, nullptr);
}

void ShowProgress(HWND hwnd) {
  if (hwnd == nullptr) return;
  HWND bar = GetDlgItem(hwnd, IDC_PROGRESS);
  if (bar == nullptr) bar = MakeControl(hwnd, PROGRESS_CLASSW, IDC_PROGRESS);
  HWND line = GetDlgItem(hwnd, IDC_PROGRESS_TEXT);
  if (line == nullptr) line = MakeControl(hwnd, L"static", IDC_PROGRESS_TEXT);
  SendMessageW(line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  // A bar a failed run left stopped starts afresh.
  SendMessageW(bar, PBM_SETSTATE, PBST_NORMAL, 0);
  SendMessageW(bar, PBM_SETPOS, 0, 0);
  ShowWindow(bar, SW_SHOW);
  ShowWindow(line, SW_SHOW);
}

void HideProgress(HWND hwnd) {
  if (hwnd == nullptr) return;
  ShowWindow(GetDlgItem(hwnd, IDC_PROGRESS), SW_HIDE);
  ShowWindow(GetDlgItem(hwnd, IDC_PROGRESS_TEXT), SW_HIDE);
}

void StopProgress(HWND hwnd) {
  if (hwnd == nullptr) return;
  if (!s_stepBegun) return HideProgress(hwnd);
  WCHAR sent[BYTE_SIZE_CHARS], total[BYTE_SIZE_CHARS], line[128];
  wnsprintfW(line, static_cast<int>(std::size(line)), L"Stopped at %s of %s", FormatByteSize(sent, s_sent),
             FormatByteSize(total, s_total));
  SendMessageW(GetDlgItem(hwnd, IDC_PROGRESS_TEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(line));
  HWND bar = GetDlgItem(hwnd, IDC_PROGRESS);
  SendMessageW(bar, PBM_SETPOS, s_sent, 0);
  SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0);
}

LPCWSTR FormatByteSize(WCHAR (&text)[BYTE_SIZE_CHARS], DWORD bytes) {
  const int size = static_cast<int>(std::size(text));
  // Rounded to what is shown; a count that would round up to 1000.0 kB is shown in MB.
  if (bytes < 1000) {
    wnsprintfW(text, size, L"%u B", bytes);
  } else if (bytes < 999950) {
    const DWORD tenths = (bytes + 50) / 100;
    wnsprintfW(text, size, L"%u.%u kB", tenths / 10, tenths % 10);
  } else {
    const unsigned long long hundredths = (static_cast<unsigned long long>(bytes) + 5000) / 10000;
    wnsprintfW(text, size, L"%u.%02u MB", static_cast<UINT>(hundredths / 100),
               static_cast<UINT>(hundredths % 100));
  }
  return text;
}

LPCWSTR FormatProgressLine(WCHAR (&text)[128], LPCWSTR title, DWORD sent, DWORD total, DWORD elapsedMs) {
  const int percent =
      total == 0 ? 100 : static_cast<int>(static_cast<unsigned long long>(sent) * 100 / total);
  WCHAR sentText[BYTE_SIZE_CHARS], totalText[BYTE_SIZE_CHARS];
  int length = wnsprintfW(text, static_cast<int>(std::size(text)), L"%s: %s of %s (%d %%)", title,
                          FormatByteSize(sentText, sent), FormatByteSize(totalText, total), percent);
  if (length < 0 || elapsedMs < TIME_LEFT_AFTER_MS || sent == 0 || sent >= total) return text;
  const unsigned long long left = static_cast<unsigned long long>(elapsedMs) * (total - sent) / sent / 1000;
  wnsprintfW(text + length, static_cast<int>(std::size(text)) - length, L", %u:%02u left",
             static_cast<UINT>(left / 60), static_cast<UINT>(left % 60));
  return text;
}

static void ShowPosition(DWORD sent) {
  if (s_hwndMain == nullptr) return;
  WCHAR line[128];
  FormatProgressLine(line, STEPS[s_step].title, sent, s_total, GetTickCount() - s_started);
  SendMessageW(GetDlgItem(s_hwndMain, IDC_PROGRESS_TEXT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(line));
  SendMessageW(GetDlgItem(s_hwndMain, IDC_PROGRESS), PBM_SETPOS, sent, 0);
  s_shown = GetTickCount();
}

void SetProgressWindow(HWND hwnd) {
  s_hwndMain = hwnd;
  s_stepBegun = false;
  s_sent = 0;
}

void BeginProgressStep(UpdateStep step, DWORD total) {
  s_step = step;
  s_total = total;
  s_started = GetTickCount();
  s_advanced = s_started;
  s_sent = 0;
  s_stepBegun = true;
  if (s_hwndMain == nullptr) return;
  HWND bar = GetDlgItem(s_hwndMain, IDC_PROGRESS);
  SendMessageW(bar, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(STEPS[step].name));
  SendMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(total));
  ShowPosition(0);
}

void AdvanceProgress(DWORD sent) {
  s_sent = sent;
  const DWORD now = GetTickCount();
  const DWORD chunkMs = now - s_advanced;
  s_advanced = now;
  // Shown now when waiting for one more chunk like this one would leave the line older than the
  // period; so the line follows at least four times a second, and every chunk on a slow link.
  if (now - s_shown + chunkMs >= PROGRESS_PERIOD_MS) ShowPosition(sent);
}

void EndProgressStep(DWORD sent) {
  s_sent = sent;
  ShowPosition(sent);
}
