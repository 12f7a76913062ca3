// The main window's commands: the command table, and the shell's own commands (Exit, About,
// the choice of the bridge's second port and of the debug-message direction).
#include <iterator>

#include "bridge/bridge.h"
#include "common/state.h"
#include "device/device.h"
#include "shell/resources/resource_ids.h"
#include "shell/shell.h"
#include "update/update.h"

const CommandRow g_CmdTable[] = {
    {IDOK, OnExit},
    {IDM_EXIT, OnExit},
    {IDM_ABOUT, OnAbout},
    {IDM_SUSPEND_RIL, SuspendRil},
    {IDM_RESUME_RIL, ResumeRil},
    {IDM_RESET_RIL, ResetRadioModule},
    {IDM_GET_COMS, GetComs},
    {IDM_RELEASE_COMS, ReleaseComs},
    {IDM_REBOOT, RebootDevice},
    {IDM_SRC_BTUART, OnSelect},
    {IDM_SRC_RAWIR, OnSelect},
    {IDM_SRC_IRDA, OnSelect},
    {IDM_DBG_NONE, OnSelect},
    {IDM_DBG_BT_TO_FF, OnSelect},
    {IDM_DBG_FF_TO_BT, OnSelect},
    {IDM_DBG_BOTH, OnSelect},
    {IDM_UPD_EEP_FLASH, OnUpdateFirmware},
    {IDM_UPD_FLASH_ONLY, OnUpdateFirmware},
};
const std::size_t g_CmdTableSize = std::size(g_CmdTable);

int OnExit(HWND hwnd, WORD, HWND, WORD) {
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  return 0;
}

// The three steps are chained without tests: a missing resource makes the modal call fail,
// and nothing is shown.
int OnAbout(HWND hwnd, WORD, HWND, WORD) {
  HRSRC hrsrc = FindResourceW(g_hInst, L"aboutbox", RT_DIALOG);
  auto dialog = static_cast<LPCDLGTEMPLATEW>(LoadResource(g_hInst, hrsrc));
  DialogBoxIndirectParamW(g_hInst, dialog, hwnd, AboutDlgProc, 0);
  return 0;
}

BOOL AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return FALSE;
}

static constexpr WORD SOURCE_IDS[] = {IDM_SRC_BTUART, IDM_SRC_RAWIR, IDM_SRC_IRDA};
static constexpr WORD DEBUG_IDS[] = {IDM_DBG_NONE, IDM_DBG_BT_TO_FF, IDM_DBG_FF_TO_BT, IDM_DBG_BOTH};

template <std::size_t N>
static void MoveCheckMark(HMENU menu, const WORD (&group)[N], WORD chosen) {
  for (WORD id : group) CheckMenuItem(menu, id, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(menu, chosen, MF_BYCOMMAND | MF_CHECKED);
}

static int SourceOf(WORD id) {
  switch (id) {
    case IDM_SRC_BTUART:
      return 1;
    case IDM_SRC_RAWIR:
      return 2;
    default:
      return 3;
  }
}

static bool IsSourceCommand(WORD id) {
  return id == IDM_SRC_BTUART || id == IDM_SRC_RAWIR || id == IDM_SRC_IRDA;
}

// The source may change only while the bridge is closed (both port words -1); the debug
// direction may change at any time and takes effect at the pumps' next transfer.
int OnSelect(HWND hwnd, WORD id, HWND, WORD) {
  HMENU menu = CommandBar_GetMenu(g_hwndMenuBar, 0);
  if (IsSourceCommand(id)) {
    if (g_hBT.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE ||
        g_hFF.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE) {
      MessageBoxW(hwnd, L"COMs should be released first", nullptr, MB_ICONHAND);
      return 1;
    }
    MoveCheckMark(menu, SOURCE_IDS, id);
    g_nSource.store(SourceOf(id), std::memory_order_relaxed);
    return 0;
  }
  MoveCheckMark(menu, DEBUG_IDS, id);
  g_nDebugDir.store(id - IDM_DBG_NONE, std::memory_order_relaxed);
  return 0;
}
