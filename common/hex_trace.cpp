// The hex byte trace: the setting, the pure line formatter and the one-call writer.
#include "common/hex_trace.h"

#include <algorithm>

#include "common/settings.h"

std::atomic<int> g_bHexTrace{0};

void ReadHexTraceSetting() {
  DWORD value = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Platform\\Debug", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadDwordSetting(key, L"HexTrace", &value);
    RegCloseKey(key);
  }
  g_bHexTrace.store(value != 0 ? 1 : 0, std::memory_order_relaxed);
}

WCHAR ShownChar(BYTE byte) {
  return (byte >= 0x20 && byte < 0x7F) ? static_cast<WCHAR>(byte) : L'.';
}

static constexpr WCHAR HEX_DIGITS[] = L"0123456789abcdef";

// At least `digits` lower-case hex digits of `value`.
static void AppendHex(std::wstring* out, DWORD value, int digits) {
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out->push_back(HEX_DIGITS[(value >> shift) & 0xF]);
}

static void AppendLine(std::wstring* out, LPCWSTR prefix, DWORD offset, const BYTE* data, DWORD count) {
  out->append(prefix);
  AppendHex(out, offset, 4);
  out->push_back(L' ');
  for (DWORD i = 0; i < count; ++i) {
    out->push_back(L' ');
    AppendHex(out, data[i], 2);
  }
  out->append(L"  ");
  for (DWORD i = 0; i < count; ++i) out->push_back(ShownChar(data[i]));
  out->append(L"\r\n");
}

std::wstring FormatHexLines(LPCWSTR direction, LPCWSTR port, const BYTE* data, DWORD size) {
  const std::wstring prefix = std::wstring(direction) + L' ' + port + L' ';
  constexpr std::size_t LINE_CHARS_PAST_PREFIX = 4 + 2 + 3 * HEX_LINE_BYTES + 2 + HEX_LINE_BYTES + 2;
  std::wstring lines;
  lines.reserve((size / HEX_LINE_BYTES + 1) * (prefix.size() + LINE_CHARS_PAST_PREFIX));
  for (DWORD offset = 0; offset < size; offset += HEX_LINE_BYTES) {
    AppendLine(&lines, prefix.c_str(), offset, data + offset, std::min(HEX_LINE_BYTES, size - offset));
  }
  return lines;
}

void TraceBytes(LPCWSTR direction, LPCWSTR port, const BYTE* data, DWORD size) {
  if (size == 0 || g_bHexTrace.load(std::memory_order_relaxed) == 0) return;
  OutputDebugStringW(FormatHexLines(direction, port, data, size).c_str());
}
