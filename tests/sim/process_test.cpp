// The built simulator as the update tool meets it: a pty behind a link, the control socket
// reached through the ctl subcommand, and the summary it writes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "child_process.h"
#include "json_reader.h"
#include "sim_module.h"
#include "temp_dir.h"

namespace kov02a_sim {
namespace {

using namespace test_support;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Clock = std::chrono::steady_clock;

// The simulator program with `args`.
Spawn sim_command(std::vector<std::string> args) {
  Spawn spawn;
  spawn.argv = std::move(args);
  spawn.argv.insert(spawn.argv.begin(), KOV02A_SIM_PATH);
  return spawn;
}

struct ProgramResult {
  int status = -1;  // exit status; -1 when it did not end in time
  std::string output;
};

// Runs the simulator program with `args` to its end.
ProgramResult run_sim(const std::vector<std::string>& args) {
  Child sim(sim_command(args));
  const int status = sim.wait_exit().value_or(-1);
  return {status, sim.transcript()};
}

// The tool's end of the module's line, opened the way the tool opens it.
class Port {
 public:
  explicit Port(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("open " + path);
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~Port() { close(fd_); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Writes all bytes; false when the line hangs up or stays full for seconds.
  bool write_bytes(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + 10s;
    while (done < bytes.size() && Clock::now() < deadline) {
      const ssize_t count = write(fd_, bytes.data() + done, bytes.size() - done);
      if (count > 0) {
        done += static_cast<std::size_t>(count);
      } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else {
        wait_for(POLLOUT, 100ms);
      }
    }
    return done == bytes.size();
  }

  // Up to `count` bytes, fewer when the line stays quiet until the time-out.
  Bytes read_bytes(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    Bytes bytes;
    const auto deadline = Clock::now() + timeout;
    while (bytes.size() < count && Clock::now() < deadline) {
      std::uint8_t byte;
      if (read(fd_, &byte, 1) == 1) {
        bytes.push_back(byte);
      } else {
        wait_for(POLLIN, 10ms);
      }
    }
    return bytes;
  }

  // True once the far end has hung up.
  bool hung_up(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      std::uint8_t byte;
      const ssize_t count = read(fd_, &byte, 1);
      if (count == 0 || (count < 0 && errno == EIO)) return true;
      if (wait_for(POLLIN, 10ms) & POLLHUP) return true;
    }
    return false;
  }

 private:
  short wait_for(short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd_, events, 0};
    poll(&entry, 1, static_cast<int>(timeout.count()));
    return entry.revents;
  }

  int fd_;
};

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
    frame.push_back(parity_xor(data, 0) ^ parity_xor(data, 1));
    port_.write_bytes(frame);
    EXPECT_THAT(port_.read_bytes(1), ElementsAre(kAckDone));
  }

  void stage2(const Bytes& data) {
    port_.write_bytes({static_cast<std::uint8_t>(data.size() >> 8)});
    port_.write_bytes({static_cast<std::uint8_t>(data.size())});
    std::this_thread::sleep_for(30ms);
    send_chunks(data, 1000);
    port_.write_bytes({static_cast<std::uint8_t>(parity_xor(data, 0) ^ parity_xor(data, 1))});
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
    port_.write_bytes({parity_xor(data, 0)});
    port_.write_bytes({parity_xor(data, 1)});
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
  Child sim(
      sim_command({"--link", dir / "com1", "--control", dir / "ctl", "--summary-file", dir / "summary.json",
                   "--save-image", dir / "image.bin", "--noise", "4", "--baud", GetParam()}));
  ASSERT_TRUE(sim.wait_for("ready"));
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

  const json_reader::Value summary = json_reader::parse(read_file(dir / "summary.json"));
  const json_reader::Value& run = summary["runs"][0];
  EXPECT_EQ(run["outcome"].str(), "accepted");
  EXPECT_EQ(run["stage1"]["received"].number(), 200);
  EXPECT_EQ(run["stage2"]["announced"].number(), 1500);
  EXPECT_EQ(run["stage2"]["full_chunks"].number(), 1);
  EXPECT_EQ(run["image"]["received"].number(), 4100);
  EXPECT_EQ(run["image"]["checksums"][1]["seen"].number(), parity_xor(image, 1));
  EXPECT_EQ(run["noise_sent"].number(), 4);
  EXPECT_TRUE(summary["violations"].array().empty()) << read_file(dir / "summary.json");
  const json_reader::Array& control = summary["control"].array();
  ASSERT_EQ(control.size(), 3u);
  EXPECT_EQ(control[1]["name"].str(), "reset");
  EXPECT_EQ(control[2]["name"].str(), "reboot");
  const std::string saved = read_file(dir / "image.bin");
  EXPECT_THAT(Bytes(saved.begin(), saved.end()), ElementsAreArray(image));

  EXPECT_EQ(run_sim({"ctl", "--control", dir / "ctl", "quit"}).status, 0);
  EXPECT_EQ(sim.wait_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "com1")));
  EXPECT_FALSE(std::filesystem::exists(dir / "ctl"));
}

INSTANTIATE_TEST_SUITE_P(Baud, SimulatorUpdate, ::testing::Values("0", "115200"));

TEST(SimulatorProcess, CtlReportsAcceptanceRefusalAndAbsence) {
  TempDir dir;
  Child sim(sim_command({"--control", dir / "ctl", "--fail-ril"}));
  ASSERT_TRUE(sim.wait_for("ready"));
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
  Child sim(sim_command({"--link", dir / "com1", "--control", dir / "ctl", "--drop-after", "100"}));
  ASSERT_TRUE(sim.wait_for("ready"));
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
  ASSERT_TRUE(sim.wait_for("module off the line"));
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
  EXPECT_TRUE(answered) << sim.transcript();
  const ProgramResult summary = run_sim({"ctl", "--control", dir / "ctl", "summary", "--json"});
  EXPECT_EQ(json_reader::parse(summary.output)["runs"][0]["outcome"].str(), "dropped");
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "com1")));
}

// A serial device given with --tty; a pty slave stands in for it, its master for the tool.
TEST(SimulatorProcess, ModuleOnAGivenTtyAnswersAtCommands) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  Child sim(sim_command({"--tty", ptsname(master)}));
  ASSERT_TRUE(sim.wait_for("ready"));
  ASSERT_EQ(write(master, "AT\r", 3), 3);
  std::string reply;
  for (const auto deadline = Clock::now() + 5s; reply.size() < 6 && Clock::now() < deadline;) {
    pollfd entry{master, POLLIN, 0};
    char buffer[16];
    if (poll(&entry, 1, 100) == 1)
      reply.append(buffer, static_cast<std::size_t>(read(master, buffer, sizeof buffer)));
  }
  EXPECT_EQ(reply, "\r\nOK\r\n");
  EXPECT_EQ(sim.stop(), 0);
  close(master);
}

}  // namespace
}  // namespace kov02a_sim
