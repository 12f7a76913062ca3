// The command line's grammar, and the JSON strings stderr carries for a program to read.
#include "main/command_line.h"

#include <gtest/gtest.h>

#include "kernel/stderr_lines.h"
#include "kernel/text.h"

namespace {

using kov02::CommandLine;
using Kind = CommandLine::Kind;

CommandLine Parse(std::vector<std::string_view> args) {
  return kov02::parse_command_line(args);
}

TEST(CommandLine, AScriptedUpdateTakesItsOptionsInEitherSpelling) {
  const CommandLine line = Parse(
      {"--progress=json", "--update", "eep-flash", "--reboot", "--package", "/pkg", "--registry=/etc/x.reg"});
  ASSERT_EQ(line.kind, Kind::update) << line.error;
  EXPECT_EQ(line.mode, "eep-flash");
  EXPECT_TRUE(line.reboot);
  EXPECT_TRUE(line.json);
  EXPECT_EQ(line.package, "/pkg");
  EXPECT_EQ(line.registry, "/etc/x.reg");
  const CommandLine plain = Parse({"--update=flash-only"});
  EXPECT_EQ(plain.kind, Kind::update);
  EXPECT_FALSE(plain.reboot);  // a script never reboots a host unless it asks
  EXPECT_FALSE(plain.json);
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{"--update", "flash"}, "--update takes flash-only or eep-flash, not \"flash\""},
      {{"--update", "flash-only", "--reboot", "--no-reboot"}, "--reboot and --no-reboot together"},
      {{"--update", "flash-only", "--verbose"}, "unknown argument: --verbose"},
      {{"--update", "flash-only", "--update", "flash-only"}, "--update given twice"},
      {{"--update", "flash-only", "--package"}, "--package needs a value"},
      {{"--update", "flash-only", "--registry="}, "--registry needs a non-empty value"},
      {{"--update", "flash-only", "--progress", "xml"}, "--progress takes text or json, not \"xml\""},
      {{"--no-reboot"}, "the options of a scripted update need --update MODE"},
      {{"--update", "flash-only", "--help"}, "unknown argument: --help"},
      {{"--help", "--version"}, "one option at a time"},
      {{"--bogus"}, "unknown argument: --bogus"},
  };
  for (const auto& [args, error] : cases) {
    const CommandLine line = Parse(args);
    EXPECT_EQ(line.kind, Kind::usage_error) << error;
    EXPECT_EQ(line.error, error);
  }
  EXPECT_TRUE(Parse({"--progress", "json", "--update", "none"}).json);  // the refusal comes as JSON too
  EXPECT_EQ(Parse({}).kind, Kind::window);
  EXPECT_EQ(Parse({"--help"}).kind, Kind::help);
  EXPECT_EQ(Parse({"--version"}).kind, Kind::version);
}

TEST(JsonString, EscapesWhatJsonMustAndReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(kov02::kernel::json_string("a \"b\" \\ c"), R"("a \"b\" \\ c")");
  EXPECT_EQ(kov02::kernel::json_string("tab\there\x01\x7f"), R"("tab\u0009here\u0001\u007f")");
  EXPECT_EQ(kov02::kernel::json_string("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  EXPECT_EQ(kov02::kernel::json_string("bad \xff \xc3 \xed\xa0\x80"),
            R"("bad \ufffd \ufffd \ufffd\ufffd\ufffd")");
}

}  // namespace
