// The firmware update driver: the menu command that starts a run, the package test, and the
// update thread with its boot-ROM handshake, retries, image transfer and closing.
#include "update/update.h"

#include "common/output.h"
#include "common/state.h"
#include "device/device.h"
#include "shell/resources/resource_ids.h"
#include "update/package.h"
#include "update/update_port.h"

// The missing-files line is formatted into a buffer of this many characters.
static constexpr int MISSING_TEXT_CHARS = 100;

static constexpr LPCWSTR PACKAGE_FILES[] = {BOOT1_FILE, BOOT2_FILE, FLASH_ONLY_FILE};

int CheckFirmwarePackage() {
  for (LPCWSTR name : PACKAGE_FILES) {
    WCHAR path[PACKAGE_PATH_CHARS];
    if (!FormPackagePath(path, name)) return 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path, &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    FindClose(find);
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

// True while the latest update thread still runs: it owns COM1: and the update port record.
static bool UpdateRunning() {
  DWORD code = 0;
  return GetExitCodeThread(g_hUpdateThread.load(std::memory_order_relaxed), &code) && code == STILL_ACTIVE;
}

int OnUpdateFirmware(HWND hwnd, WORD commandId, HWND, WORD) {
  if (UpdateRunning()) {
    LogPane(hwnd, L"Firmware update already running\r\n");
    return 1;
  }
  if (!CheckFirmwarePackage()) {
    WCHAR text[MISSING_TEXT_CHARS];
    FormatMissingFiles(text);
    LogPaneIfDebug(hwnd, text);
    return 1;
  }
  SuspendRil(hwnd);
  Sleep(500);
  g_bFlashOnly.store(commandId == IDM_UPD_FLASH_ONLY ? 1 : 0, std::memory_order_relaxed);
  g_hUpdateThread.store(CreateThread(nullptr, 0, UpdateThread, hwnd, 0, nullptr), std::memory_order_relaxed);
  return 1;
}

static void PurgeUpdatePort() {
  PurgeComm(g_pUpdatePort.load(std::memory_order_relaxed)->hPort, UPDATE_PURGE_MASK);
}

static HANDLE Caster() {
  return g_hCastThread.load(std::memory_order_relaxed);
}

// Waits until the boot ROM answers 0xA0. 0 when the port went away meanwhile.
static int AwaitRomReady() {
  while (!WaitForByte(ROM_READY)) {
    if (UpdatePortLost()) return 0;
  }
  return 1;
}

// Casting, reset and 0xA0, then both bootloader stages; a failed stage starts the cycle again,
// without limit. Returns 1 with the caster suspended once both stages are accepted, 0 when the
// port went away (the caster may then be running or suspended).
static int RunHandshake(HWND hwnd) {
  for (;;) {
    Trace(L"!Cast 55h!\r\n");
    Sleep(1000);
    ResetRadioModule(nullptr);
    if (!AwaitRomReady()) return 0;
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

// Both stages accepted: the image, attempted once.
static void RunImage(HWND hwnd) {
  Trace(L"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n");
  PurgeUpdatePort();
  LogPaneIfDebug(hwnd, L"Sending Bootload2 succeed!!\r\n");
  if (SendFirmware(hwnd))
    Trace(L" Upgrade succeed!! \r\n");
  else
    Trace(L" Write to flash  fail!!  !!\r\n");
}

static void ReportPortLost(HWND hwnd) {
  Trace(L" Communication Port lost!! Update stopped\r\n");
  LogPaneIfDebug(hwnd, L"\r\nUpdate port lost, firmware update stopped\r\n");
}

// Closes the port and ends the caster, whatever state it is in.
static void CloseRun() {
  CloseUpdatePort();
  Trace(L" Communication Port Closed!!\r\n");
  HANDLE caster = Caster();
  TerminateThread(caster, 0);
  CloseHandle(caster);
  g_hCastThread.store(INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  Trace(L" Communication Port Closed!!\r\n");
}

DWORD UpdateThread(LPVOID parameter) {
  HWND hwnd = static_cast<HWND>(parameter);
  if (!OpenUpdatePort()) {
    Trace(L"Open com port failed!!\r\n");
    LogPaneIfDebug(hwnd, L"Open Comport fail!!\r\n");
    LogDeviceOpenFailure(hwnd, LogPaneIfDebug);
    return 1;
  }
  Trace(L"Open com port succeed!!\r\n");
  g_hCastThread.store(CreateThread(nullptr, 0, CasterThread, nullptr, 0, nullptr), std::memory_order_relaxed);
  if (RunHandshake(hwnd)) RunImage(hwnd);
  if (UpdatePortLost()) ReportPortLost(hwnd);
  CloseRun();
  return 0;
}
