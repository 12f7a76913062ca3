// CreateFileW: device names (ending in ':') through the registry's device map, every other
// name as a regular file; and DeviceIoControl on exec: devices.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "devices/devices.h"
#include "kernel/files.h"
#include "kernel/handles.h"
#include "kernel/paths.h"
#include "kernel/text.h"
#include "registry/registry.h"
#include "serial/serial.h"

namespace kov02::devices {
namespace {

constexpr std::wstring_view kDeviceMapKey = L"Platform\\Devices";

// A device whose controls run a command; reads and writes are refused (the base class's answer).
class ExecDevice : public kernel::KernelObject {
 public:
  explicit ExecDevice(std::vector<std::string> argv) : argv_(std::move(argv)) {}
  const std::vector<std::string>& argv() const { return argv_; }

 private:
  std::vector<std::string> argv_;
};

bool executable_file(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

HANDLE open_exec_device(std::string_view command) {
  if (!registry::hooks_allowed()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<std::string> argv = split_command(command);
  if (argv.empty() || !executable_file(argv.front())) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = kernel::insert_handle(std::make_shared<ExecDevice>(std::move(argv)));
  return handle ? handle : INVALID_HANDLE_VALUE;
}

HANDLE open_device(std::wstring_view name) {
  const std::optional<std::wstring> target = registry::lookup_string(kDeviceMapKey, name);
  if (!target || target->empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string text = kernel::native_bytes(*target);
  if (text.starts_with("exec:")) return open_exec_device(std::string_view(text).substr(5));
  if (text.starts_with("fake:")) return serial::open_fake(text.substr(5));
  return serial::open_tty(text);
}

}  // namespace
}  // namespace kov02::devices

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD,
                   HANDLE) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // The program only opens what exists; creating files is not part of this platform.
  if (creation != OPEN_EXISTING) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  const std::wstring_view view(name);
  if (view.back() == L':') return kov02::devices::open_device(view);
  return kov02::kernel::open_file(kov02::kernel::linux_path(view), access, share);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD returned,
                     LPOVERLAPPED) {
  if (returned) *returned = 0;
  auto object = kov02::kernel::lookup_handle(device);
  if (!object) return FALSE;
  auto exec = std::dynamic_pointer_cast<kov02::devices::ExecDevice>(object);
  if (!exec) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  return kov02::devices::run_hook(exec->argv(), code);
}
