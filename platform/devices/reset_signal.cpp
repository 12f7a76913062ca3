// The reset pulse on RTS or DTR of a serial port, as bench adapters wire it. The port the program
// already holds under that name is used (a tty cannot be opened a second time); one not held is
// opened through the device map for the pulse and closed after it.
#include <thread>

#include "devices/devices.h"
#include "devices/reset_line.h"
#include "kernel/text.h"
#include "serial/port.h"

namespace kov02::devices {
namespace {

// The port named `name`: the one held, or one opened now (`opened` then owns the handle).
std::shared_ptr<serial::SerialPort> find_port(std::wstring_view name, HANDLE* opened, std::string* reason) {
  if (auto held = std::dynamic_pointer_cast<serial::SerialPort>(held_device(name))) return held;
  const std::wstring text(name);
  *opened = open_for_pulse(name);
  if (*opened == INVALID_HANDLE_VALUE) {
    const std::wstring& why = device_failure();
    *reason = !why.empty() ? kernel::to_utf8(why) : kernel::to_utf8(text) + " cannot be opened";
    return nullptr;
  }
  auto port = kernel::lookup_as<serial::SerialPort>(*opened);
  if (!port) *reason = kernel::to_utf8(text) + " is not a serial port";
  return port;
}

}  // namespace

DWORD pulse_modem_signal(bool dtr, std::wstring_view name, const PulseShape& shape, std::string* reason) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  std::shared_ptr<serial::SerialPort> port = find_port(name, &opened, reason);
  DWORD error = ERROR_SUCCESS;
  const char* signal = dtr ? "DTR" : "RTS";
  if (!port) {
    error = opened == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_NOT_SUPPORTED;
  } else if (!port->has_modem_lines()) {
    *reason =
        kernel::to_utf8(std::wstring(name)) + " has no modem lines: " + signal + " cannot reset the module";
    error = ERROR_NOT_SUPPORTED;
  } else {
    const DWORD raise = dtr ? SETDTR : SETRTS;
    const DWORD lower = dtr ? CLRDTR : CLRRTS;
    const bool active = port->escape(shape.active_low ? lower : raise);
    if (active) std::this_thread::sleep_for(shape.length);
    // Back to inactive whatever happened.
    const bool inactive = port->escape(shape.active_low ? raise : lower);
    if (!active || !inactive) {
      error = GetLastError();
      *reason = kernel::to_utf8(std::wstring(name)) + ": " + signal + " could not be set (error " +
                std::to_string(error) + ")";
    }
  }
  port.reset();
  if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
  return error;
}

}  // namespace kov02::devices
