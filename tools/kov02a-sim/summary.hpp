// What the simulated module saw: control requests, update attempts stage by stage, protocol
// violations. Rendered as text for a person and as one-line JSON for scripts and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire.hpp"

namespace kov02a_sim {

struct Violation {
  Micros at{};
  int run = 0;       // 1-based attempt number; 0 outside any attempt
  std::string code;  // short and stable, e.g. "stage2.pause"
  std::string text;  // for a person
};

struct ControlRecord {
  Micros at{};
  std::string request;  // "ril" or "reboot"
  std::uint32_t code = 0;
  bool accepted = false;
};

struct Checksum {
  std::uint8_t seen = 0;
  std::uint8_t computed = 0;
};

// One stage of an attempt: the stage-1 frame, the stage-2 stream or the image.
struct StageRecord {
  bool reached = false;
  std::uint32_t announced = 0;  // the length byte, size field or size record
  std::uint64_t received = 0;   // data bytes taken
  std::uint32_t full_chunks = 0;
  std::vector<Checksum> checksums;  // stage 1 and 2: one; image: even, then odd
  std::string answer;               // "accepted", "rejected", or empty while open
  // Per chunk answered with 0xAA: the time from that answer leaving for the line to the first
  // byte of the next chunk. The sender's turnaround, which a 4 MB image pays 1,042 times.
  std::vector<Micros> turnarounds;
};

// One update attempt: from the boot ROM's 0xA0 to its end.
struct RunRecord {
  int index = 0;
  Micros started{};
  // "in-progress", "accepted", "stage1-rejected", "stage2-rejected", "image-rejected",
  // "restarted" (a reset came first), "dropped" (the line went away), "unfinished".
  std::string outcome = "in-progress";
  std::uint32_t sync_seen = 0;   // 0x55 bytes after the reset, up to 0xA0
  std::uint32_t stray_sync = 0;  // 0x55 bytes after 0xA0, before the stage-1 frame
  std::uint32_t noise_sent = 0;
  std::uint64_t ignored = 0;        // bytes ignored after a failed stage, until the next reset
  std::vector<std::string> faults;  // acknowledgement faults applied: "stage1 withheld", "chunk wrong"
  StageRecord stage1, stage2, image;
  bool memcheck = false;  // 0x50 received
  Bytes file_size_record;
  // Measured gaps: after the stage-2 size bytes, after 0x50, after the compressed-size record.
  std::optional<Micros> stage2_pause, baud_pause, image_pause;
};

struct Summary {
  std::vector<ControlRecord> control;
  std::vector<RunRecord> runs;
  std::vector<Violation> violations;
  std::uint64_t sync_in_normal = 0;  // 0x55 bytes dropped in normal mode
  std::uint32_t at_commands = 0;
};

std::string summary_text(const Summary& summary);
// One line, no line break at the end.
std::string summary_json(const Summary& summary);

// The name of a control code: "suspend", "resume", "reset", "reboot" or "unknown".
std::string_view control_name(std::uint32_t code);

}  // namespace kov02a_sim
