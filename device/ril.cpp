// Requests to the radio interface layer: suspend, resume and reset, each one open of RIL1:,
// one control request that carries no data, and one line in the log pane.
#include "common/output.h"
#include "common/state.h"
#include "device/device.h"

namespace {
struct RilRequest {
  DWORD code;
  LPCWSTR success;
  LPCWSTR openFailure;  // formats take the last-error code as 0x%08lX
  LPCWSTR requestFailure;
};
}  // namespace

static constexpr RilRequest SUSPEND_REQUEST = {IOCTL_RIL_SUSPEND, L"RIL has been suspended\r\n",
                                               L"Failed to open RIL1:, error code: 0x%08lX\r\n",
                                               L"Failed to suspend RIL action, error code: 0x%08lX\r\n"};
static constexpr RilRequest RESUME_REQUEST = {IOCTL_RIL_RESUME, L"RIL has been resumed\r\n",
                                              L"Failed to open RIL1:, error code: 0x%08lX\r\n",
                                              L"Failed to resume RIL action, error code: 0x%08lX\r\n"};
static constexpr RilRequest RESET_REQUEST = {IOCTL_RIL_RESET, L"GSM/GPRS has been reset\r\n",
                                             L"Failed to open RIL1,CANNOT reset:, error code: 0x%08lX\r\n",
                                             L"Failed to reset GSM/GPRS module, error code: 0x%08lX\r\n"};

// Only a caller with a window formats a line: the shared buffer belongs to the UI thread, and
// the update thread calls without one. The platform's reason follows the handset's line.
static void ShowFailure(HWND hwnd, LPCWSTR format, DWORD error) {
  if (hwnd == nullptr) return;
  wnsprintfW(g_szMessage, MESSAGE_BUFFER_CHARS, format, error);
  LogPane(hwnd, g_szMessage);
  LogDeviceFailure(hwnd, LogPane);
}

static int SendRilRequest(HWND hwnd, const RilRequest& request) {
  // A request from the menu during an update run would suspend or reset the module under the
  // transfer. The update thread's own requests come without a window and always go through.
  if (hwnd != nullptr && g_bUpdateBusy.load(std::memory_order_relaxed)) {
    LogPane(hwnd, L"Firmware update running, radio requests refused\r\n");
    return 1;
  }
  HANDLE device = CreateFileW(L"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    ShowFailure(hwnd, request.openFailure, GetLastError());
    return 1;
  }
  if (!DeviceIoControl(device, request.code, nullptr, 0, nullptr, 0, nullptr, nullptr)) {
    ShowFailure(hwnd, request.requestFailure, GetLastError());
    CloseHandle(device);
    return 1;
  }
  LogPane(hwnd, request.success);
  CloseHandle(device);
  return 0;
}

int SuspendRil(HWND hwnd, WORD, HWND, WORD) {
  return SendRilRequest(hwnd, SUSPEND_REQUEST);
}
int ResumeRil(HWND hwnd, WORD, HWND, WORD) {
  return SendRilRequest(hwnd, RESUME_REQUEST);
}
int ResetRadioModule(HWND hwnd, WORD, HWND, WORD) {
  return SendRilRequest(hwnd, RESET_REQUEST);
}
