// A run's bounds, read from the registry, and the report of a run that failed.
#include "update/run.h"

#include <iterator>

#include "common/output.h"
#include "common/settings.h"
#include "common/state.h"

UpdateBounds g_UpdateBounds = DEFAULT_UPDATE_BOUNDS;

static UpdateFailure s_lastFailure = UPDATE_NOT_FAILED;

UpdateBounds ReadUpdateBounds() {
  UpdateBounds bounds = DEFAULT_UPDATE_BOUNDS;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Platform\\Update", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return bounds;
  ReadDwordSetting(key, L"RomTimeout", &bounds.romMs);
  ReadDwordSetting(key, L"AnswerTimeout", &bounds.answerMs);
  ReadDwordSetting(key, L"ChunkTimeout", &bounds.chunkMs);
  ReadDwordSetting(key, L"Attempts", &bounds.attempts);
  RegCloseKey(key);
  return bounds;
}

void NoteUpdateFailure(UpdateFailure failure) {
  s_lastFailure = failure;
}

UpdateFailure LastUpdateFailure() {
  return s_lastFailure;
}

void ClearUpdateFailure() {
  s_lastFailure = UPDATE_NOT_FAILED;
}

static constexpr LPCWSTR FAILURE_REASONS[] = {
    L"",
    L"the module did not answer",
    L"no answer to the image",
    L"the update port was lost",
    L"the update port could not be opened",
    L"a firmware file could not be read",
};
static_assert(std::size(FAILURE_REASONS) == UPDATE_FILE_UNREADABLE + 1);

void ReportUpdateFailure(HWND hwnd, UpdateFailure failure) {
  const LPCWSTR reason = FAILURE_REASONS[failure];
  WCHAR text[TRACE_LINE_CHARS];
  wnsprintfW(text, TRACE_LINE_CHARS, L"\r\nFirmware update failed: %s\r\n", reason);
  LogPane(hwnd, text);
  if (g_bRilSuspendedByUpdate.load(std::memory_order_relaxed))
    LogPane(hwnd,
            L"The radio interface stays suspended until an update succeeds or Resume RIL is chosen.\r\n");
  Trace(L"Firmware update failed: %s\r\n", reason);
  if (hwnd == nullptr) return;  // a run without a window (a test's) reports to the trace only
  wnsprintfW(text, TRACE_LINE_CHARS, L"Firmware update failed: %s", reason);
  MessageBoxW(nullptr, text, L"Update failed", MB_OK);
}
