#include "kernel/format.h"

#include <gtest/gtest.h>
#include <kov02/ce.h>

#include <climits>
#include <functional>
#include <string>

namespace {

struct FormatCase {
  std::wstring expected;
  std::function<int(wchar_t*)> format;
};

TEST(Format, WsprintfFollowsTheHandsetConversions) {
  const DWORD two = 2;
  const FormatCase cases[] = {
      {L"00000002", [&](wchar_t* b) { return wsprintfW(b, L"%08lX", two); }},
      {L"0x03001F88", [](wchar_t* b) { return wsprintfW(b, L"0x%08lX", DWORD{0x03001F88}); }},
      {L"DEADBEEF", [](wchar_t* b) { return wsprintfW(b, L"%lX", DWORD{0xDEADBEEF}); }},
      {L"ff FF", [](wchar_t* b) { return wsprintfW(b, L"%x %X", 255u, 255u); }},
      {L"0xff", [](wchar_t* b) { return wsprintfW(b, L"%#x", 255u); }},
      {L"-5", [](wchar_t* b) { return wsprintfW(b, L"%d", -5); }},
      {L"-2147483648", [](wchar_t* b) { return wsprintfW(b, L"%d", INT_MIN); }},
      {L"4294967295", [](wchar_t* b) { return wsprintfW(b, L"%u", 0xFFFFFFFFu); }},
      {L"-1", [](wchar_t* b) { return wsprintfW(b, L"%ld", static_cast<LONG>(-1)); }},
      {L"   42|42   |-0042", [](wchar_t* b) { return wsprintfW(b, L"%5d|%-5d|%05d", 42, 42, -42); }},
      {L"007", [](wchar_t* b) { return wsprintfW(b, L"%.3d", 7); }},
      {L"COM1: opened\r\n", [](wchar_t* b) { return wsprintfW(b, L"%s opened\r\n", L"COM1:"); }},
      {L"ab      |abcdef|ab",
       [](wchar_t* b) { return wsprintfW(b, L"%-8s|%3s|%.2s", L"ab", L"abcdef", L"abcdef"); }},
      {L"  Z", [](wchar_t* b) { return wsprintfW(b, L"%3c", L'Z'); }},
      {L"\u00e9", [](wchar_t* b) { return wsprintfW(b, L"%c", L'\u00e9'); }},
      {L"narrow N", [](wchar_t* b) { return wsprintfW(b, L"%hs %hc", "narrow", 'N'); }},
      {L"(null)", [](wchar_t* b) { return wsprintfW(b, L"%s", static_cast<const wchar_t*>(nullptr)); }},
      {L"100% y", [](wchar_t* b) { return wsprintfW(b, L"100%% %y"); }},
      {L"Error (6) opening COM1:",
       [](wchar_t* b) { return wsprintfW(b, L"Error (%d) opening %s", 6, L"COM1:"); }},
  };
  for (const FormatCase& row : cases) {
    wchar_t buffer[1024];
    const int written = row.format(buffer);
    EXPECT_EQ(std::wstring(buffer), row.expected);
    EXPECT_EQ(written, static_cast<int>(row.expected.size()));
  }
}

// With a precision the string argument need not be terminated: nothing past the precision is
// read (the sanitizer build catches a read past the array).
TEST(Format, PrecisionBoundsTheReadOfAnUnterminatedString) {
  const wchar_t unterminated[3] = {L'a', L'b', L'c'};
  const char narrow[2] = {'x', 'y'};
  wchar_t buffer[16];
  EXPECT_EQ(wsprintfW(buffer, L"%.3s|%.2hs", unterminated, narrow), 6);
  EXPECT_EQ(std::wstring(buffer), L"abc|xy");
}

TEST(Format, BoundedFormattingNeverWritesPastItsBuffer) {
  const std::wstring fits(99, L'a');
  const std::wstring too_long(100, L'b');
  wchar_t buffer[101];
  std::fill(std::begin(buffer), std::end(buffer), L'#');

  EXPECT_EQ(wnsprintfW(buffer, 100, L"%s", fits.c_str()), 99);
  EXPECT_EQ(std::wstring(buffer), fits);
  EXPECT_EQ(buffer[100], L'#');

  EXPECT_EQ(wnsprintfW(buffer, 100, L"%s", too_long.c_str()), -1);
  EXPECT_EQ(std::wstring(buffer), std::wstring(99, L'b'));
  EXPECT_EQ(buffer[100], L'#');

  EXPECT_EQ(wnsprintfW(buffer, 4, L"%08lX", DWORD{2}), -1);
  EXPECT_EQ(std::wstring(buffer), L"000");

  EXPECT_EQ(wnsprintfW(buffer, 1, L"x"), -1);
  EXPECT_EQ(buffer[0], L'\0');
  buffer[0] = L'#';
  EXPECT_EQ(wnsprintfW(buffer, 0, L"x"), -1);
  EXPECT_EQ(buffer[0], L'#');
}

TEST(Format, WsprintfStopsAtTheHandsetBufferSize) {
  const std::wstring huge(3000, L'z');
  std::wstring buffer(1100, L'#');
  EXPECT_EQ(wsprintfW(buffer.data(), L"%s", huge.c_str()), 1023);
  EXPECT_EQ(buffer[1023], L'\0');
  EXPECT_EQ(buffer[1024], L'#');
}

}  // namespace
