// The firmware update: the driver that runs one update, the two bootloader stages and the
// image transfer.
#pragma once

#include <kov02/ce.h>

int OnUpdateFirmware(HWND hwnd, WORD commandId, HWND control = nullptr, WORD code = 0);
int CheckFirmwarePackage();
DWORD UpdateThread(LPVOID hwnd);
int SendBootload1();
int SendBootload2();
int SendFirmware(HWND hwnd);
