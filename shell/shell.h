// The application shell: entry, the main window, its message table and its command table.
#pragma once

#include <kov02/ce.h>

#include <cstddef>

inline constexpr wchar_t KOV02Tool[] = L"KOV02Tool";  // class name and title alike
inline constexpr int IDC_CMDBAR = 4;                  // a command-bar child, when there is one
inline constexpr UINT IDT_IDLE_RESET = 100;           // the keep-alive timer
inline constexpr UINT IDLE_RESET_PERIOD_MS = 30000;
inline constexpr DWORD MODULE_PATH_CHARS = 100;  // longest program path read, terminator included

using MessageHandler = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
struct MessageRow {
  DWORD message;
  MessageHandler handler;
};

using CommandHandler = int (*)(HWND hwnd, WORD id, HWND control, WORD code);
struct CommandRow {
  DWORD id;
  CommandHandler handler;
};

extern const MessageRow g_MsgTable[];
extern const std::size_t g_MsgTableSize;
extern const CommandRow g_CmdTable[];
extern const std::size_t g_CmdTableSize;
// The handler a command runs: its g_CmdTable row's, OnSelect for a side-B port's command, or null.
CommandHandler HandlerOfCommand(WORD id);
extern SHACTIVATEINFO g_ShellActivate;  // the shell's activation state of the main window; UI thread

int AppInit(HINSTANCE hInstance);
HWND CreateMainWindow(HINSTANCE hInstance, LPWSTR lpCmdLine, int nCmdShow);
LRESULT MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT OnCreate(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnSize(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnCommand(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnShellNotify(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnSetFocus(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnClose(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnDestroy(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnTimer(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnDeviceChange(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Fills g_szWorkDir with the directory of the program's own file (ending in '\').
void InitWorkDir();

int OnExit(HWND hwnd, WORD id, HWND control, WORD code);
int OnAbout(HWND hwnd, WORD id, HWND control, WORD code);
int OnSelect(HWND hwnd, WORD id, HWND control, WORD code);
BOOL AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
