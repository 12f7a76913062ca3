// The bootloader stages and the image transfer on a fake line whose far end answers like the
// module: the bytes and write calls on the wire, the answers awaited, and the traces.
#include <gtest/gtest.h>

#include <functional>

#include "upd_wire.h"
#include "update/modes.h"
#include "update/update.h"

namespace {

using upd::Bytes;
using upd::Wire;

const Bytes kAbc = {'a', 'b', 'c'};

class UpdateStages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenUpdatePort(), 1);
    rig.port().clear_writes();
    SelectUpdateMode(IDM_UPD_FLASH_ONLY);
  }
  void TearDown() override { CloseUpdatePort(); }

  // Runs `stage` while the far end answers at the points of `answers`.
  int Play(const std::vector<upd::Answer>& answers, const std::function<int()>& stage) {
    upd::Responder module(rig.port(), answers);
    int result = stage();
    EXPECT_FALSE(module.fired()) << "the stage waited for an answer that never came";
    EXPECT_EQ(module.overruns(), 0) << "the stage wrote on without awaiting an answer";
    return result;
  }
  // The write calls the line saw, as byte strings.
  std::vector<Bytes> Writes() const {
    std::vector<Bytes> out;
    for (const auto& w : rig.port().writes()) out.push_back(w.bytes);
    return out;
  }

  upd::TraceLog traces;
  upd::Rig rig;
};

// The byte values on the wire are checked as worked examples in the framing suite; here the
// stages' write calls and waits are held against the model of upd_wire.h.
TEST_F(UpdateStages, StageOneSendsOneFrameOfTheFirst255BytesAndTheirXor) {
  for (const Bytes& file : {kAbc, upd::pattern(255), upd::pattern(300)}) {
    rig.put("boot1_v3.bin", file);
    rig.port().clear_writes();
    const Wire wire = upd::stage1_wire(file);
    EXPECT_EQ(Play(wire.answers, SendBootload1), 1) << file.size() << " bytes";
    EXPECT_EQ(Writes(), wire.writes) << file.size() << " bytes";
  }
  EXPECT_EQ(Writes().at(0).size(), 257u);
  EXPECT_EQ(Writes().at(0)[0], 0xFF);
}

TEST_F(UpdateStages, StageOneSendsNothingWithoutItsFileOrItsBytes) {
  EXPECT_EQ(SendBootload1(), 0);
  EXPECT_EQ(traces.count(L"Bootload1_v2.bin open fail "), 1);
  const std::wstring path = kov02::kernel::handset_path((rig.dir() / "boot1_v3.bin").string());
  EXPECT_NE(traces.joined().find(L"open fail " + path + L"!!!!\r\n"), std::wstring::npos) << traces.joined();

  rig.put("boot1_v3.bin", {});
  EXPECT_EQ(SendBootload1(), 0);
  EXPECT_EQ(traces.count(L"BootLoad_v2_BIN : Read File Error!!!"), 1);
  EXPECT_TRUE(rig.port().writes().empty());
}

TEST_F(UpdateStages, StageTwoSendsItsSizeAPauseItsChunksWithAnAckWaitAfterEachFullOneAndItsCheckByte) {
  struct Case {
    Bytes file;
    int fullChunks;
    const wchar_t* lastSection;  // the short chunk's trace, or null
  };
  const Case cases[] = {
      {kAbc, 0, L" The last section sent : 3 chars!!\r\n"},
      {upd::pattern(2500), 2, L" The last section sent : 500 chars!!\r\n"},
      {upd::pattern(2000), 2, nullptr},
      {{}, 0, nullptr},
      {upd::pattern(70000), 70, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.size());
    rig.put("boot2_v3_KOV02A.bin", c.file);
    rig.port().clear_writes();
    const int waitsBefore = traces.count(L"Waiting for char -> AA h");
    const int lastBefore = traces.count(L" The last section sent : ");
    const Wire wire = upd::stage2_wire(c.file);
    EXPECT_EQ(Play(wire.answers, SendBootload2), 1);
    EXPECT_EQ(Writes(), wire.writes);
    const auto calls = rig.port().writes();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_GE(calls[2].at - calls[1].at, std::chrono::milliseconds(20)) << "a pause after the size bytes";
    EXPECT_EQ(traces.count(L"Waiting for char -> AA h") - waitsBefore, c.fullChunks);
    EXPECT_EQ(traces.count(L" The last section sent : ") - lastBefore, c.lastSection ? 1 : 0);
    if (c.lastSection) {
      EXPECT_EQ(traces.count(c.lastSection), 1);
    }
  }
  EXPECT_EQ(Writes().back(), upd::xor_parts(upd::pattern(70000)));
  EXPECT_EQ(traces.count(L"Bootload2 : 11  70  70000 checkByte : "), 1);
}

TEST_F(UpdateStages, EveryChunkStillGoesOutWhenTheModuleSkipsItsChunkAcks) {
  const Bytes file = upd::pattern(3500);
  rig.put("boot2_v3_KOV02A.bin", file);
  Wire wire = upd::stage2_wire(file);
  for (upd::Answer& a : wire.answers)
    if (a.reply == Bytes{0xAA}) a.reply.clear();
  EXPECT_EQ(Play(wire.answers, SendBootload2), 1);
  EXPECT_EQ(Writes(), wire.writes);
}

// The image transfer up to its final answer. The module then answers with a line error instead
// of its acceptance, so the transfer ends with 0 before the closing question.
Wire ImageWireRefusedAtTheEnd(const Bytes& record, const Bytes& image) {
  Wire wire = upd::image_wire(record, image);
  wire.answers.back().reply.clear();
  return wire;
}

const Bytes FLASH_ONLY_RECORD = {0x3F, 0xA0, 0x00};

TEST_F(UpdateStages, ImageGoesOutAsSizeRecordChunksWithAckWaitsAndTwoChecksums) {
  rig.put("file_size.bin", {0x01, 0x02, 0x03});
  for (const Bytes& image : {Bytes{}, kAbc, upd::pattern(8000), upd::pattern(4169728)}) {
    SCOPED_TRACE(image.size());
    rig.put("flash_only.bin", image);
    rig.port().clear_writes();
    const int chunkTraces = traces.count(L" bytes!, Totally write ");
    const Wire wire = ImageWireRefusedAtTheEnd(FLASH_ONLY_RECORD, image);
    EXPECT_EQ(Play(wire.answers, [] { return SendFirmware(nullptr); }), 0);
    EXPECT_TRUE(Writes() == wire.writes) << "the write calls differ from the model's";
    EXPECT_EQ(traces.count(L" bytes!, Totally write ") - chunkTraces,
              static_cast<int>((image.size() + 3999) / 4000));
  }
  EXPECT_EQ(traces.count(L" The last section sent; 1728 chars!!\r\n"), 1);
  EXPECT_EQ(traces.count(L" The last section sent; 3 chars!!\r\n"), 1);
  EXPECT_EQ(traces.count(L" The last section sent; "), 2);
  EXPECT_EQ(traces.count(L"Send firmware....fail"), 4);
  EXPECT_EQ(traces.count(L"File upload complete!! file size 8000 , 1F40 h , Size char 0  1F  40\r\n"), 1);
}

TEST_F(UpdateStages, EepFlashTakesTheRecordFromFileSizeBinPaddedWithZeros) {
  const std::pair<Bytes, Bytes> cases[] = {
      // file_size.bin, the record it gives
      {{0x12, 0x34}, {0x12, 0x34, 0x00}},
      {{0x01, 0x02, 0x03, 0x04}, {0x01, 0x02, 0x03}},
      {{}, {0x00, 0x00, 0x00}},
  };
  SelectUpdateMode(IDM_UPD_EEP_FLASH);
  const Bytes image = upd::pattern(5000);
  rig.put("eep_flash.bin", image);
  for (const auto& [fileSize, record] : cases) {
    rig.put("file_size.bin", fileSize);
    rig.port().clear_writes();
    const Wire wire = ImageWireRefusedAtTheEnd(record, image);
    EXPECT_EQ(Play(wire.answers, [] { return SendFirmware(nullptr); }), 0);
    EXPECT_EQ(Writes(), wire.writes) << fileSize.size() << "-byte file_size.bin";
  }
  EXPECT_EQ(traces.count(L"Write file size from file\r\n"), 3);
}

TEST_F(UpdateStages, ImageTransferEndsAtTheFirstPackageFileThatDoesNotOpen) {
  // Without file_size.bin: 0x50, the memory check, 0x54, and nothing more, in either mode.
  for (WORD command : {IDM_UPD_FLASH_ONLY, IDM_UPD_EEP_FLASH}) {
    SelectUpdateMode(command);
    rig.port().clear_writes();
    EXPECT_EQ(Play({{1, {0xA5}}}, [] { return SendFirmware(nullptr); }), 0);
    EXPECT_EQ(Writes(), (std::vector<Bytes>{{0x50}, {0x54}}));
  }
  EXPECT_EQ(traces.count(L"file_size.bin open fail!!!!\r\n"), 2);

  // Without the image: up to the file-size record.
  rig.put("file_size.bin", {0x3F, 0xA0, 0x00});
  SelectUpdateMode(IDM_UPD_FLASH_ONLY);
  rig.port().clear_writes();
  EXPECT_EQ(Play({{1, {0xA5}}, {5, {0xA5, 0xA5, 0xA5}}}, [] { return SendFirmware(nullptr); }), 0);
  EXPECT_EQ(Writes(), (std::vector<Bytes>{{0x50}, {0x54}, FLASH_ONLY_RECORD}));
  EXPECT_EQ(traces.count(L"download.bin open fail!!!!\r\n"), 1);
}

}  // namespace
