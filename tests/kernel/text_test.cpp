#include "kernel/text.h"

#include <gtest/gtest.h>

#include "kernel/paths.h"

namespace kov02::kernel {
namespace {

TEST(Paths, LinuxAndHandsetFormsMapOntoEachOther) {
  struct Row {
    std::string linux;
    std::wstring handset;
  };
  const Row rows[] = {
      {"/opt/kov02/kov02tool", L"\\opt\\kov02\\kov02tool"},
      {"/", L"\\"},
      {"relative/name.bin", L"relative\\name.bin"},
      {"/tmp/caf\xC3\xA9/\xE2\x82\xAC", L"\\tmp\\caf\u00e9\\\u20ac"},
      {"", L""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(handset_path(row.linux), row.handset);
    EXPECT_EQ(linux_path(row.handset), row.linux);
  }
  EXPECT_EQ(linux_path(L"/already/linux"), "/already/linux");
}

// Folder names are bytes: one that is not UTF-8 must come back byte for byte, or the program
// cannot open the files beside it.
TEST(Paths, BytesThatAreNotUtf8SurviveTheRoundTrip) {
  const std::string names[] = {
      "/tmp/caf\xE9/kov02tool",           // Latin-1
      "/x/\xC3",                          // cut short
      "/x/\xC0\xAF\xED\xA0\x80",          // overlong, an encoded surrogate
      "/x/\xF4\x90\x80\x80\xFF\xFE",      // past U+10FFFF, bytes that never start a sequence
      "/x/\xE2\x82\xAC\x80\xE2\x82\xAC",  // a stray continuation between good characters
  };
  for (const std::string& name : names) EXPECT_EQ(linux_path(handset_path(name)), name) << name;
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  EXPECT_EQ(native_bytes(native_text(every_byte)), every_byte);
  // Shown to a person, such a byte is a replacement character; decoded text is unaffected.
  EXPECT_EQ(handset_path("/caf\xE9\xE2\x82\xAC"),
            std::wstring(L"\\caf") + static_cast<wchar_t>(0xDCE9) + L"\u20ac");
  EXPECT_EQ(to_utf8(handset_path("/caf\xE9")), "\\caf\xEF\xBF\xBD");
}

TEST(Text, ControlCharactersAndStrayBytesArePrintedAsEscapes) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain text", "plain text"},
      {"\x1B[2J\abell\r\n\t\x7F", "\\x1B[2J\\x07bell\\x0D\\x0A\\x09\\x7F"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 letters stay
      {"\302\23331m", "\\xC2\\x9B31m"},                          // C1 CSI, encoded
      {"\23331m\xFF", "\\x9B31m\\xFF"},                          // raw 8-bit CSI, stray byte
      {std::string("nul\0", 4), "nul\\x00"},
  };
  for (const auto& [raw, shown] : rows) EXPECT_EQ(printable(raw), shown) << raw;
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(from_utf8("a\377b"), L"a\uFFFDb");
  EXPECT_EQ(from_utf8("\xC3"), L"\uFFFD");            // cut short
  EXPECT_EQ(from_utf8("\xC0\xAF"), L"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(from_utf8("\xF0\x9F\x98\x80"), L"\U0001F600");
  EXPECT_EQ(to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kov02::kernel
