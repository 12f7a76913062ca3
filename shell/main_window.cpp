// The program's frame: entry, single-instance rule, the main window and its message loop.
// The window procedure only looks the message up in g_MsgTable; each handler does one job.
#include <cwchar>
#include <iterator>

#include "bridge/bridge.h"
#include "common/output.h"
#include "common/state.h"
#include "shell/resources/resource_ids.h"
#include "shell/shell.h"
#include "update/update.h"

const MessageRow g_MsgTable[] = {
    {WM_CREATE, OnCreate},        {WM_SIZE, OnSize},
    {WM_COMMAND, OnCommand},      {WM_SETTINGCHANGE, OnShellNotify},
    {WM_ACTIVATE, OnShellNotify}, {WM_SETFOCUS, OnSetFocus},
    {WM_DESTROY, OnDestroy},      {WM_TIMER, OnTimer},
    {WM_CLOSE, OnClose},          {WM_DEVICECHANGE, OnDeviceChange},
};
const std::size_t g_MsgTableSize = std::size(g_MsgTable);

SHACTIVATEINFO g_ShellActivate = {sizeof(SHACTIVATEINFO), nullptr, 0, 0, 0, 0};

// The log pane's style: child, visible, vertical scroll bar, read-only, no wrap, multi-line.
static constexpr DWORD LOG_PANE_STYLE = 0x50200884;
static_assert(LOG_PANE_STYLE ==
              (WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_READONLY | ES_AUTOHSCROLL | ES_MULTILINE));

// Lowest bit set: bring the window's owned windows to the front with it.
static HWND WithOwnedWindows(HWND hwnd) {
  return reinterpret_cast<HWND>(reinterpret_cast<std::uintptr_t>(hwnd) | 0x1);
}

int AppInit(HINSTANCE hInstance) {
  HWND running = FindWindowW(KOV02Tool, nullptr);
  if (running != nullptr) {
    SetForegroundWindow(WithOwnedWindows(running));
    return -1;
  }
  WNDCLASSW wc = {};
  wc.style = 0;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = hInstance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = KOV02Tool;
  if (RegisterClassW(&wc) == 0) return 1;
  INITCOMMONCONTROLSEX icc = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  return 0;
}

HWND CreateMainWindow(HINSTANCE hInstance, LPWSTR, int nCmdShow) {
  g_hInst = hInstance;
  HWND hwnd = CreateWindowExW(0, KOV02Tool, KOV02Tool, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
  if (!IsWindow(hwnd)) return nullptr;
  ShowWindow(hwnd, nCmdShow);
  UpdateWindow(hwnd);
  return hwnd;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
  int rc = AppInit(hInstance);
  if (rc != 0) return rc;
  HWND hwndMain = CreateMainWindow(hInstance, lpCmdLine, nCmdShow);
  if (hwndMain == nullptr) return 16;
  HACCEL hAccel = LoadAcceleratorsW(hInstance, ID_ACCEL);
  MSG msg = {};
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    if (!TranslateAcceleratorW(hwndMain, hAccel, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

LRESULT MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  for (std::size_t i = 0; i < g_MsgTableSize; ++i) {
    if (g_MsgTable[i].message == message) return g_MsgTable[i].handler(hwnd, message, wParam, lParam);
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT OnCommand(HWND hwnd, UINT, WPARAM wParam, LPARAM lParam) {
  WORD id = LOWORD(wParam);
  WORD code = HIWORD(wParam);
  const CommandHandler handler = HandlerOfCommand(id);
  return handler != nullptr ? handler(hwnd, id, reinterpret_cast<HWND>(lParam), code) : 0;
}

LRESULT OnCreate(HWND hwnd, UINT, WPARAM, LPARAM) {
  SHMENUBARINFO mbi = {};
  mbi.cbSize = sizeof(mbi);
  mbi.hwndParent = hwnd;
  mbi.dwFlags = 0;
  mbi.nToolBarId = ID_MENU;
  mbi.hInstRes = g_hInst;
  mbi.nBmpId = 0;
  mbi.cBmpImages = 0;
  if (!SHCreateMenuBar(&mbi)) return -1;
  g_hwndMenuBar = mbi.hwndMB;

  HWND hwndLog =
      CreateWindowExW(WS_EX_CLIENTEDGE, L"edit", L"", LOG_PANE_STYLE, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                      hwnd, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(IDC_LOG)), g_hInst, nullptr);
  if (!IsWindow(hwndLog)) {
    DestroyWindow(hwnd);
    return 0;
  }
  SHINITDLGINFO shidi = {SHIDIM_FLAGS, hwnd, SHIDIF_DONEBUTTON};
  SHInitDialog(&shidi);
  SetTimer(hwnd, IDT_IDLE_RESET, IDLE_RESET_PERIOD_MS, nullptr);
  RequestDeviceNotices(hwnd);
  InitWorkDir();
  Trace(L"get current dir %s\r\n", g_szWorkDir);
  return 0;
}

// Where HKEY_LOCAL_MACHINE\Platform\Update "PackageDir" stands, read into `text`.
enum PackageDirSetting { PACKAGE_DIR_UNSET, PACKAGE_DIR_SET, PACKAGE_DIR_TOO_LONG };
static constexpr DWORD PACKAGE_DIR_CHARS = 512;

static PackageDirSetting ReadPackageDir(WCHAR (&text)[PACKAGE_DIR_CHARS]) {
  HKEY key = nullptr;
  text[0] = L'\0';
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Platform\\Update", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return PACKAGE_DIR_UNSET;
  DWORD type = 0;
  DWORD size = sizeof text;
  const LONG result =
      RegQueryValueExW(key, L"PackageDir", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (type != REG_SZ) return PACKAGE_DIR_UNSET;
  if (result == ERROR_MORE_DATA) return PACKAGE_DIR_TOO_LONG;
  text[PACKAGE_DIR_CHARS - 1] = L'\0';
  return result == ERROR_SUCCESS && text[0] != L'\0' ? PACKAGE_DIR_SET : PACKAGE_DIR_UNSET;
}

// The working directory from PackageDir, a Linux path, written as the handset writes folders:
// '\' separators and a closing one. A folder that does not fit is no working directory, as a
// program path that does not fit is none: nothing is taken from anywhere else instead.
static void WorkDirFromPackageDir(PackageDirSetting setting, const WCHAR (&packageDir)[PACKAGE_DIR_CHARS]) {
  const std::size_t length = std::wcslen(packageDir);
  const bool closed = length > 0 && packageDir[length - 1] == L'/';
  if (setting == PACKAGE_DIR_TOO_LONG || length + (closed ? 0 : 1) >= std::size(g_szWorkDir)) {
    MessageBoxW(nullptr, packageDir, L"WorkDir Error", MB_OK);
    return;
  }
  for (std::size_t i = 0; i < length; ++i) g_szWorkDir[i] = packageDir[i] == L'/' ? L'\\' : packageDir[i];
  if (!closed) g_szWorkDir[length] = L'\\';
}

void InitWorkDir() {
  WCHAR szPath[MODULE_PATH_CHARS] = {};
  std::wmemset(g_szWorkDir, 0, std::size(g_szWorkDir));
  WCHAR packageDir[PACKAGE_DIR_CHARS];
  if (const PackageDirSetting setting = ReadPackageDir(packageDir); setting != PACKAGE_DIR_UNSET) {
    WorkDirFromPackageDir(setting, packageDir);
    return;
  }
  SetLastError(ERROR_SUCCESS);
  GetModuleFileNameW(nullptr, szPath, MODULE_PATH_CHARS);
  const bool cut = GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  szPath[MODULE_PATH_CHARS - 1] = L'\0';
  const WCHAR* lastBackslash = std::wcsrchr(szPath, L'\\');
  if (lastBackslash == nullptr) {
    MessageBoxW(nullptr, szPath, L"WorkDir Error", MB_OK);
    return;
  }
  if (cut) {
    // A directory taken from a cut path would be another one: better none than the wrong one.
    MessageBoxW(nullptr, szPath, L"WorkDir Error", MB_OK);
    return;
  }
  std::size_t length = static_cast<std::size_t>(lastBackslash - szPath) + 1;
  std::wmemcpy(g_szWorkDir, szPath, length);
}

LRESULT OnSize(HWND hwnd, UINT, WPARAM, LPARAM) {
  RECT rc = {};
  GetClientRect(hwnd, &rc);
  rc.top += CommandBar_Height(GetDlgItem(hwnd, IDC_CMDBAR));
  SetWindowPos(GetDlgItem(hwnd, IDC_LOG), nullptr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
               SWP_NOZORDER);
  return 0;
}

// Exit, Ctrl+Q, the OK button and the window's close all come here. While an update run could
// still leave the module without firmware, the user is asked first; No leaves the run alone.
LRESULT OnClose(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (ModuleMayLackFirmware()) {
    if (MessageBoxW(hwnd,
                    L"A firmware update is running. Quitting now leaves the module without working firmware. "
                    L"Quit anyway?",
                    KOV02Tool, MB_YESNO) != IDYES) {
      return 0;
    }
    StopUpdate();
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT OnShellNotify(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTINGCHANGE) return SHHandleWMSettingChange(hwnd, wParam, lParam, &g_ShellActivate);
  return SHHandleWMActivate(hwnd, wParam, lParam, &g_ShellActivate, 0);
}

LRESULT OnSetFocus(HWND hwnd, UINT, WPARAM, LPARAM) {
  SetFocus(GetDlgItem(hwnd, IDC_LOG));
  return 0;
}

// Keeps the handset awake: resets the idle timer and sends a silent key-up.
LRESULT OnTimer(HWND, UINT, WPARAM, LPARAM) {
  SystemIdleTimerReset();
  keybd_event(0x15, 0, KEYEVENTF_KEYUP | KEYEVENTF_SILENT, 0);
  return 0;
}

// A held port's adapter was pulled or put back: the platform's lines go to the pane. Nothing is
// reopened or resumed; the person chooses what to do next.
LRESULT OnDeviceChange(HWND hwnd, UINT, WPARAM, LPARAM) {
  LogDeviceNotices(hwnd);
  return 0;
}

// Stops the bridge (no log line) and ends the message loop. A firmware update still under way
// is left alone: its threads end with the process.
LRESULT OnDestroy(HWND, UINT, WPARAM, LPARAM) {
  StopBridge();
  PostQuitMessage(0);
  return 0;
}
