#include "tools/kov02a-sim/pacer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kov02a_sim {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

std::size_t count(const std::vector<Pacer::Batch>& batches) {
  std::size_t total = 0;
  for (const Pacer::Batch& batch : batches) total += batch.bytes.size();
  return total;
}

TEST(Pacer, DeliversNoFasterThanTenBitsPerByte) {
  Pacer pacer(1000);  // 10 ms a byte
  pacer.push(Bytes(10, 0x55), 0ms);
  EXPECT_EQ(count(pacer.take_due(9ms)), 0u);
  EXPECT_EQ(count(pacer.take_due(55ms)), 5u);
  EXPECT_EQ(pacer.next_due(), Micros{60ms});
  EXPECT_EQ(count(pacer.take_due(1s)), 5u);
  EXPECT_TRUE(pacer.empty());
}

TEST(Pacer, IdleLineDoesNotDelayLaterBytes) {
  Pacer pacer(1000);
  pacer.push(Bytes{1}, 0ms);
  pacer.push(Bytes{2}, 500ms);
  EXPECT_EQ(count(pacer.take_due(11ms)), 1u);
  EXPECT_EQ(pacer.next_due(), Micros{510ms});
}

TEST(Pacer, RateRoundsTowardsSlower) {
  Pacer pacer(115200);
  pacer.push(Bytes(1152, 0), 0ms);
  EXPECT_LT(count(pacer.take_due(100ms)), 1152u);
}

TEST(Pacer, UnpacedBatchesKeepTheirArrivalTimes) {
  Pacer pacer(0);
  pacer.push(Bytes{1, 2}, 3ms);
  pacer.push(Bytes{3}, 4ms);
  const std::vector<Pacer::Batch> batches = pacer.take_due(4ms);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].arrival, Micros{3ms});
  EXPECT_THAT(batches[0].bytes, ElementsAre(1, 2));
  EXPECT_THAT(batches[1].bytes, ElementsAre(3));
}

}  // namespace
}  // namespace kov02a_sim
