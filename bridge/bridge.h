// The UART bridge: acquiring and releasing the two ports, and the pumps between them.
#pragma once

#include <kov02/ce.h>

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
