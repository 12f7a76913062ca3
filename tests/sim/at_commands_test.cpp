#include "tools/kov02a-sim/at_commands.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kov02a_sim {
namespace {

std::string feed_all(AtResponder& responder, std::string_view input) {
  std::string replies;
  for (const char c : input) {
    const Bytes reply = responder.feed(static_cast<std::uint8_t>(c));
    replies.append(reply.begin(), reply.end());
  }
  return replies;
}

TEST(AtResponder, AnswersCommandLines) {
  const std::string ok = "\r\nOK\r\n";
  const std::string error = "\r\nERROR\r\n";
  const std::string identity = "\r\n" + std::string(kIdentity) + "\r\n" + ok;
  const std::pair<const char*, std::string> cases[] = {
      // the input, the replies
      {"AT\r", ok},     {"AT\r\n", ok},      {"at\n", ok},           {"ATI\r", identity},
      {"ATE0\r", ok},   {"AT+CSQ\r", error}, {"ATD123\r", error},    {"AT", ""},
      {"\r\n\r\n", ""}, {"UUUUAT\r", ok},    {"AT+CUSD=1\r", error}, {"AT\rATI\r", ok + identity},
  };
  for (const auto& [input, replies] : cases) {
    AtResponder responder;
    EXPECT_EQ(feed_all(responder, input), replies) << "input " << ::testing::PrintToString(input);
  }
  AtResponder responder;  // an overlong line is an error, and the next line works
  EXPECT_EQ(feed_all(responder, "AT" + std::string(500, 'X') + "\rAT\r"), error + ok);
}

TEST(AtResponder, CountsSyncBytesBetweenLines) {
  AtResponder responder;
  feed_all(responder,
           "UUU\x01"
           "AT\r");
  EXPECT_EQ(responder.sync_dropped(), 3u);
  EXPECT_EQ(responder.dropped(), 4u);
  EXPECT_EQ(responder.commands(), 1u);
}

}  // namespace
}  // namespace kov02a_sim
