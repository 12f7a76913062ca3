#include "kernel/format.h"

#include <gtest/gtest.h>
#include <kov02/ce.h>

#include <climits>
#include <string>

namespace {

// Formats with wsprintfW; both the text and the count it returns must be `expected`.
template <typename... Args>
void expect_format(const std::wstring& expected, const wchar_t* format, Args... args) {
  wchar_t buffer[1024];
  EXPECT_EQ(wsprintfW(buffer, format, args...), static_cast<int>(expected.size())) << format;
  EXPECT_EQ(std::wstring(buffer), expected) << format;
}

// With a precision a string argument need not be terminated: nothing past the precision is read
// (the sanitizer build catches a read past the array).
TEST(Format, WsprintfFollowsTheHandsetConversions) {
  const wchar_t unterminated[3] = {L'a', L'b', L'c'};
  const char narrow[2] = {'x', 'y'};
  expect_format(L"abc|xy", L"%.3s|%.2hs", unterminated, narrow);
  expect_format(L"00000002", L"%08lX", DWORD{2});
  expect_format(L"0x03001F88", L"0x%08lX", DWORD{0x03001F88});
  expect_format(L"DEADBEEF", L"%lX", DWORD{0xDEADBEEF});
  expect_format(L"ff FF", L"%x %X", 255u, 255u);
  expect_format(L"0xff", L"%#x", 255u);
  expect_format(L"-5", L"%d", -5);
  expect_format(L"-2147483648", L"%d", INT_MIN);
  expect_format(L"4294967295", L"%u", 0xFFFFFFFFu);
  expect_format(L"-1", L"%ld", static_cast<LONG>(-1));
  expect_format(L"   42|42   |-0042", L"%5d|%-5d|%05d", 42, 42, -42);
  expect_format(L"007", L"%.3d", 7);
  expect_format(L"COM1: opened\r\n", L"%s opened\r\n", L"COM1:");
  expect_format(L"ab      |abcdef|ab", L"%-8s|%3s|%.2s", L"ab", L"abcdef", L"abcdef");
  expect_format(L"  Z", L"%3c", L'Z');
  expect_format(L"\u00e9", L"%c", L'\u00e9');
  expect_format(L"narrow N", L"%hs %hc", "narrow", 'N');
  expect_format(L"(null)", L"%s", static_cast<const wchar_t*>(nullptr));
  expect_format(L"100% y", L"100%% %y");
  expect_format(L"Error (6) opening COM1:", L"Error (%d) opening %s", 6, L"COM1:");
}

// Unbounded, the text stops at the handset's buffer size.
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

  std::wstring large(1100, L'#');
  EXPECT_EQ(wsprintfW(large.data(), L"%s", std::wstring(3000, L'z').c_str()), 1023);
  EXPECT_EQ(large[1023], L'\0');
  EXPECT_EQ(large[1024], L'#');
}

}  // namespace
