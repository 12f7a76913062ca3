// The module around the transfer itself: control requests, resets and retries, the boot ROM's
// window, stray sync bytes, noise, acknowledgement faults and leaving the line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_module.h"

namespace kov02a_sim {
namespace {

using namespace std::chrono_literals;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;

const Bytes kFrameAbc = kStage1Abc.front().bytes;

TEST(ModuleControl, RequestsAreRecordedInOrderWithTheirAnswers) {
  ModuleOptions options;
  options.fail_ril = true;
  Line line(std::move(options));
  EXPECT_FALSE(line.control(ControlRequest::Ril, kRilReset));
  line.now += 5ms;
  EXPECT_TRUE(line.control(ControlRequest::Reboot, kHalReboot));
  EXPECT_FALSE(line.control(ControlRequest::Reboot, kRilReset));

  const auto& control = line.module.summary().control;
  ASSERT_EQ(control.size(), 3u);
  EXPECT_EQ(control[0].request, "ril");
  EXPECT_EQ(control[0].code, kRilReset);
  EXPECT_FALSE(control[0].accepted);
  EXPECT_EQ(control[1].request, "reboot");
  EXPECT_TRUE(control[1].accepted);
  EXPECT_LT(control[0].at, control[1].at);
  EXPECT_FALSE(control[2].accepted);
  EXPECT_EQ(line.module.phase(), Phase::Normal) << "a refused reset must not restart the module";
}

TEST(ModuleControl, SuspendAndResumeAreAcceptedWithoutTouchingTheModule) {
  Line line;
  EXPECT_TRUE(line.control(ControlRequest::Ril, kRilSuspend));
  EXPECT_TRUE(line.control(ControlRequest::Ril, kRilResume));
  EXPECT_FALSE(line.control(ControlRequest::Ril, 0x03001F8C));
  EXPECT_EQ(line.module.phase(), Phase::Normal);
}

TEST(ModuleReset, ResetMidTransferRestartsTheAttemptAndNeedsTheSyncStreamAgain) {
  Line line;
  line.catch_rom();
  line.send(kFrameAbc);
  line.send({0x00, 0x05});
  line.control(ControlRequest::Ril, kRilReset);
  EXPECT_TRUE(line.module.take_run_ended());
  EXPECT_EQ(line.module.summary().runs.back().outcome, "restarted");
  EXPECT_THAT(line.send(kFrameAbc), IsEmpty()) << "no frame is taken before the sync stream";
  EXPECT_THAT(line.catch_rom(), ElementsAre(kRomReady));
  EXPECT_THAT(line.send(kFrameAbc), ElementsAre(kAckDone));
  EXPECT_EQ(line.module.summary().runs.size(), 2u);
}

TEST(ModuleReset, RejectedStageLeavesTheModuleSilentUntilTheNextReset) {
  ModuleOptions options;
  options.nak = 0x5F;
  Line line(std::move(options));
  line.catch_rom();
  EXPECT_THAT(line.send({0x03, 0x61, 0x62, 0x63, 0x00}), ElementsAre(0x5F));
  EXPECT_THAT(line.send({'A', 'T', '\r'}), IsEmpty());
  EXPECT_EQ(line.module.summary().runs.back().ignored, 3u);
  EXPECT_THAT(line.catch_rom(), ElementsAre(kRomReady));
}

TEST(ModuleReset, WithoutSyncStreamTheModuleBootsIntoNormalMode) {
  Line line;
  line.control(ControlRequest::Ril, kRilReset);
  line.module.tick(line.now + 500ms);
  EXPECT_EQ(line.module.phase(), Phase::RomSync);
  line.now += 3s;
  line.module.tick(line.now);
  EXPECT_EQ(line.module.phase(), Phase::Normal);
  EXPECT_THAT(line.send({'A', 'T', '\r'}), ElementsAre('\r', '\n', 'O', 'K', '\r', '\n'));
  EXPECT_THAT(line.module.summary().runs, IsEmpty());
}

TEST(ModuleSync, OtherBytesBreakTheSyncStream) {
  Line line;
  line.control(ControlRequest::Ril, kRilReset);
  EXPECT_THAT(line.send({kSync, kSync, 0x00, kSync, kSync}), IsEmpty());
  EXPECT_THAT(line.send({kSync}), ElementsAre(kRomReady));
}

TEST(ModuleSync, NoiseBytesPrecedeRomReadyAndAreNeverRomReady) {
  ModuleOptions options;
  options.noise = 200;
  Line line(std::move(options));
  const Bytes replies = line.catch_rom();
  ASSERT_EQ(replies.size(), 201u);
  EXPECT_EQ(replies.back(), kRomReady);
  EXPECT_THAT(Bytes(replies.begin(), replies.end() - 1), Each(Ne(kRomReady)));
}

// A babbling module answers no sync stream and sends noise on every tick, for good; a reset
// starts the noise again.
TEST(ModuleSync, ABabblingModuleSendsNoiseAfterEveryResetAndNeverRomReady) {
  ModuleOptions options;
  options.babble = true;
  Line line(std::move(options));
  line.control(ControlRequest::Ril, kRilReset);
  EXPECT_THAT(line.send(Bytes(20, kSync), 10ms), IsEmpty());
  line.now += 10s;
  const Bytes noise = line.module.tick(line.now);
  EXPECT_EQ(noise.size(), 2002u);  // every 5 ms from the reset, 10.01 s ago
  EXPECT_THAT(noise, Each(Ne(kRomReady)));
  EXPECT_EQ(line.module.phase(), Phase::RomSync);
  EXPECT_EQ(line.module.next_deadline(), line.now + 5ms);
}

// A late 0xA0 comes once in the middle of a sync stream in normal mode, and again after a reset.
TEST(ModuleSync, ALateRomReadyAnswersTheSyncStreamInNormalModeOnceAfterEachReset) {
  ModuleOptions options;
  options.late_answer = true;
  Line line(std::move(options));
  EXPECT_THAT(line.send(Bytes(9, kSync)), IsEmpty());
  EXPECT_THAT(line.send({kSync}), ElementsAre(kRomReady));
  EXPECT_THAT(line.send(Bytes(30, kSync)), IsEmpty());
  line.control(ControlRequest::Ril, kRilReset);
  line.idle(3s);  // no stream after the reset: back to normal mode
  EXPECT_THAT(line.send(Bytes(10, kSync)), ElementsAre(kRomReady));
  EXPECT_THAT(line.catch_rom(), ElementsAre(kRomReady)) << "the boot ROM itself still answers";
}

// A sync byte written by the tool's caster just before it stopped may still reach the
// module after 0xA0, right before the stage-1 frame, at once or after the tool's long wait; a
// loaded tool may leave several.
TEST(ModuleSync, StraySyncBeforeTheFrameIsSkipped) {
  const struct {
    Bytes strays;
    Micros gap;
  } rows[] = {{{kSync}, 15ms}, {{kSync}, 200us}, {{kSync}, 3s}, {{kSync, kSync, kSync}, 15ms}};
  for (const auto& [strays, gap] : rows) {
    Line line;
    line.catch_rom();
    EXPECT_THAT(line.send(strays, 2ms), IsEmpty());
    line.module.tick(line.now + gap);  // a slow frame after a stray is not a short frame
    EXPECT_THAT(line.send(kFrameAbc, gap), ElementsAre(kAckDone)) << "gap " << gap.count() << " us";
    EXPECT_EQ(line.run().stray_sync, strays.size());
    EXPECT_THAT(line.module.summary().violations, IsEmpty());
  }
}

// A frame of 85 bytes starts with a byte that looks like a stray sync; a late reader takes a
// real stray sync and a 200-byte frame in one read: the stray goes, the frame is taken whole.
TEST(ModuleSync, AStraySyncIsToldFromAFrameStartingWithTheSameByte) {
  struct Case {
    Bytes before;
    std::size_t size;
    std::size_t strays;
  };
  for (const Case& row : {Case{{}, 0x55, 0}, Case{{kSync}, 200, 1}}) {
    Line line;
    line.catch_rom();
    Bytes bytes = row.before;
    const Bytes frame = stage1_frame(pattern(row.size, 7));
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    EXPECT_THAT(line.send(bytes), ElementsAre(kAckDone)) << row.size;
    EXPECT_EQ(line.run().stage1.received, row.size);
    EXPECT_EQ(line.run().stray_sync, row.strays);
  }
}

TEST(ModuleAckFaults, OnceFaultHitsOnlyTheFirstAttempt) {
  ModuleOptions options;
  options.faults.add({AckPoint::Stage1, AckFault::Withhold, false});
  Line line(std::move(options));
  line.catch_rom();
  EXPECT_THAT(line.send(kFrameAbc), IsEmpty());
  for (int i = 0; i < 100; ++i) line.send({kSync}, 10ms);  // the tool casts again
  line.catch_rom();
  EXPECT_THAT(line.send(kFrameAbc), ElementsAre(kAckDone));
  EXPECT_THAT(line.module.summary().runs[0].faults, ElementsAre("stage1 withheld"));
  EXPECT_THAT(line.module.summary().runs[1].faults, IsEmpty());
  EXPECT_THAT(line.module.summary().violations, IsEmpty());
}

TEST(ModuleAckFaults, AlwaysWrongAnswerReplacesEveryAcknowledgement) {
  ModuleOptions options;
  options.faults.add({AckPoint::MemCheck, AckFault::Wrong, true});
  options.faults.add({AckPoint::Record, AckFault::Wrong, true});
  options.wrong_byte = 0x11;
  Line line(std::move(options));
  line.catch_rom();
  line.play(kStage1Abc + kStage2Empty);
  EXPECT_THAT(line.send({0x50}), ElementsAre('O', 'K', 0x11));
  line.send({0x54}, 101ms);
  EXPECT_THAT(line.send({0x3F, 0xA0, 0x00}), ElementsAre(0x11, 0x11, 0x11));
}

TEST(ModuleDrop, LeavesTheLineAfterTheGivenImageBytesOnce) {
  ModuleOptions options;
  options.drop_after = 10;
  Line line(std::move(options));
  line.catch_rom();
  line.play(kStage1Abc + kStage2Empty + kImageOpening);
  line.send({0x00, 0x00, 0x20});
  EXPECT_THAT(line.send(Bytes(32, 0x01), 21ms), IsEmpty());
  EXPECT_TRUE(line.module.take_drop_request());
  const RunRecord& run = line.module.summary().runs.back();
  EXPECT_EQ(run.outcome, "dropped");
  EXPECT_EQ(run.image.received, 10u);
  EXPECT_EQ(line.module.phase(), Phase::Normal);
  EXPECT_FALSE(line.module.take_drop_request());
}

}  // namespace
}  // namespace kov02a_sim
