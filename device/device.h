// Device control: requests to the radio interface layer's RIL1: and the handset reboot.
#pragma once

#include <kov02/ce.h>

inline constexpr DWORD IOCTL_RIL_SUSPEND = CTL_CODE(0x0300, 0x7E0, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr DWORD IOCTL_RIL_RESUME = CTL_CODE(0x0300, 0x7E1, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr DWORD IOCTL_RIL_RESET = CTL_CODE(0x0300, 0x7E2, METHOD_BUFFERED, FILE_ANY_ACCESS);

int SuspendRil(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
int ResumeRil(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
int ResetRadioModule(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
int RebootDevice(HWND hwnd, WORD id = 0, HWND control = nullptr, WORD code = 0);
