#include "kernel/debug_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "kernel/output_queue.h"
#include "main/startup.h"
#include "registry/registry.h"
#include "temp_dir.h"

namespace kov02::kernel {
namespace {

using test_support::TempDir;

class DebugOutputTest : public ::testing::Test {
 protected:
  // Points the debug output at `setting` ("stderr", "file:...") through the registry.
  bool configure(const std::string& setting, std::string* error, const std::string& more = "") {
    const std::string text =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n\"Output\"=\"" + setting + "\"\n" + more;
    std::string parse_error;
    EXPECT_TRUE(registry::load_string(text, &parse_error)) << parse_error;
    return configure_debug_output(error);
  }
  void TearDown() override {
    registry::clear();
    std::string ignored;
    configure_debug_output(&ignored);
    set_debug_output_hook(nullptr);
  }
  // Points the debug output at `log` (with `more` registry lines) and traces `lines` lines;
  // why the file was refused, as the warning on stderr says ("" when it is used).
  std::string refusal(const std::string& log, int lines = 1, const std::string& more = "") {
    testing::internal::CaptureStderr();
    std::string error;
    EXPECT_TRUE(configure("file:" + log, &error, more)) << error;
    for (int i = 0; i < lines; ++i) OutputDebugStringW(L"a line long enough to move the log aside often\r\n");
    flush_outputs(std::chrono::seconds(5));
    const std::string warned = testing::internal::GetCapturedStderr(), marker = "debug output " + log + " ";
    const std::size_t at = warned.find(marker), from = at + marker.size();
    return at == std::string::npos ? "" : warned.substr(from, warned.find(';', from) - from);
  }
  // The file's lines once everything traced so far is written.
  std::vector<std::string> lines_of(const std::string& path) {
    flush_outputs(std::chrono::seconds(5));
    std::vector<std::string> lines;
    std::istringstream stream(test_support::read_file(path));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
  TempDir dir_;
};

// The hook sees each text as the program wrote it; the file gets it as timestamped lines.
TEST_F(DebugOutputTest, EachTextBecomesTimestampedLinesWithTheThreadNameAndTheHookSeesItAsWritten) {
  std::vector<std::wstring> seen;
  set_debug_output_hook([&](std::wstring_view text) { seen.emplace_back(text); });
  std::string error;
  ASSERT_TRUE(configure("file:" + dir_.file("log"), &error)) << error;
  OutputDebugStringW(L"Open : COM1:\r\n");
  OutputDebugStringW(L"no break");
  OutputDebugStringW(L"first\r\nsecond\r\n");
  set_debug_output_hook(nullptr);
  OutputDebugStringW(L"caf\u00e9\r\n");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"Open : COM1:\r\n", L"no break", L"first\r\nsecond\r\n"}));
  const std::vector<std::string> lines = lines_of(dir_.file("log"));
  const std::vector<std::string> texts = {"Open : COM1:", "no break", "first", "second", "caf\xC3\xA9"};
  ASSERT_EQ(lines.size(), texts.size());
  const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[main\] (.*))");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, shape)) << lines[i];
    EXPECT_EQ(match[1], texts[i]);
  }
}

TEST_F(DebugOutputTest, LinesFromManyThreadsNeverInterleave) {
  std::string error;
  ASSERT_TRUE(configure("file:" + dir_.file("log"), &error)) << error;
  const std::wstring body(300, L'x');
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      // Fewer lines than the output queue holds, so none is dropped however fast they come.
      for (int i = 0; i < 10; ++i) OutputDebugStringW((body + L"\r\n").c_str());
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::vector<std::string> lines = lines_of(dir_.file("log"));
  ASSERT_EQ(lines.size(), 40u);
  const std::string tail = "] " + std::string(300, 'x');
  for (const std::string& line : lines) {
    ASSERT_TRUE(line.ends_with(tail)) << line;
    ASSERT_EQ(line.find('x'), line.size() - 300) << line;
  }
}

TEST_F(DebugOutputTest, UnusableDestinationsAreReported) {
  struct Row {
    std::string setting;
    std::string reason;
  };
  const Row rows[] = {
      {"file:" + dir_.file("missing/log"), "cannot open debug output " + dir_.file("missing/log") + ": "},
      {"syslog", "must be \"stderr\" or \"file:PATH\""},
      {"file:", "must be \"stderr\" or \"file:PATH\""},
  };
  for (const Row& row : rows) {
    std::string error;
    EXPECT_FALSE(configure(row.setting, &error)) << row.setting;
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
  std::string error;
  EXPECT_TRUE(configure("stderr", &error)) << error;
}

// A link planted at the log's name, before start or again and again while the log is moved to
// NAME.1 and made anew, never leads a line (nor an emptying) to the file it points at.
TEST_F(DebugOutputTest, ALinkAtTheLogsNameIsNeverFollowedAtStartOrWhileTheLogIsMovedAside) {
  const std::string log = dir_.file("kov.log"), target = dir_.write("target", "kept\n");
  ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
  EXPECT_EQ(refusal(log), "is a symbolic link");
  ASSERT_EQ(::unlink(log.c_str()), 0);
  std::atomic<bool> done{false};
  std::thread attacker([&] {
    for (const std::string planted = dir_.file("planted"); !done;) {
      ::symlink(target.c_str(), planted.c_str());
      ::rename(planted.c_str(), log.c_str());  // replaces whatever stands at the name
    }
  });
  refusal(log, 3000, "\"MaxBytes\"=dword:00000100\n");
  done = true;
  attacker.join();
  EXPECT_EQ(test_support::read_file(target), "kept\n");
}

// Whoever may replace the log could swap a link in for it: a folder others may write without
// the sticky bit is refused, and in a sticky one (as /tmp) only this user's own file is used.
TEST_F(DebugOutputTest, ALogInAFolderOthersMayChangeIsRefused) {
  const std::string log = dir_.file("kov.log"), folder = dir_.path().string();
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  EXPECT_EQ(refusal(log), "is refused: its folder may be written by others and is not sticky");
  EXPECT_FALSE(std::filesystem::exists(log));
  ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
  EXPECT_EQ(refusal(log), "");
  if (::geteuid() != 0) GTEST_SKIP() << "a file and a folder of another user need root";
  ASSERT_EQ(::chown(log.c_str(), 65534, 65534), 0);
  EXPECT_EQ(refusal(log), "is refused: it belongs to another user in a folder others may write");
  ASSERT_EQ(::chmod(folder.c_str(), 0755) + ::chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(refusal(log), "is refused: its folder belongs to another user");
  EXPECT_EQ(lines_of(log).size(), 1u);
}

}  // namespace
}  // namespace kov02::kernel
