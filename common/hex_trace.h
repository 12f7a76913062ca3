// The hex byte trace: while HKEY_LOCAL_MACHINE\Platform\Debug "HexTrace" is a nonzero dword,
// every byte the update port and the bridge ports send and receive goes to the debug output,
// so an engineer can see what a misbehaving module really said.
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <string>

// 1 while the hex trace is on. Written from the registry as a bridge or an update port opens
// (the UI or the update thread, the same value either way); read by every thread that traces.
extern std::atomic<int> g_bHexTrace;

// Reads "HexTrace" into g_bHexTrace: absent, not a dword, or 0 is off.
void ReadHexTraceSetting();

// A byte as a text trace shows it: itself when printable ASCII, '.' otherwise, so a 0x00 or a
// line break in the data cannot end or break the trace line.
WCHAR ShownChar(BYTE byte);

// The bytes of one trace line at most.
inline constexpr DWORD HEX_LINE_BYTES = 16;

// The trace lines of one block, each ending "\r\n":
//   RX COM3: 0000  41 54 0d  AT.
// `direction` ("TX" or "RX") and the port's device name, the offset of the line's first byte
// in the block (four lower-case hex digits, more past 0xffff), then the bytes in lower-case
// hex and as ShownChar. A short last line is not padded: its text column follows its last
// byte after two spaces, as on a full line. An empty block has no lines.
std::wstring FormatHexLines(LPCWSTR direction, LPCWSTR port, const BYTE* data, DWORD size);

// Writes the lines of one block with one OutputDebugStringW call, so lines of another thread's
// block never land between them; nothing while the trace is off or the block is empty.
void TraceBytes(LPCWSTR direction, LPCWSTR port, const BYTE* data, DWORD size);
