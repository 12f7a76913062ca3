#include "tools/kov02a-sim/faults.hpp"

#include <gtest/gtest.h>

namespace kov02a_sim {
namespace {

TEST(ParseFault, ReadsPointAndRepetition) {
  struct Case {
    const char* text;
    AckPoint point;
    bool always;
  };
  const Case cases[] = {
      {"stage1", AckPoint::Stage1, false},           {"stage2:once", AckPoint::Stage2, false},
      {"image:always", AckPoint::Image, true},       {"chunk", AckPoint::Chunk, false},
      {"memcheck:always", AckPoint::MemCheck, true}, {"record", AckPoint::Record, false},
  };
  for (const Case& row : cases) {
    std::string error;
    const auto rule = parse_fault(row.text, AckFault::Wrong, error);
    ASSERT_TRUE(rule) << row.text << ": " << error;
    EXPECT_EQ(rule->point, row.point) << row.text;
    EXPECT_EQ(rule->always, row.always) << row.text;
    EXPECT_EQ(rule->fault, AckFault::Wrong);
  }
}

TEST(ParseFault, RejectsUnknownTextsWithAReason) {
  for (const char* text : {"", "stage3", "chunk:twice", "Stage1", "image:", ":always"}) {
    std::string error;
    EXPECT_FALSE(parse_fault(text, AckFault::Withhold, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(FaultPlan, OnceRulesAreUsedUpAlwaysRulesStay) {
  FaultPlan plan;
  plan.add({AckPoint::Chunk, AckFault::Withhold, false});
  plan.add({AckPoint::Chunk, AckFault::Wrong, true});
  plan.add({AckPoint::Image, AckFault::Withhold, false});
  EXPECT_EQ(plan.take(AckPoint::Chunk), AckFault::Withhold);
  EXPECT_EQ(plan.take(AckPoint::Chunk), AckFault::Wrong);
  EXPECT_EQ(plan.take(AckPoint::Chunk), AckFault::Wrong);
  EXPECT_EQ(plan.take(AckPoint::Stage1), AckFault::None);
  EXPECT_EQ(plan.take(AckPoint::Image), AckFault::Withhold);
  EXPECT_EQ(plan.take(AckPoint::Image), AckFault::None);
}

}  // namespace
}  // namespace kov02a_sim
