// CreateFileW: device names (ending in ':') through the registry's device map, every other
// name as a regular file; and DeviceIoControl on exec: devices.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "devices/devices.h"
#include "kernel/files.h"
#include "kernel/handles.h"
#include "kernel/paths.h"
#include "kernel/text.h"
#include "ports/port_watch.h"
#include "ports/present_ports.h"
#include "registry/registry.h"
#include "serial/port.h"
#include "serial/serial.h"

namespace kov02::devices {
namespace {

constexpr std::wstring_view kDeviceMapKey = L"Platform\\Devices";

// A device whose controls run a command; reads and writes are refused (the base class's answer).
class ExecDevice : public kernel::KernelObject {
 public:
  ExecDevice(std::wstring name, std::vector<std::string> argv)
      : name_(std::move(name)), argv_(std::move(argv)) {}
  const std::wstring& name() const { return name_; }
  const std::vector<std::string>& argv() const { return argv_; }

 private:
  std::wstring name_;  // the device name it was opened as, for reason lines
  std::vector<std::string> argv_;
};

// Why the calling thread's last device open or control failed; empty after one that succeeded.
thread_local std::wstring t_device_failure;

bool executable_file(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A refused hook says so in `refusal` ("hook PROGRAM refused: WHY").
HANDLE open_exec_device(std::wstring_view name, std::string_view command, std::string* refusal) {
  std::vector<std::string> argv = split_command(command);
  if (const DWORD refused = hook_refusal(argv, refusal); refused != ERROR_SUCCESS) {
    SetLastError(refused);
    return INVALID_HANDLE_VALUE;
  }
  if (!executable_file(argv.front())) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = kernel::insert_handle(std::make_shared<ExecDevice>(std::wstring(name), std::move(argv)));
  return handle ? handle : INVALID_HANDLE_VALUE;
}

// The serial ports open now, by the device name they were opened under: a reset by RTS or DTR
// drives the port the program already holds, since a tty cannot be opened twice.
struct HeldPorts {
  std::mutex mutex;
  std::map<std::wstring, std::weak_ptr<kernel::KernelObject>> ports;
};

HeldPorts& held_ports() {
  static auto* instance = new HeldPorts;  // never destroyed: ports close while the process ends
  return *instance;
}

void note_held(std::wstring_view name, HANDLE handle, const std::string& target) {
  auto port = std::dynamic_pointer_cast<serial::SerialPort>(kernel::lookup_handle(handle));
  if (!port) return;
  note_radio_port(*port, target);
  HeldPorts& held = held_ports();
  std::lock_guard lock(held.mutex);
  held.ports[kernel::upper_case(name)] = port;
}

// What a device map value names.
enum class TargetKind { exec, radio, fake, tty };

TargetKind kind_of(std::string_view target) {
  if (target.starts_with("exec:")) return TargetKind::exec;
  if (target == "radio:") return TargetKind::radio;
  if (target.starts_with("fake:")) return TargetKind::fake;
  return TargetKind::tty;
}

// The plain words for a refused exec: or fake: device (a tty says its own).
std::string plain_reason(std::string_view target, DWORD error) {
  const bool hook = kind_of(target) == TargetKind::exec;
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return hook ? "refused: the hook is not trusted" : "already open in this program";
    case ERROR_FILE_NOT_FOUND:
      return hook ? "no such program" : "no such device";
    default:
      return "error " + std::to_string(error);
  }
}

// While the program holds a tty, its adapter is watched for being pulled and put back.
void watch_held_tty(HANDLE handle, std::wstring_view name, const std::string& path) {
  std::shared_ptr<void> watch = ports::watch_port(kernel::to_utf8(name), path);
  if (!watch) return;
  if (auto object = kernel::lookup_handle(handle)) object->keep_until_close(std::move(watch));
}

// A tty that is not there may be an adapter that came back under another name, or a path
// mistyped: the ports that are there are named, so the person sees what to map.
std::string with_ports_present(std::string reason) {
  if (reason != "no such device") return reason;
  const std::string present = ports::present_ports_text();
  return present.empty() ? reason : reason + "; ports present: " + present;
}

HANDLE open_mapped(std::wstring_view name, const std::string& target, std::string* reason,
                   std::string* refusal) {
  switch (kind_of(target)) {
    case TargetKind::exec:
      return open_exec_device(name, std::string_view(target).substr(5), refusal);
    case TargetKind::radio:
      return open_radio_device();
    case TargetKind::fake:
      return serial::open_fake(target.substr(5));
    case TargetKind::tty:
      break;
  }
  return serial::open_tty(target, reason);
}

// `hold`: the program holds the port now (a reset pulse's own brief open is not that).
HANDLE open_device(std::wstring_view name, bool hold = true) {
  t_device_failure.clear();
  const std::optional<std::wstring> target = registry::lookup_string(kDeviceMapKey, name);
  if (!target || target->empty()) {
    t_device_failure = std::wstring(name) + L" not mapped in " + registry_file_phrase();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string text = kernel::native_bytes(*target);
  const bool tty = kind_of(text) == TargetKind::tty;
  std::string reason, refusal;
  HANDLE handle = open_mapped(name, text, &reason, &refusal);
  if (handle != INVALID_HANDLE_VALUE) {
    if (hold) note_held(name, handle, text);
    if (hold && tty) watch_held_tty(handle, name, text);
    return handle;
  }
  const DWORD error = GetLastError();
  if (!refusal.empty()) {
    t_device_failure = std::wstring(name) + L" " + kernel::from_utf8(refusal);
  } else {
    if (reason.empty()) reason = plain_reason(text, error);
    if (tty) reason = with_ports_present(std::move(reason));
    t_device_failure = std::wstring(name) + L" is " + *target + L": " + kernel::from_utf8(reason);
  }
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

void set_device_failure(std::wstring line) {
  t_device_failure = std::move(line);
}

const std::wstring& device_failure() {
  return t_device_failure;
}

BOOL refuse(std::wstring_view who, DWORD error, const std::string& why) {
  t_device_failure = std::wstring(who) + L": " + kernel::from_utf8(why);
  OutputDebugStringW((t_device_failure + L"\r\n").c_str());
  SetLastError(error);
  return FALSE;
}

std::wstring registry_file_phrase() {
  const std::string file = registry::file_in_use();
  return file.empty() ? L"no registry file" : kernel::from_utf8(file);
}

std::shared_ptr<kernel::KernelObject> held_device(std::wstring_view name) {
  HeldPorts& held = held_ports();
  std::lock_guard lock(held.mutex);
  auto found = held.ports.find(kernel::upper_case(name));
  if (found == held.ports.end()) return nullptr;
  auto object = found->second.lock();
  if (!object || object->closed()) {
    held.ports.erase(found);
    return nullptr;
  }
  return object;
}

HANDLE open_for_pulse(std::wstring_view name) {
  return open_device(name, false);
}

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
  kov02::devices::t_device_failure.clear();
  auto object = kov02::kernel::lookup_handle(device);
  if (!object) return FALSE;
  if (kov02::devices::is_radio_device(*object)) return kov02::devices::radio_control(code);
  auto exec = std::dynamic_pointer_cast<kov02::devices::ExecDevice>(object);
  if (!exec) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  std::string reason;
  const BOOL done = kov02::devices::run_hook(exec->argv(), code, &reason);
  if (!done) kov02::devices::t_device_failure = exec->name() + L" " + kov02::kernel::from_utf8(reason);
  return done;
}

namespace {

// Copies at most `size` - 1 characters of `from` and a terminator; the count copied.
DWORD copy_text(std::wstring_view from, LPWSTR text, DWORD size) {
  return static_cast<DWORD>(kov02::kernel::copy_out(from, text, size));
}

}  // namespace

DWORD GetDeviceFailureW(LPWSTR text, DWORD size) {
  return copy_text(kov02::devices::t_device_failure, text, size);
}

DWORD GetRegistryFileW(LPWSTR text, DWORD size) {
  return copy_text(kov02::devices::registry_file_phrase(), text, size);
}
