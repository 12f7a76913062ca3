// The firmware update: the driver that runs one update, the two bootloader stages and the
// image transfer.
#pragma once

#include <kov02/ce.h>

struct UpdateMode;

// The menu commands that start a run, each the key of its mode's row (update/modes.h).
inline constexpr WORD IDM_UPD_EEP_FLASH = 117;
inline constexpr WORD IDM_UPD_FLASH_ONLY = 118;

// Starts a run in the mode of `commandId`; a command no mode answers to does nothing.
int OnUpdateFirmware(HWND hwnd, WORD commandId, HWND control = nullptr, WORD code = 0);
// 1 when every package file of `mode` lies in the working directory.
int CheckFirmwarePackage(const UpdateMode& mode);
DWORD UpdateThread(LPVOID hwnd);
int SendBootload1();
int SendBootload2();
// Sends the image of the latest run's mode (g_pUpdateMode).
int SendFirmware(HWND hwnd);

// 1 while a run may still leave the module without firmware (from the command until the image is
// accepted or the run has ended).
int ModuleMayLackFirmware();
// Ends a run under way at once: the update thread, the port, the caster. The user-interface
// thread, when the user quits anyway.
void StopUpdate();
