// The update thread against a fake line played by the test as the module: the boot-ROM
// handshake, the retry cycle and its two resume orders, the closing, and a line that goes away.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "upd_rig.h"
#include "update/modes.h"
#include "update/update.h"

namespace {

using namespace std::chrono_literals;
using upd::Bytes;
using Write = kov02::serial::FakePort::Write;

const std::string RESET = "ril 0x03001F88";

class UpdateDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.put("boot1_v3.bin", {0x61, 0x62, 0x63});
    rig.put("boot2_v3_KOV02A.bin", {0x61, 0x62, 0x63});
    rig.put("flash_only.bin", upd::pattern(100));
    SelectUpdateMode(IDM_UPD_FLASH_ONLY);
  }
  void TearDown() override {
    if (thread_ != nullptr) {
      rig.port().hang_up();
      EXPECT_TRUE(Ended(20s)) << "the update thread did not end";
      CloseHandle(thread_);
    }
  }

  void Start() { thread_ = CreateThread(nullptr, 0, UpdateThread, nullptr, 0, nullptr); }
  // Waits until the update thread has ended; its exit code is then in exitCode.
  bool Ended(std::chrono::milliseconds limit = 20s) {
    return upd::eventually([&] { return GetExitCodeThread(thread_, &exitCode) && exitCode != STILL_ACTIVE; },
                           limit);
  }
  bool Resets(int n) {
    return upd::eventually([&] { return rig.count_requests(RESET) >= n; }, 20s);
  }
  // Waits for a write call at index `from` or later that `match` accepts; its index, or -1.
  int AwaitWrite(std::size_t from, const std::function<bool(const Write&)>& match) {
    int found = -1;
    upd::eventually(
        [&] {
          auto writes = rig.port().writes();
          for (std::size_t i = from; i < writes.size(); ++i)
            if (match(writes[i])) return found = static_cast<int>(i), true;
          return false;
        },
        20s);
    return found;
  }
  // Plays the boot ROM after the n-th reset: on the next sync byte, `noise` and then 0xA0.
  // Returns the index of the write call of that sync byte.
  int AnswerReset(int n, Bytes noise = {}) {
    if (!Resets(n)) return -1;
    int sync = AwaitWrite(rig.port().writes().size(), [](const Write& w) { return w.bytes == Bytes{0x55}; });
    noise.push_back(0xA0);
    rig.port().inject(noise);
    return sync;
  }
  // The stage-1 frame: the first write call of two bytes or more from `from` on.
  int AwaitFrame(std::size_t from) {
    return AwaitWrite(from, [](const Write& w) { return w.bytes.size() >= 2; });
  }
  // The first sync byte written at `from` or later, or null.
  std::optional<Write> SyncAfter(std::size_t from) {
    int i = AwaitWrite(from, [](const Write& w) { return w.bytes == Bytes{0x55}; });
    if (i < 0) return std::nullopt;
    return rig.port().writes()[i];
  }
  // Runs to the end of stage 2: 0xA0, stage 1 ("abc") accepted, stage 2 ("abc": four write
  // calls) sent. Returns the index of its last write call (the check byte), or -1.
  int ReachStageTwoEnd() {
    int frame = AwaitFrame(AnswerReset(1));
    if (frame < 0) return -1;
    rig.port().inject({0xA5});
    return AwaitWrite(frame + 4, [](const Write&) { return true; });
  }

  upd::TraceLog traces;
  upd::Rig rig;
  HANDLE thread_ = nullptr;
  DWORD exitCode = 0;
};

TEST_F(UpdateDriver, AnEmptyStageOneFileRepeatsTheWholeCycleWithANewReset) {
  rig.put("boot1_v3.bin", {});
  Start();
  for (int cycle = 1; cycle <= 3; ++cycle) ASSERT_GE(AnswerReset(cycle), 0) << "cycle " << cycle;
  // The failure line comes after the read error's: wait for the last one itself.
  ASSERT_TRUE(traces.wait_for(L" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n", 3));
  EXPECT_EQ(traces.count(L"BootLoad_v2_BIN : Read File Error!!!"), 3);
  EXPECT_GE(traces.count(L"!Cast 55h!\r\n"), 3);
  EXPECT_EQ(traces.count(L"Sending"), 0);
}

TEST_F(UpdateDriver, NoiseBeforeTheBootRomAnswerIsTracedAndDropped) {
  Start();
  int sync = AnswerReset(1, {0x12, 0x34});
  ASSERT_GE(AwaitFrame(sync), 0);
  ASSERT_TRUE(traces.wait_for(L" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n"));
  EXPECT_EQ(traces.count(L"A byte got from KOV02A : "), 3);
  const std::wregex inOrder(LR"(, 12 h\r\n[\s\S]*, 34 h\r\n[\s\S]*, A0 h\r\n[\s\S]* Get A0h)");
  EXPECT_TRUE(std::regex_search(traces.joined(), inOrder)) << traces.joined();
  EXPECT_EQ(rig.count_requests(RESET), 1);
  EXPECT_EQ(rig.port().writes()[AwaitFrame(sync)].bytes, (Bytes{0x03, 0x61, 0x62, 0x63, 0x60}));
}

TEST_F(UpdateDriver, AFailedStageOneResumesCastingOnlyAfterItsPause) {
  Start();
  int frame = AwaitFrame(AnswerReset(1));
  ASSERT_GE(frame, 0);
  rig.port().inject_line_error(CE_FRAME);
  ASSERT_TRUE(traces.wait_for(L" BootLoad1 upload fail!!"));
  const auto failed = traces.find(L" BootLoad1 upload fail!!")->at;
  auto sync = SyncAfter(frame);
  ASSERT_TRUE(sync);
  EXPECT_GE(sync->at - failed, 900ms);
  ASSERT_TRUE(Resets(2));
  EXPECT_EQ(traces.count(L"BootLoad1 upload succeed"), 0);
}

TEST_F(UpdateDriver, AFailedStageTwoResumesCastingBeforeItsPause) {
  Start();
  int check = ReachStageTwoEnd();
  ASSERT_GE(check, 0);
  rig.port().inject_line_error(CE_FRAME);
  ASSERT_TRUE(traces.wait_for(L"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n"));
  auto sync = SyncAfter(check);
  ASSERT_TRUE(sync);
  ASSERT_TRUE(traces.wait_for(L"!Cast 55h!\r\n", 2));
  const auto nextCycle = traces.find(L"!Cast 55h!\r\n", 1)->at;
  EXPECT_LT(sync->at, nextCycle);
  EXPECT_GE(nextCycle - traces.find(L"BootLoad2_v2_bin upload fail")->at, 900ms);
  ASSERT_TRUE(Resets(2));
}

TEST_F(UpdateDriver, APortLostDuringAStageEndsTheRunWithoutANewCycle) {
  Start();
  ASSERT_GE(AwaitFrame(AnswerReset(1)), 0);
  rig.port().hang_up();
  ASSERT_TRUE(Ended());
  EXPECT_EQ(traces.count(L" BootLoad1 upload fail!!"), 1);
  EXPECT_EQ(traces.count(L" Communication Port lost!!"), 1);
  EXPECT_EQ(traces.count(L"!Cast 55h!\r\n"), 1);
  // Ended the way every run ends: port closed, caster ended, two closing lines.
  EXPECT_EQ(traces.count(L" Communication Port Closed!!\r\n"), 2);
  EXPECT_FALSE(rig.port().is_open());
  EXPECT_EQ(g_hCastThread.load(), INVALID_HANDLE_VALUE);
}

TEST_F(UpdateDriver, APortThatDoesNotOpenEndsTheThreadWithoutCasting) {
  kov02::registry::clear();  // COM1: is not there
  Start();
  ASSERT_TRUE(Ended());
  EXPECT_EQ(exitCode, 1u);
  EXPECT_EQ(traces.count(L"Open com port failed!!\r\n"), 1);
  EXPECT_EQ(traces.count(L"!Cast 55h!"), 0);
  EXPECT_TRUE(rig.requests().empty());
}

}  // namespace
