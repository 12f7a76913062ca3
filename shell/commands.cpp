// The main window's commands: the command table, and the shell's own commands (Exit, About,
// the choice of the bridge's second port and of the debug-message direction).
#include <iterator>
#include <span>

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
    // The side-B ports' commands have no rows here: HandlerOfCommand finds them in
    // g_SideBSources, so that a new port is one row there and its menu item.
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

namespace {
// A command of the debug-message group and the direction it chooses.
struct DebugChoice {
  WORD commandId;
  DebugDirection direction;
};
}  // namespace

static constexpr DebugChoice DEBUG_CHOICES[] = {
    {.commandId = IDM_DBG_NONE, .direction = DEBUG_NONE},
    {.commandId = IDM_DBG_BT_TO_FF, .direction = DEBUG_BT_TO_FF},
    {.commandId = IDM_DBG_FF_TO_BT, .direction = DEBUG_FF_TO_BT},
    {.commandId = IDM_DBG_BOTH, .direction = DEBUG_BOTH},
};

// Checks `chosen` and unchecks the other commands of its group.
template <typename Row>
static void MoveCheckMark(HMENU menu, std::span<const Row> group, WORD chosen) {
  for (const Row& row : group) CheckMenuItem(menu, row.commandId, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(menu, chosen, MF_BYCOMMAND | MF_CHECKED);
}

static const SideBSource* SourceRowOf(WORD id) {
  for (const SideBSource& row : std::span(g_SideBSources, g_SideBSourceCount)) {
    if (row.commandId == id) return &row;
  }
  return nullptr;
}

CommandHandler HandlerOfCommand(WORD id) {
  for (const CommandRow& row : std::span(g_CmdTable, g_CmdTableSize)) {
    if (row.id == id) return row.handler;
  }
  return SourceRowOf(id) != nullptr ? OnSelect : nullptr;
}

static DebugDirection DirectionOf(WORD id) {
  for (const DebugChoice& row : DEBUG_CHOICES) {
    if (row.commandId == id) return row.direction;
  }
  return DEBUG_BOTH;
}

// The source may change only while the bridge is closed (both port words -1); the debug
// direction may change at any time and takes effect at the pumps' next transfer.
int OnSelect(HWND hwnd, WORD id, HWND, WORD) {
  HMENU menu = CommandBar_GetMenu(g_hwndMenuBar, 0);
  if (const SideBSource* source = SourceRowOf(id)) {
    if (g_hBT.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE ||
        g_hFF.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE) {
      MessageBoxW(hwnd, L"COMs should be released first", nullptr, MB_ICONHAND);
      return 1;
    }
    MoveCheckMark(menu, std::span(g_SideBSources, g_SideBSourceCount), id);
    g_nSource.store(source->source, std::memory_order_relaxed);
    return 0;
  }
  MoveCheckMark(menu, std::span<const DebugChoice>(DEBUG_CHOICES), id);
  g_nDebugDir.store(DirectionOf(id), std::memory_order_relaxed);
  return 0;
}
