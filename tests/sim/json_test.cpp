// The hand-written JSON: escaping, structure, and the summary read back by a strict parser.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/kov02a-sim/json_writer.hpp"
#include "tools/kov02a-sim/summary.hpp"

namespace kov02a_sim {
namespace {

TEST(JsonQuote, EscapesWhatJsonRequires) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"plain /x y\x7f", "\"plain /x y\x7f\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\r\n\t\b\f", "\"\\r\\n\\t\\b\\f\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001F\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {"\xFF", "\"\\uFFFD\""},
      {"\xC3", "\"\\uFFFD\""},
      {"\xC0\x80", "\"\\uFFFD\\uFFFD\""},
      {"\xED\xA0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\""},
      {"\xE2\x82", "\"\\uFFFD\\uFFFD\""},
  };
  for (const Case& row : cases) {
    EXPECT_EQ(json_quote(row.text), row.quoted) << ::testing::PrintToString(row.text);
  }
}

TEST(JsonWriter, SeparatesNestedMembersAndElements) {
  JsonWriter json;
  json.begin_object().key("a").begin_array().value(std::uint64_t{1});
  json.begin_object().end_object().null().end_array();
  json.key("b").boolean(false).key("c").millis(Micros{-1500});
  json.key("d").begin_array().end_array().end_object();
  EXPECT_EQ(json.text(), R"({"a":[1,{},null],"b":false,"c":-1.500,"d":[]})");
}

TEST(SummaryJson, CarriesEveryRecordAndParses) {
  Summary summary;
  summary.control.push_back({Micros{1500}, "ril", kRilReset, true});
  RunRecord run;
  run.index = 1;
  run.outcome = "stage1-rejected";
  run.stage1.reached = true;
  run.stage1.announced = 3;
  run.stage1.checksums = {{0x61, 0x60}};
  run.image.turnarounds = {Micros{300}, Micros{100}, Micros{2000}};
  run.file_size_record = {0x3F, 0xA0, 0x00};
  run.stage2_pause = Micros{20250};
  run.faults = {"chunk withheld"};
  summary.runs.push_back(run);
  summary.violations.push_back({Micros{2000}, 1, "stage1.checksum", "text with \"quotes\"\n"});

  nlohmann::json value = nlohmann::json::parse(summary_json(summary));  // [] on a missing key: null
  EXPECT_EQ(value["control"][0]["code"], "0x03001F88");
  EXPECT_EQ(value["control"][0]["name"], "reset");
  EXPECT_DOUBLE_EQ(value["control"][0]["at_ms"], 1.5);
  nlohmann::json& first = value["runs"][0];
  EXPECT_EQ(first["outcome"], "stage1-rejected");
  EXPECT_EQ(first["stage1"]["checksums"][0]["seen"], 0x61);
  EXPECT_EQ(first["stage1"]["checksums"][0]["computed"], 0x60);
  EXPECT_TRUE(first["stage1"]["turnaround"].is_null());
  EXPECT_EQ(first["image"]["turnaround"]["count"], 3);
  EXPECT_DOUBLE_EQ(first["image"]["turnaround"]["median_ms"], 0.3);
  EXPECT_DOUBLE_EQ(first["image"]["turnaround"]["p99_ms"], 2.0);
  EXPECT_EQ(first["file_size_record"][1], 0xA0);
  EXPECT_DOUBLE_EQ(first["stage2_pause_ms"], 20.25);
  EXPECT_TRUE(first["baud_pause_ms"].is_null());
  EXPECT_EQ(first["faults"][0], "chunk withheld");
  EXPECT_EQ(value["violations"][0]["text"], "text with \"quotes\"\n");
  EXPECT_EQ(value["violations"][0]["run"], 1);
}

}  // namespace
}  // namespace kov02a_sim
