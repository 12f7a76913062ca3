// The handset reboot, through the kernel's I/O-control entry point looked up by name at run
// time in the core library rather than imported.
#include "common/output.h"
#include "common/state.h"
#include "device/device.h"

int RebootDevice(HWND hwnd, WORD, HWND, WORD) {
  if (g_bUpdateBusy.load(std::memory_order_relaxed)) {
    LogPane(hwnd, L"Firmware update running, reboot refused\r\n");
    return 1;
  }
  HMODULE coreLibrary = LoadLibraryW(L"COREDLL.DLL");
  if (coreLibrary == nullptr) {
    LogPaneIfDebug(hwnd, L"LoadLibrary() call fails !\r\n");
    return 1;
  }
  auto kernelIoControl =
      reinterpret_cast<PFN_KernelIoControl>(GetProcAddress(coreLibrary, L"KernelIoControl"));
  if (kernelIoControl == nullptr) {
    LogPaneIfDebug(hwnd, L"GetProcAddress() call fails !\r\n");
    FreeLibrary(coreLibrary);
    return 1;
  }
  // The program itself uses the core library throughout, so the entry point stays callable
  // after the release.
  if (!FreeLibrary(coreLibrary)) LogPaneIfDebug(hwnd, L"Coredll.dll is not freed !\r\n");
  if (!kernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr)) {
    LogPaneIfDebug(hwnd, L"Failed to call KernelIoControl() to reboot!\r\n");
    // The handset only traced this failure; the reason goes to the pane whatever the direction.
    LogDeviceFailure(hwnd, LogPane);
    return 1;
  }
  return 0;
}
