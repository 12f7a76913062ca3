// The bootloader stages and the image transfer on a fake line whose far end answers like the
// module: the bytes and write calls on the wire, the answers awaited, and the traces.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/state.h"
#include "upd_wire.h"
#include "update/modes.h"
#include "update/update.h"
#include "update/update_port.h"

namespace {

using upd::Bytes;
using upd::Wire;

Bytes Text(const char* s) {
  return Bytes(s, s + std::strlen(s));
}

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
    upd::Watchdog watchdog(rig.port(), std::chrono::seconds(60));
    upd::Responder module(rig.port(), answers);
    int result = stage();
    EXPECT_FALSE(watchdog.fired()) << "the stage waited for an answer that never came";
    overruns = module.overruns();
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
  int overruns = 0;
};

TEST_F(UpdateStages, StageOneSendsOneFrameOfTheFirst255BytesAndTheirXor) {
  struct Case {
    Bytes file;
    Bytes firstWrite;  // worked examples; empty: the model's frame alone
  };
  const Case cases[] = {
      {Text("abc"), {0x03, 0x61, 0x62, 0x63, 0x60}},
      {{0x7E}, {0x01, 0x7E, 0x7E}},
      {upd::pattern(255), {}},
      {upd::pattern(300), {}},
  };
  for (const Case& c : cases) {
    rig.put("boot1_v3.bin", c.file);
    rig.port().clear_writes();
    const Wire wire = upd::stage1_wire(c.file);
    EXPECT_EQ(Play(wire.answers, SendBootload1), 1) << c.file.size() << " bytes";
    EXPECT_EQ(Writes(), wire.writes) << c.file.size() << " bytes";
    if (!c.firstWrite.empty()) {
      EXPECT_EQ(Writes().at(0), c.firstWrite);
    }
    EXPECT_EQ(overruns, 0);
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

TEST_F(UpdateStages, AStageFailsWhenALineErrorComesInsteadOfItsAcceptance) {
  rig.put("boot1_v3.bin", Text("abc"));
  rig.put("boot2_v3_KOV02A.bin", upd::pattern(1500));
  EXPECT_EQ(Play({{5, {}}}, SendBootload1), 0);
  rig.port().clear_writes();
  EXPECT_EQ(Play({{1002, {0xAA}}, {1503, {}}}, SendBootload2), 0);
  EXPECT_EQ(rig.port().written().size(), 1503u);
}

TEST_F(UpdateStages, StageTwoSendsItsSizeItsChunksWithAnAckWaitAfterEachFullOneAndItsCheckByte) {
  struct Case {
    Bytes file;
    Bytes size;  // the two size bytes
    int fullChunks;
    const wchar_t* lastSection;  // the short chunk's trace, or null
  };
  const Case cases[] = {
      {Text("abc"), {0x00, 0x03}, 0, L" The last section sent : 3 chars!!\r\n"},
      {upd::pattern(2500), {0x09, 0xC4}, 2, L" The last section sent : 500 chars!!\r\n"},
      {upd::pattern(2000), {0x07, 0xD0}, 2, nullptr},
      {{}, {0x00, 0x00}, 0, nullptr},
      {upd::pattern(70000), {0x11, 0x70}, 70, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.size());
    rig.put("boot2_v3_KOV02A.bin", c.file);
    rig.port().clear_writes();
    const int waitsBefore = traces.count(L"Waiting for char -> AA h");
    const int lastBefore = traces.count(L" The last section sent : ");
    const Wire wire = upd::stage2_wire(c.file);
    EXPECT_EQ(Play(wire.answers, SendBootload2), 1);
    const auto writes = Writes();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[0].size() + writes[1].size(), 2u);
    EXPECT_EQ((Bytes{writes[0][0], writes[1][0]}), c.size);
    EXPECT_EQ(writes, wire.writes);
    EXPECT_EQ(overruns, 0);
    EXPECT_EQ(traces.count(L"Waiting for char -> AA h") - waitsBefore, c.fullChunks);
    EXPECT_EQ(traces.count(L" The last section sent : ") - lastBefore, c.lastSection ? 1 : 0);
    if (c.lastSection) {
      EXPECT_EQ(traces.count(c.lastSection), 1);
    }
  }
  EXPECT_EQ(Writes().back(), upd::xor_parts(upd::pattern(70000)));
  EXPECT_EQ(traces.count(L"Bootload2 : 11  70  70000 checkByte : "), 1);
}

TEST_F(UpdateStages, StageTwoPausesAfterItsSizeBytes) {
  rig.put("boot2_v3_KOV02A.bin", Text("abc"));
  EXPECT_EQ(Play(upd::stage2_wire(Text("abc")).answers, SendBootload2), 1);
  const auto writes = rig.port().writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[3].bytes, Bytes{0x60});
  EXPECT_GE(writes[2].at - writes[1].at, std::chrono::milliseconds(20));
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
  struct Case {
    Bytes image;
    Bytes sizeRecord;
    Bytes checksums;  // worked examples; empty: the model's
    int fullChunks;
  };
  const Case cases[] = {
      {{}, {0x00, 0x00, 0x00}, {0x00, 0x00}, 0},
      {Text("abc"), {0x00, 0x00, 0x03}, {0x02, 0x62}, 0},
      {upd::pattern(8000), {0x00, 0x1F, 0x40}, {}, 2},
      {upd::pattern(4169728), {0x3F, 0xA0, 0x00}, {}, 1042},
  };
  rig.put("file_size.bin", {0x01, 0x02, 0x03});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image.size());
    rig.put("flash_only.bin", c.image);
    rig.port().clear_writes();
    const int chunkTraces = traces.count(L" bytes!, Totally write ");
    const Wire wire = ImageWireRefusedAtTheEnd(FLASH_ONLY_RECORD, c.image);
    EXPECT_EQ(Play(wire.answers, [] { return SendFirmware(nullptr); }), 0);
    const auto writes = Writes();
    ASSERT_GE(writes.size(), 6u);
    EXPECT_EQ(writes[2], FLASH_ONLY_RECORD);
    EXPECT_EQ(writes[3], c.sizeRecord);
    if (!c.checksums.empty()) {
      EXPECT_EQ((Bytes{writes[writes.size() - 2][0], writes.back()[0]}), c.checksums);
    }
    EXPECT_EQ(upd::write_lengths(rig.port().writes()), upd::write_lengths(wire));
    EXPECT_TRUE(rig.port().written() == wire.stream());
    EXPECT_EQ(overruns, 0);
    EXPECT_EQ(traces.count(L" bytes!, Totally write ") - chunkTraces,
              static_cast<int>((c.image.size() + 3999) / 4000));
  }
  EXPECT_EQ(traces.count(L" The last section sent; 1728 chars!!\r\n"), 1);
  EXPECT_EQ(traces.count(L" The last section sent; 3 chars!!\r\n"), 1);
  EXPECT_EQ(traces.count(L" The last section sent; "), 2);
  EXPECT_EQ(traces.count(L"Send firmware....fail"), 4);
  EXPECT_EQ(traces.count(L"File upload complete!! file size 8000 , 1F40 h , Size char 0  1F  40\r\n"), 1);
}

TEST_F(UpdateStages, EepFlashTakesTheRecordFromFileSizeBinPaddedWithZeros) {
  struct Case {
    Bytes fileSize;
    Bytes record;
  };
  const Case cases[] = {
      {{0x12, 0x34}, {0x12, 0x34, 0x00}},
      {{0x01, 0x02, 0x03, 0x04}, {0x01, 0x02, 0x03}},
      {{}, {0x00, 0x00, 0x00}},
  };
  SelectUpdateMode(IDM_UPD_EEP_FLASH);
  const Bytes image = upd::pattern(5000);
  rig.put("eep_flash.bin", image);
  for (const Case& c : cases) {
    rig.put("file_size.bin", c.fileSize);
    rig.port().clear_writes();
    const Wire wire = ImageWireRefusedAtTheEnd(c.record, image);
    EXPECT_EQ(Play(wire.answers, [] { return SendFirmware(nullptr); }), 0);
    EXPECT_EQ(Writes(), wire.writes) << c.fileSize.size() << "-byte file_size.bin";
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
