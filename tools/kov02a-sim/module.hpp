// The simulated radio module as a pure state machine: bytes in with their arrival times, bytes
// out, and a record of everything it saw. It owns no descriptor and reads no clock, so tables
// of bytes and times test it without a line.
//
// Normal mode answers AT commands. A reset request restarts it into the boot ROM, which answers
// a stream of 0x55 with 0xA0 and then takes the stage-1 frame, the stage-2 stream and the image
// transfer, checking every length, order, pause and checksum on the way. A rejected stage, or
// one whose answer a fault kept from the sender, leaves the module silent until the next
// reset; after the image it is back in normal mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "at_commands.hpp"
#include "faults.hpp"
#include "summary.hpp"
#include "wire.hpp"

namespace kov02a_sim {

struct ModuleOptions {
  std::uint32_t noise = 0;  // bytes sent before 0xA0, never 0xA0 themselves
  FaultPlan faults;
  std::uint8_t wrong_byte = 0x5A;             // sent in place of an acknowledgement by a wrong-ack fault
  std::optional<std::uint8_t> nak;            // sent when a stage is rejected; by default nothing
  bool fail_ril = false;                      // refuse every RIL request
  std::optional<std::uint64_t> drop_after;    // leave the line after this many image bytes, once
  std::optional<std::uint64_t> silent_after;  // answer nothing after this many image chunks, once
  bool babble = false;                 // after each reset, noise for ever instead of the boot ROM's answer
  bool late_answer = false;            // in normal mode, a 0x55 stream gets one 0xA0, again after each reset
  Micros babble_every{5000};           // one noise byte this often while babbling
  std::uint32_t late_after_sync = 10;  // consecutive 0x55 in normal mode before the late 0xA0
  std::uint32_t sync_needed = 3;       // consecutive 0x55 after a reset that catch the boot ROM
  Micros tolerance{2000};              // accepted shortfall on the required pauses
  Micros boot_window{2'000'000};       // a reset seeing no sync stream this long boots normally
  Micros stall_after{1'000'000};       // silence inside a frame that makes it a short frame
  Micros burst_gap{5000};              // a lone 0x55 followed by this much silence is a stray
};

enum class Phase {
  Normal,
  RomSync,
  Stage1,
  Stage2Size,
  Stage2Data,
  Stage2Check,
  BaudCommand,
  FileSizeCommand,
  FileSizeRecord,
  ImageSizeRecord,
  ImageData,
  ImageChecksums,
  Halted,
};

enum class ControlRequest { Ril, Reboot };

class Module {
 public:
  explicit Module(ModuleOptions options);

  // Bytes that all arrived at `arrival`, handled at `now` (later when the line is paced);
  // returns what the module sends back.
  Bytes feed(ByteView bytes, Micros arrival, Micros now);
  Bytes feed(ByteView bytes, Micros at) { return feed(bytes, at, at); }

  // A request from the handset's RIL or reboot hook. Returns whether it was accepted: known
  // codes only, and no RIL request while told to refuse them. Every request is recorded.
  bool control(ControlRequest request, std::uint32_t code, Micros now);

  // Time passing without bytes: the boot ROM's window, frames that stop half way, and the noise
  // of a babbling module, which it returns.
  Bytes tick(Micros now);
  // The answers fed so far left for the line at `at`. A chunk's turnaround then counts from
  // the write; without this call it counts from the feed that produced the answer.
  void answers_sent(Micros at);

  // When tick() next has something to do.
  std::optional<Micros> next_deadline() const;

  // The line went away; an attempt in progress ends as dropped.
  void line_lost(Micros now);
  // The simulator stops; an attempt in progress ends as unfinished.
  void finish(Micros now);

  // Each is true once after the event: an attempt ended; the module wants to leave the line.
  bool take_run_ended() { return std::exchange(run_ended_, false); }
  bool take_drop_request() { return std::exchange(drop_requested_, false); }
  // True once after an image arrived in full (accepted or not); image() then holds it.
  bool take_image_ready() { return std::exchange(image_ready_, false); }
  const Bytes& image() const { return image_; }

  Phase phase() const { return phase_; }
  const Summary& summary() const { return summary_; }

 private:
  // A data stream taken in acknowledged chunks: the stage-2 file or the image.
  struct Body {
    std::uint64_t expected = 0;
    std::size_t chunk = 0;
    std::uint64_t received = 0;
    std::uint8_t even = 0;  // XOR of the bytes at even offsets
    std::uint8_t odd = 0;
  };
  // A pause the sender owes before its next byte.
  struct Pause {
    Micros from{};        // arrival of the byte before the pause
    Micros not_before{};  // the module's answer that the sender waited for before that byte
    Micros min{};
    std::optional<Micros> RunRecord::*slot = nullptr;
    std::string_view code;
    std::string_view after;
  };
  // A point after which the sender must wait for the module's answer.
  struct Decision {
    Micros at{};
    std::string_view code;
    std::string_view text;
    bool reported = false;
  };

  void on_byte(std::uint8_t byte, Micros arrival);
  void on_normal(std::uint8_t byte);
  void on_sync(std::uint8_t byte);
  void answer_late(std::uint8_t byte);
  Bytes babble(Micros now);
  void on_stage1(std::uint8_t byte, Micros arrival);
  void finish_stage1();
  void on_stage2_size(std::uint8_t byte, Micros arrival);
  void on_body(std::uint8_t byte, Micros arrival);
  void note_turnaround(StageRecord& stage, Micros arrival);
  void finish_stage2(std::uint8_t byte);
  void on_command(std::uint8_t byte, Micros arrival);
  void on_file_size_record(std::uint8_t byte);
  void on_image_size_record(std::uint8_t byte, Micros arrival);
  void on_image_checksums(std::uint8_t byte);

  bool collect(std::uint8_t byte, std::size_t count);
  void drop_stray_sync(std::size_t count);
  void begin_body(StageRecord& stage, std::uint64_t size, std::size_t chunk);
  void check_drop();
  void check_silence(std::uint64_t chunks);
  bool stray_frame_pending() const;
  // Sends the answer as the fault plan has it; false when it was withheld or made wrong.
  bool answer(AckPoint point, Bytes bytes);
  void accept(StageRecord& stage, AckPoint point, Phase next);
  void reject(StageRecord& stage, std::string_view code, const std::string& text, Phase next);
  void arm_pause(Micros from, Micros min, std::optional<Micros> RunRecord::*slot, std::string_view code,
                 std::string_view after);
  void check_pause(Micros arrival);
  void decide(std::string_view code, std::string_view text);
  void check_decision(Micros arrival);
  bool mid_frame() const;
  void report_stall();

  void restart_rom();
  void start_run();
  void end_run(std::string_view outcome);
  void set_phase(Phase phase);
  void violate(std::string_view code, const std::string& text);
  RunRecord& run() { return summary_.runs.back(); }
  std::uint8_t noise_byte();

  ModuleOptions options_;
  Summary summary_;
  AtResponder at_;
  Phase phase_ = Phase::Normal;
  Micros now_{};
  Bytes out_;
  Bytes field_;          // the frame or record being collected
  Micros field_last_{};  // when the field's latest byte came
  Body body_;
  Bytes image_;
  std::optional<Pause> pause_;
  std::optional<Decision> decision_;
  Micros answered_at_{};                  // when the module last answered something the sender waits for
  std::optional<Micros> chunk_answered_;  // a 0xAA the next chunk has not yet followed
  bool chunk_answer_unsent_ = false;      // that 0xAA is not yet known to have left
  Micros reset_at_{};
  Micros last_arrival_{};
  std::uint32_t sync_streak_ = 0;
  std::uint32_t sync_seen_ = 0;
  std::uint32_t noise_state_ = 0x2545F491;
  Micros babble_next_{};           // when a babbling module sends its next noise byte
  std::uint32_t normal_sync_ = 0;  // consecutive 0x55 in normal mode
  bool late_answered_ = false;     // the late 0xA0 went out since the last reset
  bool run_active_ = false;
  bool run_ended_ = false;
  bool drop_requested_ = false;
  bool image_ready_ = false;
  bool silent_ = false;    // answers nothing until the next reset
  bool owed_ack_ = false;  // the last answer was withheld or wrong, so the sender may be waiting
  bool stall_reported_ = false;
  bool order_reported_ = false;
};

}  // namespace kov02a_sim
