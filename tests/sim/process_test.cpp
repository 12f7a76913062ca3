// The built simulator as the update tool meets it: a pty behind a link, the control socket
// reached through the ctl subcommand, and the summary it writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "json_reader.h"
#include "sim_process.hpp"

namespace sim_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr std::uint8_t kSync = 0x55, kRomReady = 0xA0, kAckDone = 0xA5, kAckChunk = 0xAA;

Bytes pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * seed + 1);
  return bytes;
}

std::uint8_t xor_every_other(const Bytes& bytes, std::size_t first) {
  std::uint8_t sum = 0;
  for (std::size_t i = first; i < bytes.size(); i += 2) sum ^= bytes[i];
  return sum;
}

// The update tool's side of an update, written out by hand.
class UpdateDriver {
 public:
  UpdateDriver(Port& port, std::string control) : port_(port), control_(std::move(control)) {}

  // Resets the module through the RIL hook and casts 0x55 until 0xA0; returns the bytes
  // that came before 0xA0.
  Bytes catch_rom() {
    EXPECT_EQ(run_sim({"ctl", "--control", control_, "ril", "0x03001F88"}).status, 0);
    Bytes before;
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
      port_.write_bytes({kSync});
      for (std::uint8_t byte : port_.read_bytes(64, 10ms)) {
        if (byte == kRomReady) return before;
        before.push_back(byte);
      }
    }
    ADD_FAILURE() << "no 0xA0";
    return before;
  }

  void stage1(const Bytes& data) {
    Bytes frame{static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(xor_every_other(data, 0) ^ xor_every_other(data, 1));
    port_.write_bytes(frame);
    EXPECT_THAT(port_.read_bytes(1), ElementsAre(kAckDone));
  }

  void stage2(const Bytes& data) {
    port_.write_bytes({static_cast<std::uint8_t>(data.size() >> 8)});
    port_.write_bytes({static_cast<std::uint8_t>(data.size())});
    std::this_thread::sleep_for(30ms);
    send_chunks(data, 1000);
    port_.write_bytes({static_cast<std::uint8_t>(xor_every_other(data, 0) ^ xor_every_other(data, 1))});
    EXPECT_THAT(port_.read_bytes(1), ElementsAre(kAckDone));
  }

  void open_image() {
    port_.write_bytes({0x50});
    std::this_thread::sleep_for(120ms);
    EXPECT_THAT(port_.read_bytes(3), ElementsAre('O', 'K', kAckDone));
    port_.write_bytes({0x54});
    port_.write_bytes({0x3F, 0xA0, 0x00});
    EXPECT_THAT(port_.read_bytes(3), ElementsAre(kAckDone, kAckDone, kAckDone));
  }

  void image_size(std::size_t size) {
    port_.write_bytes({static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 8),
                       static_cast<std::uint8_t>(size)});
    std::this_thread::sleep_for(30ms);
  }

  void image(const Bytes& data) {
    image_size(data.size());
    send_chunks(data, 4000);
    port_.write_bytes({xor_every_other(data, 0)});
    port_.write_bytes({xor_every_other(data, 1)});
    EXPECT_THAT(port_.read_bytes(1), ElementsAre(kAckDone));
  }

 private:
  void send_chunks(const Bytes& data, std::size_t chunk) {
    for (std::size_t offset = 0; offset < data.size(); offset += chunk) {
      const std::size_t size = std::min(chunk, data.size() - offset);
      port_.write_bytes(Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                              data.begin() + static_cast<std::ptrdiff_t>(offset + size)));
      if (size == chunk) {
        EXPECT_THAT(port_.read_bytes(1), ElementsAre(kAckChunk));
      }
    }
  }

  Port& port_;
  std::string control_;
};

// Unpaced, and paced at the tool's rate, where pauses and acknowledgements must still be
// measured right.
class SimulatorUpdate : public ::testing::TestWithParam<const char*> {};

TEST_P(SimulatorUpdate, FullUpdateOverItsPtyIsAcceptedSavedAndSummarised) {
  TempDir dir;
  SimProcess sim({"--link", dir / "com1", "--control", dir / "ctl", "--summary-file", dir / "summary.json",
                  "--save-image", dir / "image.bin", "--noise", "4", "--baud", GetParam()});
  ASSERT_TRUE(sim.wait_for_line("ready"));
  Port port(dir / "com1");
  port.write_bytes({'A', 'T', '\r'});
  EXPECT_THAT(port.read_bytes(6), ElementsAre('\r', '\n', 'O', 'K', '\r', '\n'));

  UpdateDriver tool(port, dir / "ctl");
  EXPECT_EQ(tool.catch_rom().size(), 4u) << "the noise bytes come before 0xA0";
  const Bytes stage2 = pattern(1500, 7), image = pattern(4100, 13);
  ASSERT_NO_FATAL_FAILURE(tool.stage1(pattern(200, 3)));
  ASSERT_NO_FATAL_FAILURE(tool.stage2(stage2));
  ASSERT_NO_FATAL_FAILURE(tool.open_image());
  ASSERT_NO_FATAL_FAILURE(tool.image(image));
  port.write_bytes({'A', 'T', '\r'});
  EXPECT_EQ(port.read_bytes(6).size(), 6u) << "back in normal mode after the image";
  EXPECT_EQ(run_sim({"ctl", "--control", dir / "ctl", "ril", "0x03001F88"}).status, 0);
  EXPECT_EQ(run_sim({"ctl", "--control", dir / "ctl", "reboot", "0x0101003C"}).status, 0);

  const json_reader::Value summary = json_reader::parse(read_text_file(dir / "summary.json"));
  const json_reader::Value& run = summary["runs"][0];
  EXPECT_EQ(run["outcome"].str(), "accepted");
  EXPECT_EQ(run["stage1"]["received"].number(), 200);
  EXPECT_EQ(run["stage2"]["announced"].number(), 1500);
  EXPECT_EQ(run["stage2"]["full_chunks"].number(), 1);
  EXPECT_EQ(run["image"]["received"].number(), 4100);
  EXPECT_EQ(run["image"]["checksums"][1]["seen"].number(), xor_every_other(image, 1));
  EXPECT_EQ(run["noise_sent"].number(), 4);
  EXPECT_TRUE(summary["violations"].array().empty()) << read_text_file(dir / "summary.json");
  const json_reader::Array& control = summary["control"].array();
  ASSERT_EQ(control.size(), 3u);
  EXPECT_EQ(control[1]["name"].str(), "reset");
  EXPECT_EQ(control[2]["name"].str(), "reboot");
  const std::string saved = read_text_file(dir / "image.bin");
  EXPECT_THAT(Bytes(saved.begin(), saved.end()), ElementsAreArray(image));

  EXPECT_EQ(run_sim({"ctl", "--control", dir / "ctl", "quit"}).status, 0);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "com1")));
  EXPECT_FALSE(std::filesystem::exists(dir / "ctl"));
}

INSTANTIATE_TEST_SUITE_P(Baud, SimulatorUpdate, ::testing::Values("0", "115200"));

TEST(SimulatorProcess, CtlReportsAcceptanceRefusalAndAbsence) {
  TempDir dir;
  SimProcess sim({"--control", dir / "ctl", "--fail-ril"});
  ASSERT_TRUE(sim.wait_for_line("ready"));
  const std::string control = dir / "ctl";
  EXPECT_EQ(run_sim({"ctl", "--control", control, "ril", "0x03001F80"}).status, 1);
  EXPECT_EQ(run_sim({"ctl", "--control", control, "reboot", "0x0101003C"}).status, 0);
  EXPECT_EQ(run_sim({"ctl", "--control", control, "reboot", "0x12345678"}).status, 1);

  const ProgramResult summary = run_sim({"ctl", "--control", control, "summary", "--json"});
  ASSERT_EQ(summary.status, 0);
  const json_reader::Array requests = json_reader::parse(summary.output)["control"].array();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0]["code"].str(), "0x03001F80");
  EXPECT_FALSE(requests[0]["accepted"].boolean());
  EXPECT_TRUE(requests[1]["accepted"].boolean());
  EXPECT_FALSE(requests[2]["accepted"].boolean());

  EXPECT_EQ(run_sim({"ctl", "--control", control, "quit"}).status, 0);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_EQ(run_sim({"ctl", "--control", control, "summary"}).status, 2);
}

TEST(SimulatorProcess, DroppedModuleHangsUpThePortAndComesBackOnANewPty) {
  TempDir dir;
  SimProcess sim({"--link", dir / "com1", "--control", dir / "ctl", "--drop-after", "100"});
  ASSERT_TRUE(sim.wait_for_line("ready"));
  {
    Port port(dir / "com1");
    UpdateDriver tool(port, dir / "ctl");
    tool.catch_rom();
    ASSERT_NO_FATAL_FAILURE(tool.stage1(pattern(10, 3)));
    ASSERT_NO_FATAL_FAILURE(tool.stage2(pattern(10, 5)));
    ASSERT_NO_FATAL_FAILURE(tool.open_image());
    tool.image_size(4000);
    port.write_bytes(pattern(4000, 11));
    EXPECT_TRUE(port.hung_up(5s));
  }
  ASSERT_TRUE(sim.wait_for_line("module off the line"));
  EXPECT_TRUE(std::filesystem::exists(dir / "com1")) << "the link must not dangle while the module is away";
  bool answered = false;
  for (const auto deadline = Clock::now() + 10s; !answered && Clock::now() < deadline;) {
    std::this_thread::sleep_for(100ms);
    try {
      Port port(dir / "com1");
      port.write_bytes({'A', 'T', '\r'});
      answered = port.read_bytes(6, 1s).size() == 6;
    } catch (const std::runtime_error&) {
      // the link still points at the old pty
    }
  }
  EXPECT_TRUE(answered) << sim.output();
  const ProgramResult summary = run_sim({"ctl", "--control", dir / "ctl", "summary", "--json"});
  EXPECT_EQ(json_reader::parse(summary.output)["runs"][0]["outcome"].str(), "dropped");
  sim.terminate();
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "com1")));
}

// A serial device given with --tty; a pty slave stands in for it, its master for the tool.
TEST(SimulatorProcess, ModuleOnAGivenTtyAnswersAtCommands) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  SimProcess sim({"--tty", ptsname(master)});
  ASSERT_TRUE(sim.wait_for_line("ready"));
  ASSERT_EQ(write(master, "AT\r", 3), 3);
  std::string reply;
  for (const auto deadline = Clock::now() + 5s; reply.size() < 6 && Clock::now() < deadline;) {
    pollfd entry{master, POLLIN, 0};
    char buffer[16];
    if (poll(&entry, 1, 100) == 1)
      reply.append(buffer, static_cast<std::size_t>(read(master, buffer, sizeof buffer)));
  }
  EXPECT_EQ(reply, "\r\nOK\r\n");
  sim.terminate();
  EXPECT_EQ(sim.wait_exit(), 0);
  close(master);
}

}  // namespace
}  // namespace sim_test
