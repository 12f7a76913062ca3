// The UART bridge: acquiring and releasing the two ports, and the pumps between them.
#pragma once

#include <kov02/ce.h>

#include <cstddef>

#include "common/choices.h"

// The commands that choose side B, one per row of g_SideBSources.
inline constexpr WORD IDM_SRC_BTUART = 110;
inline constexpr WORD IDM_SRC_RAWIR = 111;
inline constexpr WORD IDM_SRC_IRDA = 116;

// One port the bridge can take as side B: the command that chooses it, the g_nSource value it
// sets, and what opens it. A new side-B port is one row of g_SideBSources (bridge/ports.cpp),
// the two names that row uses (its command id above, its BridgeSource value), and its menu
// item; the shell dispatches and checks the command from the row.
struct SideBSource {
  WORD commandId;
  BridgeSource source;
  int (*open)(HWND hwnd);
};
extern const SideBSource g_SideBSources[];
extern const std::size_t g_SideBSourceCount;

int GetComs(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
int ReleaseComs(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
void StopBridge();
int OpenBridgePort(HWND hwnd, LPCWSTR logicalName);
int OpenIrdaPort(HWND hwnd);
int OpenRawIrPort(HWND hwnd);
void StartPumps(HWND hwnd);
void StopPumps();
DWORD PumpFFtoBT(LPVOID hwnd);
DWORD PumpBTtoFF(LPVOID hwnd);
