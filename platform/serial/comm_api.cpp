// The handset's serial calls: argument checks, then the port behind the handle. Overlapped
// operation is not part of this platform; every call completes before it returns.
#include <kov02/ce.h>

#include "kernel/handles.h"
#include "kernel/threads.h"
#include "serial/port.h"

namespace {

using kov02::serial::SerialPort;

BOOL invalid_parameter() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Runs `call` on the port behind `handle`; FALSE with ERROR_INVALID_HANDLE when it names no
// open serial port.
template <class Call>
BOOL with_port(HANDLE handle, Call call) {
  auto port = kov02::kernel::lookup_as<SerialPort>(handle);
  return port ? call(*port) : FALSE;
}

}  // namespace

BOOL GetCommState(HANDLE port, LPDCB dcb) {
  if (!dcb) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.get_state(dcb); });
}

BOOL SetCommState(HANDLE port, LPDCB dcb) {
  if (!dcb) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.set_state(*dcb); });
}

BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  if (!timeouts) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.get_timeouts(timeouts); });
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  if (!timeouts) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.set_timeouts(*timeouts); });
}

BOOL PurgeComm(HANDLE port, DWORD flags) {
  return with_port(port, [&](SerialPort& p) { return p.purge(flags); });
}

BOOL EscapeCommFunction(HANDLE port, DWORD function) {
  return with_port(port, [&](SerialPort& p) { return p.escape(function); });
}

BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
  return with_port(port, [&](SerialPort& p) { return p.setup(inQueue, outQueue); });
}

BOOL SetCommMask(HANDLE port, DWORD mask) {
  return with_port(port, [&](SerialPort& p) { return p.set_mask(mask); });
}

BOOL WaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped) {
  if (events) *events = 0;
  kov02::kernel::consent_point();
  if (!events || overlapped) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.wait_event(events); });
}

BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
  return with_port(port, [&](SerialPort& p) { return p.clear_error(errors, status); });
}

BOOL GetCommModemStatus(HANDLE port, LPDWORD modemStatus) {
  if (!modemStatus) return invalid_parameter();
  return with_port(port, [&](SerialPort& p) { return p.modem_status(modemStatus); });
}
