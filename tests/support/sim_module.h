// The simulator's module under test on a line of our own: a clock the test moves, and the bytes
// the update tool would write, with the pauses it would leave between them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kov02a-sim/module.hpp"

namespace kov02a_sim {

// One write of the tool, `gap` after the previous one.
struct Step {
  Bytes bytes;
  Micros gap = std::chrono::milliseconds(1);
};
using Script = std::vector<Step>;

inline Script operator+(Script first, const Script& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The worked examples: stages and an image of "abc", an empty stage 2, and the image's opening
// (0x50, its answers' pause, 0x54 and the size record).
inline const Script kStage1Abc{{{0x03, 0x61, 0x62, 0x63, 0x60}}};
inline const Script kStage2Abc{{{0x00, 0x03}}, {{0x61, 0x62, 0x63}, std::chrono::milliseconds(21)}, {{0x60}}};
inline const Script kStage2Empty{{{0x00, 0x00}}, {{0x00}, std::chrono::milliseconds(21)}};
inline const Script kImageOpening{{{0x50}}, {{0x54}, std::chrono::milliseconds(101)}, {{0x3F, 0xA0, 0x00}}};
inline const Script kImageAbc{
    {{0x00, 0x00, 0x03}}, {{0x61, 0x62, 0x63}, std::chrono::milliseconds(21)}, {{0x02}}, {{0x62}}};

struct Line {
  explicit Line(ModuleOptions options = {}) : module(std::move(options)) {}

  Bytes send(const Bytes& bytes, Micros gap = std::chrono::milliseconds(1)) {
    now += gap;
    return module.feed(bytes, now);
  }
  Bytes play(const Script& script) {
    Bytes replies;
    for (const Step& step : script) {
      const Bytes reply = send(step.bytes, step.gap);
      replies.insert(replies.end(), reply.begin(), reply.end());
    }
    return replies;
  }
  bool control(ControlRequest request, std::uint32_t code) { return module.control(request, code, now); }
  // Reset and the sync stream: what the update tool does before the stages.
  Bytes catch_rom() {
    control(ControlRequest::Ril, kRilReset);
    const Micros gap = std::chrono::milliseconds(10);
    return play({{{kSync}, gap}, {{kSync}, gap}, {{kSync}, gap}});
  }
  void idle(Micros time) {
    now += time;
    module.tick(now);
  }
  std::vector<std::string> violation_codes() const {
    std::vector<std::string> codes;
    for (const Violation& violation : module.summary().violations) codes.push_back(violation.code);
    return codes;
  }
  const RunRecord& run() const { return module.summary().runs.back(); }

  Module module;
  Micros now{0};
};

// `size` bytes that differ from one position to the next.
inline Bytes pattern(std::size_t size, unsigned step = 7) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * step + 3);
  return bytes;
}

// The XOR of every other byte from `first`: the two halves of the image's checksum.
inline std::uint8_t parity_xor(const Bytes& bytes, std::size_t first) {
  std::uint8_t sum = 0;
  for (std::size_t i = first; i < bytes.size(); i += 2) sum ^= bytes[i];
  return sum;
}

// The XOR of every byte: a stage's checksum.
inline std::uint8_t xor_all(const Bytes& bytes) {
  return parity_xor(bytes, 0) ^ parity_xor(bytes, 1);
}

// A stage-1 frame: its length, the data and their checksum.
inline Bytes stage1_frame(const Bytes& data) {
  Bytes frame{static_cast<std::uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(xor_all(data));
  return frame;
}

}  // namespace kov02a_sim
