// The two pump threads of the bridge: each polls its source port with short reads and writes
// every chunk to the other port at once, with no queue in between. One loop serves both
// directions; a route row says which words, texts and debug choice belong to each.
#include "bridge/bridge.h"
#include "common/hex_trace.h"
#include "common/output.h"
#include "common/state.h"

static constexpr DWORD PUMP_CHUNK_BYTES = 1024;
static constexpr int PUMP_LINE_CHARS = 128;

namespace {
// What makes a pump one direction or the other.
struct PumpRoute {
  std::atomic<HANDLE>* source;
  std::atomic<HANDLE>* destination;
  std::atomic<LPCWSTR>* sourceName;
  std::atomic<LPCWSTR>* destinationName;
  LPCWSTR failText;         // the write-failure box, text and caption alike
  DebugDirection debugDir;  // the choice that logs this direction (besides "both")
  LPCWSTR lineFormat;       // the traffic line
  bool lineCountsRead;      // the line shows the count read rather than the count written
};
}  // namespace

static const PumpRoute FF_TO_BT{.source = &g_hFF,
                                .destination = &g_hBT,
                                .sourceName = &g_pszFFName,
                                .destinationName = &g_pszBTName,
                                .failText = L"Fail to write to BT/Irda\r\n",
                                .debugDir = DEBUG_FF_TO_BT,
                                .lineFormat = L"%d bytes <-BT<-FF<- <<<\r\n",
                                .lineCountsRead = false};
static const PumpRoute BT_TO_FF{.source = &g_hBT,
                                .destination = &g_hFF,
                                .sourceName = &g_pszBTName,
                                .destinationName = &g_pszFFName,
                                .failText = L"Fail to write FF(GSM)",
                                .debugDir = DEBUG_BT_TO_FF,
                                .lineFormat = L">>> %d bytes ->BT->FF->\r\n",
                                .lineCountsRead = true};

namespace {
// A pump thread and the word that holds its handle, in start and stop order.
struct PumpThread {
  std::atomic<HANDLE>* word;
  LPTHREAD_START_ROUTINE procedure;
};
}  // namespace

static const PumpThread PUMP_THREADS[] = {{&g_hThreadFFtoBT, PumpFFtoBT}, {&g_hThreadBTtoFF, PumpBTtoFF}};

static bool IsBridgeOpen() {
  return g_hFF.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE &&
         g_hBT.load(std::memory_order_relaxed) != INVALID_HANDLE_VALUE;
}

static bool DebugSelects(const PumpRoute& route) {
  int dir = g_nDebugDir.load(std::memory_order_relaxed);
  return dir == route.debugDir || dir == DEBUG_BOTH;
}

// Exit status STILL_ACTIVE; a failed query (-1, null, not a thread) counts as not running.
static bool QueryRunning(HANDLE thread, bool* known) {
  DWORD code = 0;
  *known = GetExitCodeThread(thread, &code) != FALSE;
  return *known && code == STILL_ACTIVE;
}

// Writes one chunk and reports it. A write that fails while the bridge is still meant to run
// gets the route's box; one that fails because Release COMs cleared the flag and closed the
// port under it is the stop itself, not a fault worth interrupting the user for.
static void ForwardChunk(const PumpRoute& route, HWND hwnd, const BYTE* chunk, DWORD read, WCHAR* line) {
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(route.destination->load(std::memory_order_relaxed), chunk, read, &written, nullptr);
  TraceBytes(L"TX", route.destinationName->load(std::memory_order_relaxed), chunk, written);
  if (!wrote && g_bRun.load(std::memory_order_relaxed) != 0) {
    MessageBoxW(nullptr, route.failText, route.failText, MB_OK);
  }
  if (written != 0 && DebugSelects(route)) {
    wnsprintfW(line, PUMP_LINE_CHARS, route.lineFormat,
               static_cast<int>(route.lineCountsRead ? read : written));
    LogPane(hwnd, line);
  }
}

// The pump loop. The 1 ms read time-out paces it while the line is idle. A read that fails
// (rather than times out empty) waits that millisecond itself, so a port that went away does
// not turn the pump into a busy loop until Release COMs.
static DWORD RunPump(const PumpRoute& route, HWND hwnd) {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  BYTE chunk[PUMP_CHUNK_BYTES];
  WCHAR line[PUMP_LINE_CHARS];
  while (g_bRun.load(std::memory_order_relaxed) != 0) {
    DWORD read = 0;
    if (!ReadFile(route.source->load(std::memory_order_relaxed), chunk, sizeof chunk, &read, nullptr)) {
      if (IsBridgeOpen()) Sleep(1);
    } else if (read > 0) {
      TraceBytes(L"RX", route.sourceName->load(std::memory_order_relaxed), chunk, read);
      ForwardChunk(route, hwnd, chunk, read, line);
    }
    if (!IsBridgeOpen()) return 0;
  }
  return 0;
}

DWORD PumpFFtoBT(LPVOID hwnd) {
  return RunPump(FF_TO_BT, static_cast<HWND>(hwnd));
}

DWORD PumpBTtoFF(LPVOID hwnd) {
  return RunPump(BT_TO_FF, static_cast<HWND>(hwnd));
}

// Starts each pump that is not running. The handle of a pump that has ended is closed as it
// is replaced, so repeated Get/Release cycles do not pile up thread handles.
void StartPumps(HWND hwnd) {
  for (const PumpThread& pump : PUMP_THREADS) {
    HANDLE old = pump.word->load(std::memory_order_relaxed);
    bool known = false;
    if (QueryRunning(old, &known)) continue;
    if (known) CloseHandle(old);
    HANDLE created = CreateThread(nullptr, 0, pump.procedure, hwnd, 0, nullptr);
    pump.word->store(created, std::memory_order_relaxed);
  }
}

// Stops each pump still running. TerminateThread returns once the thread has ended (it ends at
// its next blocking call, a write-failure box included), so no pump outlives this call. The
// handle words stay as they are.
void StopPumps() {
  for (const PumpThread& pump : PUMP_THREADS) {
    HANDLE thread = pump.word->load(std::memory_order_relaxed);
    bool known = false;
    if (QueryRunning(thread, &known)) TerminateThread(thread, 0);
  }
}
