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

// 1 while a run may still leave the module without firmware (from the command until the image is
// accepted or the run has ended).
int UpdateUnderWay();
// Ends a run under way at once: the update thread, the port, the caster. The user-interface
// thread, when the user quits anyway.
void StopUpdate();
