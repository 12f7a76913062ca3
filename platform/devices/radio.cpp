// The built-in radio driver behind "RIL1:"="radio:". It answers the radio's three control codes
// from HKEY_LOCAL_MACHINE\Platform\Radio:
//   "Suspend"          suspend and resume: "modemmanager:[TTY]" or "exec:PROGRAM"
//   "Reset"            the module reset: "gpio:CHIP:LINE", "rts:COMn:", "dtr:COMn:" or "exec:PROGRAM"
//   "ResetPulse"       dword, ms the reset is held active (default 100)
//   "ResetActiveLow"   dword, 1 when the line or signal is active low (default 0)
// A value that is absent makes its codes succeed without doing anything.
//
// The program opens RIL1: afresh for every request, so what outlives one request (ModemManager's
// inhibition) lives here, process-wide. An inhibition is lifted by the resume, or as soon as the
// program, having opened the inhibited tty, has closed it again: the update run that needed the
// modem let go is over, whether it succeeded or not, and ModemManager may have the modem back.
#include <mutex>
#include <optional>

#include "devices/devices.h"
#include "devices/modem_manager.h"
#include "devices/reset_line.h"
#include "kernel/files.h"
#include "kernel/text.h"
#include "registry/registry.h"
#include "serial/port.h"

namespace kov02::devices {
namespace {

constexpr std::wstring_view kRadioKey = L"Platform\\Radio";
constexpr DWORD kSuspend = 0x03001F80;
constexpr DWORD kResume = 0x03001F84;
constexpr DWORD kReset = 0x03001F88;
// A pulse longer than this is surely a typing error; the update thread must not hang on it.
constexpr std::uint32_t kLongestPulseMs = 60000;

class RadioDevice : public kernel::KernelObject {};

// ModemManager's inhibition held for the program, and the tty it was made for.
struct Suspension {
  std::mutex mutex;
  std::unique_ptr<ModemInhibition> inhibition;
  std::string tty;  // "/dev/ttyACM0": the real path
};

Suspension& suspension() {
  static auto* instance = new Suspension;  // never destroyed: the process's end lifts it
  return *instance;
}

void debug_line(const std::string& text) {
  OutputDebugStringW((L"RIL1: " + kernel::from_utf8(text) + L"\r\n").c_str());
}

// The tty a "modemmanager:" value is about: the one after the colon, or the one COM1: maps to.
// Its real path; nullopt when COM1: maps to something other than a tty.
std::optional<std::string> modem_tty(std::wstring_view rest) {
  std::wstring path(rest);
  if (path.empty()) path = registry::lookup_string(L"Platform\\Devices", L"COM1:").value_or(L"");
  if (!path.starts_with(L"/")) return std::nullopt;
  const std::string bytes = kernel::native_bytes(path);
  return kernel::real_path(bytes).value_or(bytes);
}

BOOL suspend_modem(std::wstring_view rest) {
  Suspension& held = suspension();
  std::lock_guard lock(held.mutex);
  if (held.inhibition) {
    debug_line("ModemManager has let go of " + held.tty + " already");
    return TRUE;
  }
  const std::optional<std::string> tty = modem_tty(rest);
  if (!tty) {
    debug_line("COM1: is not a tty: nothing for ModemManager to let go of");
    return TRUE;
  }
  std::string note, reason;
  const std::string name = tty->starts_with("/dev/") ? tty->substr(5) : *tty;
  const DWORD error = ModemInhibition::take(name, &held.inhibition, &note, &reason);
  if (error != ERROR_SUCCESS)
    return refuse(L"RIL1", error, "ModemManager refused to let go of " + *tty + ": " + reason);
  if (!held.inhibition) {
    debug_line(note + ": nothing to suspend");
    return TRUE;
  }
  held.tty = *tty;
  debug_line("ModemManager let go of " + *tty + " (modem " + held.inhibition->uid() + ")");
  return TRUE;
}

// Lifts the inhibition held, if any; `why` is for the debug line.
BOOL resume_modem(const char* why) {
  Suspension& held = suspension();
  std::lock_guard lock(held.mutex);
  if (!held.inhibition) {
    debug_line(std::string("ModemManager holds nothing for this program: nothing to resume"));
    return TRUE;
  }
  std::unique_ptr<ModemInhibition> inhibition = std::move(held.inhibition);
  std::string reason;
  const DWORD error = inhibition->lift(&reason);
  if (error != ERROR_SUCCESS)
    return refuse(L"RIL1", error, "ModemManager did not take back " + held.tty + ": " + reason);
  debug_line("ModemManager has " + held.tty + " back (" + why + ")");
  return TRUE;
}

PulseShape pulse_shape() {
  PulseShape shape;
  const std::uint32_t ms = registry::lookup_dword(kRadioKey, L"ResetPulse").value_or(100);
  shape.length = std::chrono::milliseconds(std::min(ms, kLongestPulseMs));
  shape.active_low = registry::lookup_dword(kRadioKey, L"ResetActiveLow").value_or(0) != 0;
  return shape;
}

BOOL reset_module(const std::wstring& value) {
  std::string reason;
  DWORD error = ERROR_INVALID_PARAMETER;
  const PulseShape shape = pulse_shape();
  if (value.starts_with(L"gpio:")) {
    error = pulse_gpio(kernel::native_bytes(value.substr(5)), shape, &reason);
  } else if (value.starts_with(L"rts:") || value.starts_with(L"dtr:")) {
    error =
        pulse_modem_signal(value.starts_with(L"dtr:"), std::wstring_view(value).substr(4), shape, &reason);
  } else {
    reason = "not a reset this driver knows";
  }
  if (error == ERROR_SUCCESS) return TRUE;
  return refuse(L"RIL1", error, "reset by " + kernel::to_utf8(value) + " failed: " + reason);
}

BOOL run_exec(const std::wstring& value, const std::wstring& name, DWORD code) {
  const std::vector<std::string> argv = split_command(kernel::native_bytes(value.substr(5)));
  if (run_allowed_hook(argv, code)) return TRUE;
  const DWORD error = GetLastError();
  return refuse(L"RIL1", error,
                "the " + kernel::to_utf8(name) + " hook " + (argv.empty() ? "" : argv.front()) +
                    " failed (error " + std::to_string(error) + ")");
}

}  // namespace

HANDLE open_radio_device() {
  HANDLE handle = kernel::insert_handle(std::make_shared<RadioDevice>());
  return handle ? handle : INVALID_HANDLE_VALUE;
}

bool is_radio_device(const kernel::KernelObject& object) {
  return dynamic_cast<const RadioDevice*>(&object) != nullptr;
}

BOOL radio_control(DWORD code) {
  if (code != kSuspend && code != kResume && code != kReset) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const std::wstring name = code == kReset ? L"Reset" : L"Suspend";
  const std::wstring value = registry::lookup_string(kRadioKey, name).value_or(L"");
  if (value.empty()) {
    debug_line("no \"" + kernel::to_utf8(name) + "\" under Platform\\Radio: " + format_control_code(code) +
               " does nothing");
    return TRUE;
  }
  if (value.starts_with(L"exec:")) return run_exec(value, name, code);
  if (code == kReset) return reset_module(value);
  if (value.starts_with(L"modemmanager:")) {
    return code == kSuspend ? suspend_modem(std::wstring_view(value).substr(13)) : resume_modem("resumed");
  }
  return refuse(L"RIL1", ERROR_INVALID_PARAMETER,
                "\"Suspend\"=\"" + kernel::to_utf8(value) + "\" is not a suspension this driver knows");
}

void note_radio_port(kernel::KernelObject& object, const std::string& path) {
  auto* port = dynamic_cast<serial::SerialPort*>(&object);
  if (!port) return;
  Suspension& held = suspension();
  {
    std::lock_guard lock(held.mutex);
    if (!held.inhibition || held.tty != kernel::real_path(path).value_or(path)) return;
  }
  port->call_when_gone([] { resume_modem("the program closed the port"); });
}

}  // namespace kov02::devices
