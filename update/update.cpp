// The firmware update driver: the menu command that starts a run, the package test, and the
// update thread with its boot-ROM handshake, retries, image transfer and closing.
#include "update/update.h"

#include <cwchar>
#include <iterator>

#include "common/output.h"
#include "common/state.h"
#include "device/device.h"
#include "update/modes.h"
#include "update/package.h"
#include "update/progress.h"
#include "update/run.h"
#include "update/update_port.h"

// The missing-files line is formatted into a buffer of this many characters.
static constexpr int MISSING_TEXT_CHARS = 100;

// Whether the package file `name` is in the working directory; a path too long is not there.
static bool PackageFilePresent(LPCWSTR name) {
  WCHAR path[PACKAGE_PATH_CHARS];
  if (!FormPackagePath(path, name)) return false;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(path, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

int CheckFirmwarePackage(const UpdateMode& mode) {
  for (LPCWSTR name : mode.packageFiles) {
    if (!PackageFilePresent(name)) return 0;
  }
  return 1;
}

// The missing-files line for the working directory. A directory too long for the buffer is
// cut, and the line still ends with its line break.
static void FormatMissingFiles(WCHAR (&text)[MISSING_TEXT_CHARS]) {
  if (wnsprintfW(text, MISSING_TEXT_CHARS, L"Cannot get firmware files from %.100s directory\r\n",
                 g_szWorkDir) < 0) {
    text[MISSING_TEXT_CHARS - 3] = L'\r';
    text[MISSING_TEXT_CHARS - 2] = L'\n';
    text[MISSING_TEXT_CHARS - 1] = L'\0';
  }
}

// The working directory as the Linux folder it names: '/' for '\', no closing separator. It is
// read no further than its 100 characters.
static void LinuxWorkDir(WCHAR (&folder)[PACKAGE_PATH_CHARS]) {
  static_assert(std::size(g_szWorkDir) < PACKAGE_PATH_CHARS);
  int length = 0;
  for (; length < static_cast<int>(std::size(g_szWorkDir)) && g_szWorkDir[length] != L'\0'; ++length)
    folder[length] = g_szWorkDir[length] == L'\\' ? L'/' : g_szWorkDir[length];
  if (length > 1 && folder[length - 1] == L'/') --length;
  folder[length] = L'\0';
}

// The reason line after the missing-files line: the folder as Linux writes it, every file of the
// mode that is not there, and where the folder is set.
static void LogMissingPackageFiles(HWND hwnd, const UpdateMode& mode) {
  WCHAR folder[PACKAGE_PATH_CHARS];
  LinuxWorkDir(folder);
  WCHAR missing[PACKAGE_PATH_CHARS] = L"";
  for (LPCWSTR name : mode.packageFiles) {
    if (PackageFilePresent(name)) continue;
    const int used = static_cast<int>(std::wcslen(missing));
    wnsprintfW(missing + used, PACKAGE_PATH_CHARS - used, used == 0 ? L"%s" : L", %s", name);
  }
  WCHAR file[REGISTRY_FILE_CHARS];
  GetRegistryFileW(file, REGISTRY_FILE_CHARS);
  WCHAR text[TRACE_LINE_CHARS];
  if (folder[0] == L'\0')
    wnsprintfW(text, TRACE_LINE_CHARS, L"no firmware package folder (PackageDir in %s)\r\n", file);
  else
    wnsprintfW(text, TRACE_LINE_CHARS, L"firmware package folder %s: missing %s (PackageDir in %s)\r\n",
               folder, missing, file);
  LogPaneIfDebug(hwnd, text);
}

// True while a run is under way, or while its thread still holds COM1: (the success box is up)
// and has not yet settled the run. A thread that only shows its failure box holds neither, and a
// new run may start beside it.
static bool RunOrItsPortHeld() {
  return g_bUpdatePortHeld.load(std::memory_order_relaxed) != 0;
}

// The previous run's thread handle goes when the next run starts; the thread itself may still be
// showing its closing box.
static void StartUpdateThread(HWND hwnd) {
  HANDLE previous = g_hUpdateThread.exchange(INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  if (previous != INVALID_HANDLE_VALUE && previous != nullptr) CloseHandle(previous);
  g_bUpdateBusy.store(1, std::memory_order_relaxed);
  g_bUpdatePortHeld.store(1, std::memory_order_relaxed);
  PowerPolicyNotify(PPN_UNATTENDEDMODE, TRUE);  // no sleep or shutdown mid-flash
  ShowProgress(hwnd);
  g_hUpdateThread.store(CreateThread(nullptr, 0, UpdateThread, hwnd, 0, nullptr), std::memory_order_relaxed);
}

// Always 1, whatever happened, as the handset's handler returned: the value only becomes the
// window procedure's answer to WM_COMMAND, which nobody reads. A run's outcome is told in the pane
// and its boxes instead.
int OnUpdateFirmware(HWND hwnd, WORD commandId, HWND, WORD) {
  if (RunOrItsPortHeld()) {
    LogPane(hwnd, L"Firmware update already running\r\n");
    return 1;
  }
  const UpdateMode* mode = FindUpdateMode(commandId);
  if (mode == nullptr) return 1;
  if (!CheckFirmwarePackage(*mode)) {
    WCHAR text[MISSING_TEXT_CHARS];
    FormatMissingFiles(text);
    LogPaneIfDebug(hwnd, text);
    LogMissingPackageFiles(hwnd, *mode);
    return 1;
  }
  g_bRilSuspendedByUpdate.store(SuspendRil(hwnd) == 0 ? 1 : 0, std::memory_order_relaxed);
  Sleep(500);
  SelectUpdateMode(commandId);
  StartUpdateThread(hwnd);
  return 1;
}

int ModuleMayLackFirmware() {
  return g_bUpdateBusy.load(std::memory_order_relaxed) ? 1 : 0;
}

static void PurgeUpdatePort() {
  PurgeComm(g_pUpdatePort.load(std::memory_order_relaxed)->hPort, UPDATE_PURGE_MASK);
}

static HANDLE Caster() {
  return g_hCastThread.load(std::memory_order_relaxed);
}

// Waits until the boot ROM answers 0xA0. 0 when the port went away or the module stayed silent.
static int AwaitRomReady() {
  for (;;) {
    switch (AwaitAnswer(ROM_READY, g_UpdateBounds.romMs)) {
      case WaitEnd::BYTE_CAME:
        return 1;
      case WaitEnd::LINE_EVENT:
        continue;  // a break or line error is no answer: wait again
      case WaitEnd::SILENCE:
      case WaitEnd::PORT_LOST:
        return 0;
    }
  }
}

// Whether another handshake cycle may start after `cycle` cycles; says so in the pane.
static int StartAgain(HWND hwnd, DWORD cycle) {
  if (UpdatePortLost()) return 0;
  const DWORD attempts = g_UpdateBounds.attempts;
  if (attempts != 0 && cycle >= attempts) return 0;
  WCHAR text[TRACE_LINE_CHARS];
  wnsprintfW(text, TRACE_LINE_CHARS, L"No answer from the module, starting again (attempt %d)\r\n",
             static_cast<int>(cycle + 1));
  LogPaneIfDebug(hwnd, text);
  return 1;
}

// Casting, reset and 0xA0, then both bootloader stages; a failed stage starts the cycle again,
// up to the bound on cycles. Returns 1 with the caster suspended once both stages are accepted,
// 0 when the port went away or the cycles ran out (the caster may then be running or suspended).
static int RunHandshake(HWND hwnd) {
  for (DWORD cycle = 1;; ++cycle) {
    if (cycle > 1 && !StartAgain(hwnd, cycle - 1)) return 0;
    NoteUpdateFailure(UPDATE_NO_ANSWER);
    Trace(L"!Cast 55h!\r\n");
    Sleep(1000);
    // Only an answer to this reset may start stage 1: a 0xA0 that came before it (a late answer
    // to an earlier cycle) would send the stage to a module still restarting.
    DiscardReceived();
    ResetRadioModule(nullptr);
    if (!AwaitRomReady()) continue;
    SuspendThread(Caster());
    PurgeUpdatePort();
    Trace(L" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
    if (!SendBootload1()) {
      Trace(L" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n");
      PurgeUpdatePort();
      if (UpdatePortLost()) return 0;
      Sleep(1000);  // casting resumes after the pause: the reset comes 1000 ms into it
      ResumeThread(Caster());
      continue;
    }
    Trace(L"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n");
    PurgeUpdatePort();
    LogPaneIfDebug(hwnd, L"Sending Bootload1 succeed!!\r\n");
    if (!SendBootload2()) {
      Trace(L"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n");
      PurgeUpdatePort();
      if (UpdatePortLost()) return 0;
      ResumeThread(Caster());  // casting resumes before the pause: the reset comes 2000 ms into it
      Sleep(1000);
      continue;
    }
    return 1;
  }
}

// Both stages accepted: the image, attempted once. 1 when the module accepted it.
static int RunImage(HWND hwnd) {
  Trace(L"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n");
  PurgeUpdatePort();
  LogPaneIfDebug(hwnd, L"Sending Bootload2 succeed!!\r\n");
  NoteUpdateFailure(UPDATE_NO_IMAGE_ANSWER);
  if (SendFirmware(hwnd)) {
    Trace(L" Upgrade succeed!! \r\n");
    return 1;
  }
  Trace(L" Write to flash  fail!!  !!\r\n");
  return 0;
}

static void ReportPortLost(HWND hwnd) {
  Trace(L" Communication Port lost!! Update stopped\r\n");
  LogPaneIfDebug(hwnd, L"\r\nUpdate port lost, firmware update stopped\r\n");
}

// The watch that bounds the module's silence runs beside the caster for the whole run.
static std::atomic<HANDLE> s_hWatchThread{INVALID_HANDLE_VALUE};

static void EndThread(std::atomic<HANDLE>& word) {
  HANDLE thread = word.exchange(INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  if (thread == INVALID_HANDLE_VALUE || thread == nullptr) return;
  TerminateThread(thread, 0);
  CloseHandle(thread);
}

// Closes the port and ends the caster and the watch, whatever state they are in.
static void CloseRun() {
  CloseUpdatePort();
  Trace(L" Communication Port Closed!!\r\n");
  EndThread(g_hCastThread);
  EndThread(s_hWatchThread);
  // The same line a second time is the handset's own trace, kept on purpose: logs compared with
  // its logs show it twice, once for the port and once for the threads.
  Trace(L" Communication Port Closed!!\r\n");
}

void ReleaseQuitGuard() {
  g_bUpdateBusy.store(0, std::memory_order_relaxed);
  PowerPolicyNotify(PPN_UNATTENDEDMODE, FALSE);
}

// The run is over: nothing more can harm the module, the bar goes (a failed run's stays, greyed, to
// show how far it got), and a failure is told.
static void SettleRun(HWND hwnd, UpdateFailure failure) {
  if (failure != UPDATE_NOT_FAILED) StopProgress(hwnd);
  if (failure == UPDATE_NOT_FAILED) HideProgress(hwnd);
  ReleaseQuitGuard();
  g_bUpdatePortHeld.store(0, std::memory_order_relaxed);
  if (failure != UPDATE_NOT_FAILED) ReportUpdateFailure(hwnd, failure);
}

DWORD UpdateThread(LPVOID parameter) {
  HWND hwnd = static_cast<HWND>(parameter);
  g_UpdateBounds = ReadUpdateBounds();
  ClearUpdateFailure();
  SetProgressWindow(hwnd);
  if (!OpenUpdatePort()) {
    Trace(L"Open com port failed!!\r\n");
    LogPaneIfDebug(hwnd, L"Open Comport fail!!\r\n");
    LogDeviceFailure(hwnd, LogPaneIfDebug);
    SettleRun(hwnd, UPDATE_PORT_NOT_OPENED);
    return 1;
  }
  Trace(L"Open com port succeed!!\r\n");
  g_hCastThread.store(CreateThread(nullptr, 0, CasterThread, nullptr, 0, nullptr), std::memory_order_relaxed);
  s_hWatchThread.store(CreateThread(nullptr, 0, WatchThread, nullptr, 0, nullptr), std::memory_order_relaxed);
  const int accepted = RunHandshake(hwnd) && RunImage(hwnd);
  if (UpdatePortLost()) {
    ReportPortLost(hwnd);
    NoteUpdateFailure(UPDATE_PORT_LOST);
  }
  CloseRun();
  SettleRun(hwnd, accepted ? UPDATE_NOT_FAILED : LastUpdateFailure());
  return 0;
}

void StopUpdate() {
  if (!g_bUpdateBusy.load(std::memory_order_relaxed)) return;
  TerminateThread(g_hUpdateThread.load(std::memory_order_relaxed), 1);
  CloseRun();
  ReleaseQuitGuard();
  g_bUpdatePortHeld.store(0, std::memory_order_relaxed);
}
