// The application's state words with their start-up values.
#include "common/state.h"

HINSTANCE g_hInst = nullptr;
HWND g_hwndMenuBar = nullptr;
WCHAR g_szWorkDir[100] = {};
std::atomic<int> g_nSource{SOURCE_IRDA};
std::atomic<int> g_nDebugDir{DEBUG_BOTH};
std::atomic<int> g_bRun{1};
std::atomic<HANDLE> g_hFF{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hBT{INVALID_HANDLE_VALUE};
std::atomic<LPCWSTR> g_pszFFName{L""};
std::atomic<LPCWSTR> g_pszBTName{L""};
std::atomic<HANDLE> g_hThreadFFtoBT{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hThreadBTtoFF{INVALID_HANDLE_VALUE};
std::atomic<int> g_bFlashOnly{0};
std::atomic<HANDLE> g_hUpdateThread{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hCastThread{INVALID_HANDLE_VALUE};
std::atomic<int> g_bUpdateBusy{0};
std::atomic<int> g_bUpdatePortHeld{0};
std::atomic<int> g_bRilSuspendedByUpdate{0};
