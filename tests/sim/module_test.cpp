// The module's protocol checker fed scripted bytes and times, as the update tool would send
// them: worked examples byte for byte, and the faults it must report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim_module.h"

namespace kov02a_sim {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(ModuleWorkedExamples, SyncStreamWithoutResetGoesUnanswered) {
  Line tool;
  EXPECT_THAT(tool.play({{{kSync}, 10ms}, {{kSync}, 10ms}, {{kSync}, 10ms}, {{kSync}, 10ms}}), IsEmpty());
  EXPECT_EQ(tool.module.summary().sync_in_normal, 4u);
}

TEST(ModuleWorkedExamples, StagesAndImageOfAbcAreAcceptedByteForByte) {
  Line tool;
  EXPECT_THAT(tool.catch_rom(), ElementsAre(kRomReady));
  EXPECT_EQ(tool.run().sync_seen, 3u);
  EXPECT_THAT(tool.play(kStage1Abc), ElementsAre(kAckDone));
  EXPECT_THAT(tool.play(kStage2Abc), ElementsAre(kAckDone));
  EXPECT_THAT(tool.send({0x50}), ElementsAre('O', 'K', kAckDone));
  EXPECT_THAT(tool.send({0x54}, 101ms), IsEmpty());
  EXPECT_THAT(tool.send({0x3F, 0xA0, 0x00}), ElementsAre(kAckDone, kAckDone, kAckDone));
  EXPECT_THAT(tool.play(kImageAbc), ElementsAre(kAckDone));

  EXPECT_THAT(tool.violation_codes(), IsEmpty());
  EXPECT_EQ(tool.run().outcome, "accepted");
  EXPECT_EQ(tool.module.phase(), Phase::Normal);
  EXPECT_TRUE(tool.module.take_image_ready());
  EXPECT_THAT(tool.module.image(), ElementsAre(0x61, 0x62, 0x63));
  EXPECT_THAT(tool.run().file_size_record, ElementsAre(0x3F, 0xA0, 0x00));
  EXPECT_THAT(tool.send({'A', 'T', '\r'}), ElementsAre('\r', '\n', 'O', 'K', '\r', '\n'));
}

TEST(ModuleWorkedExamples, Stage2Of2500BytesIsAcknowledgedAfterEachFullChunk) {
  Line tool;
  tool.catch_rom();
  tool.play(kStage1Abc);
  const Bytes data = pattern(2500);
  EXPECT_THAT(tool.send({0x09, 0xC4}), IsEmpty());
  EXPECT_THAT(tool.send(Bytes(data.begin(), data.begin() + 1000), 21ms), ElementsAre(kAckChunk));
  EXPECT_THAT(tool.send(Bytes(data.begin() + 1000, data.begin() + 2000), 2ms), ElementsAre(kAckChunk));
  EXPECT_THAT(tool.send(Bytes(data.begin() + 2000, data.end())), IsEmpty());
  EXPECT_THAT(tool.send({xor_all(data)}), ElementsAre(kAckDone));
  EXPECT_THAT(tool.violation_codes(), IsEmpty());
  EXPECT_EQ(tool.run().stage2.full_chunks, 2u);
  EXPECT_THAT(tool.run().stage2.turnarounds, ElementsAre(2ms, 1ms));
}

TEST(ModuleWorkedExamples, ImageOf8000BytesIsAcknowledgedAfterBothChunks) {
  Line tool;
  tool.catch_rom();
  tool.play(kStage1Abc + kStage2Abc + kImageOpening);
  const Bytes image = pattern(8000);
  EXPECT_THAT(tool.send({0x00, 0x1F, 0x40}), IsEmpty());
  EXPECT_THAT(tool.send(Bytes(image.begin(), image.begin() + 4000), 21ms), ElementsAre(kAckChunk));
  tool.module.answers_sent(tool.now + 300us);
  EXPECT_THAT(tool.send(Bytes(image.begin() + 4000, image.end()), 3ms), ElementsAre(kAckChunk));
  EXPECT_THAT(tool.send({parity_xor(image, 0)}), IsEmpty());
  EXPECT_THAT(tool.send({parity_xor(image, 1)}), ElementsAre(kAckDone));
  EXPECT_THAT(tool.violation_codes(), IsEmpty());
  EXPECT_EQ(tool.module.image(), image);
  // Timed from the write of the first 0xAA; the last one is followed by checksums, not a chunk.
  EXPECT_THAT(tool.run().image.turnarounds, ElementsAre(2700us));
}

TEST(ModuleWorkedExamples, EmptyStage2AndEmptyImageAreAccepted) {
  Line tool;
  tool.catch_rom();
  tool.play(kStage1Abc);
  EXPECT_THAT(tool.play(kStage2Empty), ElementsAre(kAckDone));
  tool.play(kImageOpening);
  EXPECT_THAT(tool.play({{{0x00, 0x00, 0x00}}, {{0x00}, 21ms}, {{0x00}}}), ElementsAre(kAckDone));
  EXPECT_THAT(tool.violation_codes(), IsEmpty());
}

struct FaultCase {
  const char* name;
  Script script;
  const char* code;     // the violation expected; empty for none
  const char* outcome;  // of the attempt
};

void PrintTo(const FaultCase& row, std::ostream* out) {
  *out << row.name;
}

class ModuleReportsFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ModuleReportsFaults, AsViolation) {
  const FaultCase& row = GetParam();
  Line tool;
  tool.catch_rom();
  tool.play(Script(row.script.begin(), row.script.end() - 1));
  const Bytes last_reply = tool.send(row.script.back().bytes, row.script.back().gap);
  tool.idle(5s);
  if (std::string(row.code).empty()) {
    EXPECT_THAT(tool.violation_codes(), IsEmpty());
  } else {
    EXPECT_THAT(tool.violation_codes(), Contains(row.code));
  }
  EXPECT_EQ(tool.run().outcome, row.outcome);
  if (std::string(row.outcome).find("rejected") != std::string::npos) {
    EXPECT_THAT(last_reply, Not(Contains(kAckDone))) << "a rejected stage gets no 0xA5";
  }
}

const Script kGoodUpToImage = kStage1Abc + kStage2Abc + kImageOpening;

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleReportsFaults,
    ::testing::Values(
        FaultCase{"pauses_short_within_tolerance",
                  kStage1Abc + Script{{{0x00, 0x03}}, {{0x61, 0x62, 0x63}, 18500us}, {{0x60}}} +
                      kImageOpening + kImageAbc,
                  "", "accepted"},
        FaultCase{"byte_before_pause_read_late",
                  kStage1Abc + Script{{{0x00, 0x03}, 15ms}, {{0x61, 0x62, 0x63}, 6ms}, {{0x60}}} +
                      kImageOpening + kImageAbc,
                  "", "accepted"},
        FaultCase{"stage1_checksum", Script{{{0x03, 0x61, 0x62, 0x63, 0x61}}}, "stage1.checksum",
                  "stage1-rejected"},
        FaultCase{"stage1_longer_than_length", Script{{{0x02, 0x61, 0x62, 0x03, 0x63}}}, "stage1.length",
                  "in-progress"},
        FaultCase{"stage1_zero_length", Script{{{0x00, 0x00}}}, "stage1.length", "stage1-rejected"},
        FaultCase{"stage1_shorter_than_length", Script{{{0x05, 0x61, 0x62, 0x63, 0x60}}}, "stage1.short",
                  "in-progress"},
        FaultCase{"stage2_checksum",
                  kStage1Abc + Script{{{0x00, 0x03}}, {{0x61, 0x62, 0x63}, 21ms}, {{0x61}}},
                  "stage2.checksum", "stage2-rejected"},
        FaultCase{"stage2_no_pause", kStage1Abc + Script{{{0x00, 0x03}}, {{0x61, 0x62, 0x63}, 5ms}, {{0x60}}},
                  "stage2.pause", "in-progress"},
        FaultCase{"stage2_shorter_than_size",
                  kStage1Abc + Script{{{0x00, 0x05}}, {{0x61, 0x62, 0x63}, 21ms}, {{0x60}}}, "stage2.short",
                  "in-progress"},
        FaultCase{"stage2_longer_than_size",
                  kStage1Abc + Script{{{0x00, 0x02}}, {{0x61, 0x62}, 21ms}, {{0x03, 0x63}}}, "stage2.length",
                  "in-progress"},
        FaultCase{"stage2_sent_before_stage1_answer", Script{{{0x03, 0x61, 0x62, 0x63, 0x60, 0x00, 0x03}}},
                  "stage1.length", "in-progress"},
        FaultCase{"image_without_0x50", kStage1Abc + kStage2Abc + Script{{{0x54}}}, "image.order",
                  "in-progress"},
        FaultCase{
            "image_no_pause_after_0x50",
            kStage1Abc + kStage2Abc + Script{{{0x50}}, {{0x54}, 50ms}, {{0x3F, 0xA0, 0x00}}} + kImageAbc,
            "image.pause-baud", "accepted"},
        FaultCase{"image_record_before_answers",
                  kStage1Abc + kStage2Abc +
                      Script{{{0x50}}, {{0x54}, 101ms}, {{0x3F, 0xA0, 0x00, 0x00, 0x00, 0x03}}},
                  "image.record", "in-progress"},
        FaultCase{
            "image_no_pause_after_size",
            kGoodUpToImage + Script{{{0x00, 0x00, 0x03}}, {{0x61, 0x62, 0x63}, 2ms}, {{0x02}}, {{0x62}}},
            "image.pause-size", "accepted"},
        FaultCase{
            "image_odd_checksum",
            kGoodUpToImage + Script{{{0x00, 0x00, 0x03}}, {{0x61, 0x62, 0x63}, 21ms}, {{0x02}}, {{0x63}}},
            "image.checksum", "image-rejected"},
        FaultCase{"image_longer_than_size",
                  kGoodUpToImage + Script{{{0x00, 0x00, 0x02}}, {{0x61, 0x62}, 21ms}, {{0x61, 0x62, 0x63}}},
                  "image.length", "accepted"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleChunks, NextChunkSentWithoutWaitingForAckIsReported) {
  Line tool;
  tool.catch_rom();
  tool.play(kStage1Abc);
  const Bytes data = pattern(1500);
  tool.send({0x05, 0xDC});
  EXPECT_THAT(tool.send(data, 21ms), ElementsAre(kAckChunk));
  EXPECT_THAT(tool.violation_codes(), ElementsAre("stage2.chunk"));
}

TEST(ModuleChunks, ChunkAckWithheldIsNotMistakenForAShortChunk) {
  ModuleOptions options;
  options.faults.add({AckPoint::Chunk, AckFault::Withhold, false});
  Line tool(std::move(options));
  tool.catch_rom();
  tool.play(kStage1Abc);
  const Bytes data = pattern(1500);
  tool.send({0x05, 0xDC});
  EXPECT_THAT(tool.send(Bytes(data.begin(), data.begin() + 1000), 21ms), IsEmpty());
  tool.idle(5s);  // the tool waits for the withheld 0xAA, then carries on
  EXPECT_THAT(tool.send(Bytes(data.begin() + 1000, data.end())), IsEmpty());
  EXPECT_THAT(tool.violation_codes(), IsEmpty());
  EXPECT_THAT(tool.run().faults, ElementsAre("chunk withheld"));
}

}  // namespace
}  // namespace kov02a_sim
