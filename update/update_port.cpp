// The update serial link on COM1: the port record, opening and closing, the byte primitives of
// every update stage, and the caster thread that streams the sync byte.
#include "update/update_port.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <iterator>

#include "common/hex_trace.h"
#include "common/output.h"
#include "common/state.h"

std::atomic<UpdatePort*> g_pUpdatePort{nullptr};

// The record whose port went away under a wait; set by the update thread only.
static std::atomic<const UpdatePort*> s_pLostPort{nullptr};

static const WCHAR UPDATE_PORT_NAME[] = L"COM1:";
static_assert(std::size(UPDATE_PORT_NAME) <= std::size(UpdatePort{}.szPort));
static constexpr DWORD UPDATE_QUEUE_BYTES = 32768;
static constexpr DWORD CASTER_PAUSE_MS = 10;

// hPort is read by the caster while the update thread may close the port (a run that lost its
// port ends with the caster still casting), so those two accesses are atomic.
static HANDLE LoadPortHandle(UpdatePort* port) {
  return std::atomic_ref<HANDLE>(port->hPort).load(std::memory_order_relaxed);
}

static void StorePortHandle(UpdatePort* port, HANDLE handle) {
  std::atomic_ref<HANDLE>(port->hPort).store(handle, std::memory_order_relaxed);
}

// The settings record of the update line: 115200 bit/s, 8 data bits, no parity, the platform's
// code 1 for one and a half stop bits, binary, DTR and RTS enabled, transmission going on after
// XOFF, no flow control (flag word 0x1091); every other member 0.
static void FillUpdateDcb(DCB* dcb) {
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = CBR_115200;
  dcb->fBinary = 1;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fTXContinueOnXoff = 1;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONE5STOPBITS;
}

// A record stays until the next open: the caster of its run reads it until the update thread
// ends that caster, which it does before a new run can open the port. A record whose port is
// still open belongs to a run still going and is left alone.
static UpdatePort* NewUpdatePortRecord() {
  UpdatePort* previous = g_pUpdatePort.exchange(nullptr, std::memory_order_relaxed);
  if (previous && LoadPortHandle(previous) == 0) LocalFree(previous);
  s_pLostPort.store(nullptr, std::memory_order_relaxed);
  auto* port = static_cast<UpdatePort*>(LocalAlloc(LPTR, sizeof(UpdatePort)));
  g_pUpdatePort.store(port, std::memory_order_relaxed);
  return port;
}

// Gives up an open that was refused: the trace names the platform's error, and a port already
// opened is closed again, so nothing is left held.
static int RefuseOpen(UpdatePort* port, LPCWSTR format) {
  const DWORD error = GetLastError();
  Trace(format, error, port->szPort);
  CloseUpdatePort();
  return 0;
}

static void SetUpdateTimeouts(COMMTIMEOUTS* timeouts) {
  timeouts->ReadIntervalTimeout = MAXDWORD;
  timeouts->ReadTotalTimeoutMultiplier = 0;
  timeouts->ReadTotalTimeoutConstant = 0;
  timeouts->WriteTotalTimeoutMultiplier = 10;
  timeouts->WriteTotalTimeoutConstant = 1000;
}

int OpenUpdatePort() {
  UpdatePort* port = NewUpdatePortRecord();
  if (!port) return 0;
  std::wcscpy(port->szPort, UPDATE_PORT_NAME);
  port->dwReserved = 0;
  FillUpdateDcb(&port->dcb);
  ReadHexTraceSetting();
  Trace(L"Open : %s\r\n", port->szPort);
  HANDLE handle =
      CreateFileW(port->szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return RefuseOpen(port, L"Error (%d) opening %s\r\n");
  StorePortHandle(port, handle);
  PurgeComm(handle, UPDATE_PURGE_MASK);
  if (!SetCommState(handle, &port->dcb)) return RefuseOpen(port, L"Error (%d) configuring %s\r\n");
  COMMTIMEOUTS timeouts = {};
  GetCommTimeouts(handle, &timeouts);
  SetUpdateTimeouts(&timeouts);
  if (!SetCommTimeouts(handle, &timeouts)) {
    return RefuseOpen(port, L"Error (%d) setting comm port timeout parameters %s\r\n");
  }
  EscapeCommFunction(handle, SETDTR);
  EscapeCommFunction(handle, SETRTS);
  SetupComm(handle, UPDATE_QUEUE_BYTES, UPDATE_QUEUE_BYTES);
  return 1;
}

void CloseUpdatePort() {
  UpdatePort* port = g_pUpdatePort.load(std::memory_order_relaxed);
  if (!port) return;
  HANDLE handle = LoadPortHandle(port);
  if (handle == 0) return;
  PurgeComm(handle, UPDATE_PURGE_MASK);
  CloseHandle(handle);
  StorePortHandle(port, 0);
}

HANDLE UpdatePortHandle() {
  UpdatePort* port = g_pUpdatePort.load(std::memory_order_relaxed);
  return port ? LoadPortHandle(port) : 0;
}

void SendByte(BYTE byte) {
  DWORD written = 0;
  WriteFile(UpdatePortHandle(), &byte, 1, &written, nullptr);
  TraceBytes(L"TX", UPDATE_PORT_NAME, &byte, written);
  Trace(L" %d char : %X h sent \r\n", written, static_cast<UINT>(byte));
}

// A wait or write that cannot be made (the device was pulled, the far end closed, the handle
// closed) would otherwise read as "no byte" for ever: the record is marked lost and the run ends.
static int PortLost() {
  const DWORD error = GetLastError();
  Trace(L"Port lost while waiting (error %d)\r\n", error);
  s_pLostPort.store(g_pUpdatePort.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return 0;
}

DWORD WriteBlock(const BYTE* data, DWORD size) {
  DWORD written = 0;
  if (!WriteFile(UpdatePortHandle(), data, size, &written, nullptr) && GetLastError() != ERROR_TIMEOUT) {
    PortLost();
  }
  TraceBytes(L"TX", UPDATE_PORT_NAME, data, written);
  return written;
}

void DiscardReceived() {
  PurgeComm(UpdatePortHandle(), PURGE_RXABORT | PURGE_RXCLEAR);
}

// Reads one byte if one is there (the port's reads return at once); 1 when it came, traced.
static int ReadOneByte(HANDLE handle, BYTE* byte) {
  DWORD got = 0;
  if (!ReadFile(handle, byte, 1, &got, nullptr) || got != 1) return 0;
  TraceBytes(L"RX", UPDATE_PORT_NAME, byte, 1);
  Trace(L"A byte got from KOV02A : %c , %X h\r\n", ShownChar(*byte), static_cast<UINT>(*byte));
  return 1;
}

// Noted once per wait, whichever way its bound was found passed.
static WaitEnd BoundPassed() {
  Trace(L"No answer from the module in time\r\n");
  return WaitEnd::SILENCE;
}

// A babbling line restarts the silence bound with every byte, so a bounded wait also has an
// allowance in total, this many times its bound, that no byte extends. Tick counts are compared
// as signed differences, so the allowance stays below half their range.
static constexpr DWORD WAIT_ALLOWANCE_FACTOR = 4;
static constexpr DWORD LONGEST_ALLOWANCE_MS = 0x7FFFFFFF;
// The tick count at which the current bounded wait's allowance ends; the update thread only.
static DWORD s_allowanceEnd = 0;

static void StartAllowance(DWORD silenceMs) {
  const auto allowance =
      std::min<std::uint64_t>(std::uint64_t{WAIT_ALLOWANCE_FACTOR} * silenceMs, LONGEST_ALLOWANCE_MS);
  s_allowanceEnd = GetTickCount() + static_cast<DWORD>(allowance);
}

static DWORD AllowanceLeft() {
  const auto left = static_cast<std::int32_t>(s_allowanceEnd - GetTickCount());
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Arms the watch for the silence bound, or for the end of the allowance when that comes first.
static void ArmWithinAllowance(DWORD silenceMs) {
  ArmAnswerWatch(silenceMs == INFINITE ? INFINITE : std::min(silenceMs, AllowanceLeft()));
}

// One WaitCommEvent: true on an event; false, with `*end` saying why, on the wait's bound or a
// lost port. A wake the watch meant for an earlier wait brings no event and is waited through.
static bool WaitForEvent(HANDLE handle, DWORD* events, WaitEnd* end) {
  for (;;) {
    if (AnswerWatchFired()) {
      *end = BoundPassed();
      return false;
    }
    if (!WaitCommEvent(handle, events, nullptr)) {
      PortLost();
      *end = WaitEnd::PORT_LOST;
      return false;
    }
    if (*events != 0) return true;
  }
}

// Once a character event has come, bytes are consumed one at a time until the awaited one;
// when none is there the thread blocks for the next event instead of polling. Bytes that keep
// coming may never leave the loop for the watch's wake, so the allowance is looked at here too.
static WaitEnd AwaitByte(HANDLE handle, BYTE byte, DWORD silenceMs) {
  DWORD events = 0;
  WaitEnd end = WaitEnd::BYTE_CAME;
  if (!WaitForEvent(handle, &events, &end)) return end;
  SetCommMask(handle, UPDATE_EVENT_MASK);
  if (events & ~EV_RXCHAR) {
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(handle, &errors, &status);
  }
  if (!(events & EV_RXCHAR)) {
    Trace(L"None byte got from KOV01 !!\r\n");
    return WaitEnd::LINE_EVENT;
  }
  for (;;) {
    BYTE got = 0;
    if (ReadOneByte(handle, &got)) {
      if (got == byte) return WaitEnd::BYTE_CAME;
      if (silenceMs != INFINITE && AllowanceLeft() == 0) return BoundPassed();
      ArmWithinAllowance(silenceMs);
      continue;
    }
    if (!WaitForEvent(handle, &events, &end)) return end;
  }
}

int WaitForByte(BYTE byte, DWORD silenceMs) {
  return AwaitAnswer(byte, silenceMs) == WaitEnd::BYTE_CAME ? 1 : 0;
}

WaitEnd AwaitAnswer(BYTE byte, DWORD silenceMs) {
  HANDLE handle = UpdatePortHandle();
  Trace(L"Waiting for char -> %X h\r\n", static_cast<UINT>(byte));
  SetCommMask(handle, UPDATE_EVENT_MASK);
  StartAllowance(silenceMs);
  ArmWithinAllowance(silenceMs);
  WaitEnd result = AwaitByte(handle, byte, silenceMs);
  DisarmAnswerWatch();
  // A write may have found the port gone while the line still gave an event: lost comes first.
  if (result == WaitEnd::LINE_EVENT && UpdatePortLost()) result = WaitEnd::PORT_LOST;
  return result;
}

DWORD CasterThread(LPVOID) {
  const BYTE sync = SYNC_BYTE;
  for (;;) {
    UpdatePort* port = g_pUpdatePort.load(std::memory_order_relaxed);
    DWORD written = 0;
    WriteFile(port ? LoadPortHandle(port) : 0, &sync, 1, &written, nullptr);
    TraceBytes(L"TX", UPDATE_PORT_NAME, &sync, written);
    Sleep(CASTER_PAUSE_MS);
  }
}

int UpdatePortLost() {
  const UpdatePort* port = g_pUpdatePort.load(std::memory_order_relaxed);
  return (port && port == s_pLostPort.load(std::memory_order_relaxed)) ? 1 : 0;
}
