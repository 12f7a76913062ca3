// The application's state words: global, process-long, each with one writer thread.
//
// They are relaxed atomics: the C++ spelling of "a plain aligned 32-bit word with one writer",
// which keeps the lock-free rules of the threads that share them free of data races.
#pragma once

#include <kov02/ce.h>

#include <atomic>

#include "common/choices.h"

extern HINSTANCE g_hInst;                    // the program's instance; UI thread, once
extern HWND g_hwndMenuBar;                   // the shell menu bar; UI thread at creation
extern WCHAR g_szWorkDir[100];               // program directory ending in '\'; UI thread at creation
extern std::atomic<int> g_nSource;           // bridge side B, a BridgeSource; UI thread
extern std::atomic<int> g_nDebugDir;         // traffic lines shown, a DebugDirection; UI thread
extern std::atomic<int> g_bRun;              // bridge pump run flag; UI thread
extern std::atomic<HANDLE> g_hFF;            // bridge side A port, -1 while closed; UI thread
extern std::atomic<HANDLE> g_hBT;            // bridge side B port, -1 while closed; UI thread
extern std::atomic<LPCWSTR> g_pszFFName;     // side A's device name, static text; UI thread
extern std::atomic<LPCWSTR> g_pszBTName;     // side B's device name, static text; UI thread
extern std::atomic<HANDLE> g_hThreadFFtoBT;  // pump FF->BT; UI thread
extern std::atomic<HANDLE> g_hThreadBTtoFF;  // pump BT->FF; UI thread
extern std::atomic<int>
    g_bFlashOnly;  // 1 "Flash only", 0 "EEP+Flash"; UI thread before the update thread starts
extern std::atomic<HANDLE> g_hUpdateThread;  // latest update thread; UI thread
extern std::atomic<HANDLE> g_hCastThread;    // caster thread; update thread
// 1 while an update run may still leave the module without firmware: set by the update command
// before it starts the update thread, cleared by that thread once the image is accepted or the
// run has ended (never both at once). The quit guard, Get COMs and Reboot Device read it.
extern std::atomic<int> g_bUpdateBusy;
// 1 from the start of an update run until its thread has closed the update port: unlike
// g_bUpdateBusy it still holds while the "Successful" question is up. Get COMs reads it.
extern std::atomic<int> g_bUpdatePortHeld;
// 1 when the latest update command suspended the radio interface (its SuspendRil succeeded);
// the UI thread writes it before the update thread starts, and that thread reads it.
extern std::atomic<int> g_bRilSuspendedByUpdate;
