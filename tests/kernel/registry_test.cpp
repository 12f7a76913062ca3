#include "registry/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "kernel/text.h"
#include "temp_dir.h"

namespace kov02::registry {
namespace {

using namespace std::string_view_literals;

constexpr const char* kValid = R"(Windows Registry Editor Version 5.00
; a comment line

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial]
"Index"=dword:00000001   ; FFUART
@="default text"

[hkey_local_machine\platform\devices]
"COM1:"="/dev/ttyUSB0"
"RIL1:"="exec:/usr/bin/ril-ctl --quiet"   ; comment after a value; a ';' "in quotes" below stays
"Quoted"="a \"b\" c:\\d;e"
"Blob"=hex:01,02,ff,\
  10,20 ; continued
"Empty"=hex:

[HKEY_CURRENT_USER\Ignored]
"Index"=dword:00000009

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial]
"index"=dword:0000002a
)";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(load_string(kValid, &error)) << error;
  }
  void TearDown() override { clear(); }
};

TEST_F(RegistryTest, ValuesAreFoundWhateverTheLetterCaseWithTheirBytes) {
  EXPECT_EQ(lookup_string(L"Platform\\Devices", L"com1:"), L"/dev/ttyUSB0");
  EXPECT_EQ(lookup_string(L"HKEY_LOCAL_MACHINE\\PLATFORM\\DEVICES", L"RIL1:"),
            L"exec:/usr/bin/ril-ctl --quiet");
  EXPECT_EQ(lookup_string(L"Platform\\Devices", L"Quoted"), L"a \"b\" c:\\d;e");
  EXPECT_EQ(lookup_string(L"Drivers\\BuiltIn\\Serial", L""), L"default text");
  EXPECT_FALSE(lookup_string(L"Drivers\\BuiltIn\\Serial", L"Index"));  // a dword, not text
  EXPECT_FALSE(lookup(L"Platform\\Devices", L"COM2:"));
  EXPECT_FALSE(key_exists(L"Ignored"));
  EXPECT_TRUE(key_exists(L"Drivers\\BuiltIn"));
  // Dwords and hex data keep their bytes; a later line for the same key and value name wins.
  EXPECT_EQ(lookup(L"Drivers\\BuiltIn\\Serial", L"Index")->data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
  const auto blob = lookup(L"Platform\\Devices", L"Blob");
  EXPECT_EQ(blob->type, REG_BINARY);
  EXPECT_EQ(blob->data, (std::vector<BYTE>{0x01, 0x02, 0xff, 0x10, 0x20}));
  EXPECT_TRUE(lookup(L"Platform\\Devices", L"Empty")->data.empty());
}

TEST_F(RegistryTest, RegQueryValueCopiesWithSizeInAndOut) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\Serial", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD index = 0, type = 0, size = sizeof index;
  EXPECT_EQ(RegQueryValueExW(key, L"Index", nullptr, &type, reinterpret_cast<BYTE*>(&index), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(index, 42u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);

  WCHAR text[64];
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(L"default text"));
  EXPECT_EQ(type, REG_SZ);
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExW(key, L"", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, L"default text");
  size = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"index", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, L"Index", nullptr, nullptr, reinterpret_cast<BYTE*>(&index), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, L"Index", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, KeysOpenRelativeToOpenKeysAndMissingOnesAreNotFound) {
  HKEY drivers = nullptr, serial = nullptr, missing = reinterpret_cast<HKEY>(1);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"DRIVERS", 0, KEY_READ, &drivers), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(drivers, L"BuiltIn\\Serial", 0, KEY_READ, &serial), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(serial, L"Index", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\Serial2", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  RegCloseKey(serial);
  RegCloseKey(drivers);
  std::string error;
  EXPECT_FALSE(load_string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", &error));
  EXPECT_EQ(lookup_string(L"Platform\\Devices", L"COM1:"), L"/dev/ttyUSB0")
      << "a failed load changes nothing";
}

struct Malformed {
  std::string_view text;
  int line;
  const char* fault;
};

TEST(RegistryParse, MalformedInputIsReportedWithItsLine) {
  const Malformed cases[] = {
      {"[HKEY_LOCAL_MACHINE\\A]\n", 1, "missing REGEDIT4 header"},
      {"", 1, "missing REGEDIT4 header"},
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", 3, "unterminated key name"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2, "unknown root key \"HKEY_NOWHERE\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2, "empty key name in path"},
      {"REGEDIT4\n\"a\"=dword:1\n", 2, "value outside a key"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"abc\n", 3, "unterminated string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"a\\q\"\n", 3, "unknown escape in string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\" dword:1\n", 3, "missing '=' after value name"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n", 3, "bad dword value"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:xyz\n", 3, "bad dword value"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n 0g\n", 4, "bad hex byte \"0g\""},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n", 3, "continuation at end of file"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=qword:1\n", 3, "unknown value type"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(2):41,00\n", 3, "unsupported value type"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"x\" junk\n", 3, "unexpected text after value"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A] junk\n", 2, "unexpected text after key name"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\ngarbage\n", 3, "unrecognised line"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n", 2, "key deletion is not supported"},
      // A NUL would silently cut a path where the value is read as a C string.
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"COM1:\"=\"/dev/tty\0USB0\"\n"sv, 3, "NUL character in string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\n\"CO\0M1:\"=\"x\"\n"sv, 4, "NUL character in string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\0B]\n"sv, 2, "NUL character in key name"},
  };
  for (const Malformed& row : cases) {
    std::string error;
    EXPECT_FALSE(load_string(row.text, &error, "/etc/x.reg")) << row.text;
    const std::string prefix = "/etc/x.reg:" + std::to_string(row.line) + ": ";
    EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
    EXPECT_NE(error.find(row.fault), std::string::npos) << error;
  }
}

// Parents of a written key exist without being listed, so a path thousands of levels deep
// costs its length, not the square of it (gigabytes of parent names, minutes of start-up).
TEST(RegistryParse, ADeepKeyPathIsReadWithItsParents) {
  std::string deep;
  for (int level = 0; level < 20000; ++level) deep += "k\\";
  std::string error;
  ASSERT_TRUE(load_string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + deep + "leaf]\n\"v\"=\"x\"\n", &error))
      << error;
  const std::wstring parent = kov02::kernel::from_utf8(deep.substr(0, deep.size() - 1));
  EXPECT_TRUE(key_exists(parent));
  EXPECT_TRUE(key_exists(L"K\\K"));
  EXPECT_EQ(lookup_string(parent + L"\\LEAF", L"v"), L"x");
  EXPECT_FALSE(key_exists(L"k\\k\\kk"));
  EXPECT_FALSE(key_exists(parent + L"\\lea"));
  clear();
}

// UTF-16LE text of `units`, after the byte-order mark.
std::string utf16le(std::u16string_view units) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : units) bytes += std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

TEST(RegistryParse, Utf16FilesWithAByteOrderMarkAreRead) {
  const std::u16string text =
      u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"n\"=\"v\"\r\n\"smile\"=\"a\U0001F600b\"\r\n";
  std::string error;
  ASSERT_TRUE(load_string(utf16le(text), &error)) << error;
  EXPECT_EQ(lookup_string(L"A", L"n"), L"v");
  EXPECT_EQ(lookup_string(L"A", L"smile"), L"a\U0001F600b") << "a surrogate pair is one character";
  clear();
  // A lone surrogate cannot be guessed at: it reads as U+FFFD. A NUL is refused as in UTF-8.
  ASSERT_TRUE(load_string(utf16le(u"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"n\"=\"\xD83Dx\"\n"), &error));
  EXPECT_EQ(lookup_string(L"A", L"n"), L"\uFFFDx");
  clear();
  EXPECT_FALSE(
      load_string(utf16le(u"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"n\"=\"a\0b\"\n"sv), &error, "u.reg"));
  EXPECT_EQ(error.substr(0, 8), "u.reg:3:") << error;
}

TEST(RegistryFile, TheInstalledSampleLoadsAndMapsTheHandsetDevicesAndUnreadableFilesAreNamed) {
  test_support::TempDir dir;
  std::string error;
  EXPECT_FALSE(load_file(dir.file("absent.reg"), &error));
  EXPECT_EQ(error, dir.file("absent.reg") + ": cannot read: No such file or directory");
  EXPECT_FALSE(load_file(dir.path(), &error));
  EXPECT_EQ(error.substr(0, dir.path().string().size() + 2), dir.path().string() + ": ");
  ASSERT_TRUE(load_file(KOV02_SOURCE_DIR "/config/kov02tool.reg.sample", &error)) << error;
  for (const wchar_t* name : {L"COM1:", L"COM3:", L"COM5:", L"RIL1:"}) {
    EXPECT_TRUE(lookup_string(L"Platform\\Devices", name)) << name;
  }
  EXPECT_TRUE(lookup_string(L"Platform\\Kernel", L"Reboot")->starts_with(L"exec:"));
  EXPECT_EQ(lookup_string(L"Platform\\Debug", L"Output"), L"stderr");
  EXPECT_EQ(lookup(L"Drivers\\BuiltIn\\Serial", L"Index")->data, (std::vector<BYTE>{1, 0, 0, 0}));
  EXPECT_TRUE(lookup(L"Drivers\\BuiltIn\\Serial2", L"Index"));
  clear();
}

}  // namespace
}  // namespace kov02::registry
