// Bridge port acquisition and release: "Get COMs" opens FFUART (side A) and the chosen side B,
// records their handles in g_hFF and g_hBT and starts the pumps; "Release COMs" undoes it.
//
// A handle word is the only record that a port is open. Everything here runs on the UI thread,
// the only writer of g_bRun, g_hFF, g_hBT and their name words; the pumps read the words afresh
// on every pass.
#include <cwchar>
#include <iterator>
#include <span>

#include "bridge/bridge.h"
#include "common/hex_trace.h"
#include "common/output.h"
#include "common/state.h"

static constexpr DWORD BRIDGE_PURGE_MASK = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C

namespace {
// One of the two registry-named UARTs: where its number lives, how a failed open reads, and
// which words record its handle and its name.
struct BridgeUart {
  LPCWSTR uart;  // the UART's own name, for the reason line when its "Index" names no port
  LPCWSTR key;
  LPCWSTR failFormat;
  std::atomic<HANDLE>* word;
  std::atomic<LPCWSTR>* nameWord;
};
}  // namespace

static const BridgeUart SIDE_A{L"FFUART", L"Drivers\\BuiltIn\\Serial", L"Open FF(%s) failed.\r\n", &g_hFF,
                               &g_pszFFName};
static const BridgeUart SIDE_B{L"BTUART", L"Drivers\\BuiltIn\\Serial2", L"Open BT(%s) failed.\r\n", &g_hBT,
                               &g_pszBTName};

// The names an "Index" can give. Static texts, so a pump may read a side's name word at any
// time, even while the UI thread opens another port for that side.
static const LPCWSTR INDEXED_PORT_NAMES[] = {L"COM0:", L"COM1:", L"COM2:", L"COM3:", L"COM4:",
                                             L"COM5:", L"COM6:", L"COM7:", L"COM8:", L"COM9:"};

namespace {
// A side-B port with a fixed name. Its line settings and queued input stay the driver's; only
// the bridge time-outs are set, since a port opened here starts with reads that wait for a
// full chunk, which would hold back every short message until 1024 bytes had come.
struct FixedPort {
  LPCWSTR name;
  LPCWSTR failFormat;
  LPCWSTR openedFormat;
};
}  // namespace

static const FixedPort IRDA_PORT{L"COM3:", L"Open IRDA(%s) failed.\r\n", L"IRDA(%s) opened\r\n"};
static const FixedPort RAW_IR_PORT{L"COM5:", L"Open IR(%s) failed.\r\n", L"%s (IR)opened\r\n"};

// Formats one line into the shared message buffer and appends it to the log pane.
static void LogPort(HWND hwnd, LPCWSTR format, LPCWSTR portName) {
  wnsprintfW(g_szMessage, MESSAGE_BUFFER_CHARS, format, portName);
  LogPane(hwnd, g_szMessage);
}

// The handset's line for a port that did not open, then the platform's reason when an open was
// tried (an empty name never reached the device map).
static void LogOpenFailed(HWND hwnd, LPCWSTR format, LPCWSTR portName) {
  LogPort(hwnd, format, portName);
  if (portName[0] != L'\0') LogDeviceFailure(hwnd, LogPane);
}

// The key's "Index" as the handset reads it, any value of up to 4 bytes; the registry's answer
// (ERROR_MORE_DATA for a wider value).
static LONG QueryIndex(LPCWSTR key, DWORD* index) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
    return ERROR_FILE_NOT_FOUND;
  DWORD size = sizeof *index;
  const LONG result =
      RegQueryValueExW(hKey, L"Index", nullptr, nullptr, reinterpret_cast<BYTE*>(index), &size);
  RegCloseKey(hKey);
  return result;
}

// "COM%d:" from the key's "Index" when it reads as a 32-bit number below 10; otherwise "".
static LPCWSTR PortNameFromRegistry(LPCWSTR key) {
  DWORD index = 0;
  return QueryIndex(key, &index) == ERROR_SUCCESS && index < std::size(INDEXED_PORT_NAMES)
             ? INDEXED_PORT_NAMES[index]
             : L"";
}

// The reason line for a side whose "Index" gave no port name: the value is missing, or names no
// port.
static void LogMissingIndex(HWND hwnd, const BridgeUart& side) {
  WCHAR file[REGISTRY_FILE_CHARS];
  GetRegistryFileW(file, REGISTRY_FILE_CHARS);
  DWORD index = 0;
  const LONG read = QueryIndex(side.key, &index);
  if (read == ERROR_SUCCESS || read == ERROR_MORE_DATA) {
    WCHAR what[48] = L"not a 32-bit number";
    if (read == ERROR_SUCCESS) wnsprintfW(what, 48, L"%lu, not a port number from 0 to 9", index);
    wnsprintfW(g_szMessage, MESSAGE_BUFFER_CHARS,
               L"%s: \"Index\" under [HKEY_LOCAL_MACHINE\\%s] in %s is %s\r\n", side.uart, side.key, file,
               what);
  } else {
    wnsprintfW(g_szMessage, MESSAGE_BUFFER_CHARS,
               L"%s: no \"Index\" under [HKEY_LOCAL_MACHINE\\%s] in %s\r\n", side.uart, side.key, file);
  }
  LogPane(hwnd, g_szMessage);
}

// Read and write, exclusive, existing device only. An empty name is a failed open.
static HANDLE OpenPortByName(LPCWSTR name) {
  if (name[0] == L'\0') return INVALID_HANDLE_VALUE;
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Reads return within about 1 ms with whatever has arrived; writes have no time-out. Both
// pumps rely on these short reads, so every bridge port gets them.
static void SetBridgeTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(port, &timeouts);
}

// 115200 8N1 without parity checking, null stripping or XON/XOFF, on top of what the driver
// reports; both buffers purged; the bridge time-outs. The results are not looked at: the port
// counts as open whatever they say.
static void ConfigureBridgePort(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = FALSE;
  dcb.fNull = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  SetCommState(port, &dcb);
  PurgeComm(port, BRIDGE_PURGE_MASK);
  SetBridgeTimeouts(port);
}

static int OpenFixedPort(HWND hwnd, const FixedPort& port) {
  HANDLE handle = OpenPortByName(port.name);
  if (handle == INVALID_HANDLE_VALUE) {
    LogOpenFailed(hwnd, port.failFormat, port.name);
    return 0;
  }
  LogPort(hwnd, port.openedFormat, port.name);
  g_hBT.store(handle, std::memory_order_relaxed);
  g_pszBTName.store(port.name, std::memory_order_relaxed);
  SetBridgeTimeouts(handle);
  return 1;
}

// Opens side B as g_nSource chooses it; a value no row holds opens nothing.
static void OpenSideB(HWND hwnd) {
  const int chosen = g_nSource.load(std::memory_order_relaxed);
  for (const SideBSource& row : std::span(g_SideBSources, g_SideBSourceCount)) {
    if (row.source == chosen) row.open(hwnd);
  }
}

static bool IsOpen(const std::atomic<HANDLE>& word) {
  return word.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE;
}

int OpenBridgePort(HWND hwnd, LPCWSTR logicalName) {
  const BridgeUart& side = std::wcscmp(logicalName, L"FFUART") == 0 ? SIDE_A : SIDE_B;
  const LPCWSTR name = PortNameFromRegistry(side.key);
  HANDLE handle = OpenPortByName(name);
  if (handle == INVALID_HANDLE_VALUE) {
    LogOpenFailed(hwnd, side.failFormat, name);
    if (name[0] == L'\0') LogMissingIndex(hwnd, side);
    return 0;
  }
  LogPort(hwnd, L"%s opened\r\n", name);
  side.word->store(handle, std::memory_order_relaxed);
  side.nameWord->store(name, std::memory_order_relaxed);
  ConfigureBridgePort(handle);
  return 1;
}

int OpenIrdaPort(HWND hwnd) {
  return OpenFixedPort(hwnd, IRDA_PORT);
}

int OpenRawIrPort(HWND hwnd) {
  return OpenFixedPort(hwnd, RAW_IR_PORT);
}

static int OpenBtUartPort(HWND hwnd) {
  return OpenBridgePort(hwnd, L"BTUART");
}

const SideBSource g_SideBSources[] = {
    {.commandId = IDM_SRC_BTUART, .source = SOURCE_BTUART, .open = OpenBtUartPort},
    {.commandId = IDM_SRC_RAWIR, .source = SOURCE_RAW_IR, .open = OpenRawIrPort},
    {.commandId = IDM_SRC_IRDA, .source = SOURCE_IRDA, .open = OpenIrdaPort},
};
const std::size_t g_SideBSourceCount = std::size(g_SideBSources);

int GetComs(HWND hwnd, WORD, HWND, WORD) {
  // The bridge may hold the update port's own line: opening it now would break the run, and
  // until the run has closed the port (the "Successful" question may still be up) it is taken.
  if (g_bUpdatePortHeld.load(std::memory_order_relaxed)) {
    LogPane(hwnd, L"Firmware update running, COMs stay closed\r\n");
    return 1;
  }
  ReadHexTraceSetting();
  OpenBridgePort(hwnd, L"FFUART");
  OpenSideB(hwnd);
  if (!IsOpen(g_hBT) || !IsOpen(g_hFF)) {
    LogPane(hwnd, L"one of the handles is INVALID_HANDLE_VALUE\r\n");
    return 1;
  }
  g_bRun.store(1, std::memory_order_relaxed);
  StartPumps(hwnd);
  if (g_hThreadFFtoBT.load(std::memory_order_relaxed) != nullptr &&
      g_hThreadBTtoFF.load(std::memory_order_relaxed) != nullptr) {
    LogPane(hwnd, L"Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n");
  }
  return 0;
}

// Clears the run flag before anything else, so a pump that wakes from a read on a closed port
// ends instead of reporting a write failure; then closes, marks closed and stops the pumps.
// The handle table keeps a closed handle from ever reaching another file, so a pump still in a
// read or write on it gets an error, never a stranger's bytes.
void StopBridge() {
  HANDLE ff = g_hFF.load(std::memory_order_relaxed);
  HANDLE bt = g_hBT.load(std::memory_order_relaxed);
  g_bRun.store(0, std::memory_order_relaxed);
  if (ff != INVALID_HANDLE_VALUE) CloseHandle(ff);
  if (bt != INVALID_HANDLE_VALUE) CloseHandle(bt);
  g_hFF.store(INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  g_hBT.store(INVALID_HANDLE_VALUE, std::memory_order_relaxed);
  StopPumps();
}

int ReleaseComs(HWND hwnd, WORD, HWND, WORD) {
  StopBridge();
  LogPane(hwnd, L"COMs released, R/W threads stopped\r\n");
  return 0;
}
