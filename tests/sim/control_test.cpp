#include "tools/kov02a-sim/control.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "tools/kov02a-sim/wire.hpp"

namespace kov02a_sim {
namespace {

using Verb = ControlCommand::Verb;

TEST(ControlRequestLine, ParsesEveryRequest) {
  struct Case {
    const char* line;
    Verb verb;
    std::uint32_t code;
    bool json;
  };
  const Case cases[] = {
      {"ril 0x03001F88", Verb::Ril, kRilReset, false},
      {"ril 50339712", Verb::Ril, kRilSuspend, false},
      {"reboot 0x0101003c", Verb::Reboot, kHalReboot, false},
      {"summary", Verb::Summary, 0, false},
      {"summary json", Verb::Summary, 0, true},
      {"quit", Verb::Quit, 0, false},
  };
  const auto fields = [](const ControlCommand& c) { return std::tuple(c.verb, c.code, c.json); };
  for (const Case& row : cases) {
    const auto command = parse_control(row.line);
    ASSERT_TRUE(command) << row.line;
    EXPECT_EQ(fields(*command), std::tuple(row.verb, row.code, row.json)) << row.line;
    const std::string formatted = format_control(*command);
    ASSERT_EQ(formatted.back(), '\n');
    const auto again = parse_control(std::string_view(formatted).substr(0, formatted.size() - 1));
    ASSERT_TRUE(again) << formatted;
    EXPECT_EQ(fields(*again), fields(*command)) << formatted;
  }
}

TEST(ControlRequestLine, RejectsMalformedLines) {
  for (const char* line : {"", "ril", "ril 0x", "ril zz", "ril 0x1FFFFFFFF", "reboot -1", "summary xml",
                           "quit now", "RIL 0x03001F88", "ril  0x03001F88"}) {
    EXPECT_FALSE(parse_control(line)) << "'" << line << "'";
  }
}

}  // namespace
}  // namespace kov02a_sim
