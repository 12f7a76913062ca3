// The module's modes and bookkeeping: normal mode, resets, the boot ROM's sync catch, answers,
// pauses, stalls and attempt records. The stage and image phases are in module_transfer.cpp.
#include "module.hpp"

#include <utility>

namespace kov02a_sim {
namespace {

struct PhaseLabel {
  std::string_view stage;  // code prefix of its violations
  std::string_view part;   // what is being received, for texts
};

PhaseLabel label_of(Phase phase) {
  switch (phase) {
    case Phase::Stage1:
      return {"stage1", "the stage-1 frame"};
    case Phase::Stage2Size:
      return {"stage2", "the stage-2 size"};
    case Phase::Stage2Data:
      return {"stage2", "the stage-2 data"};
    case Phase::Stage2Check:
      return {"stage2", "the stage-2 check byte"};
    case Phase::BaudCommand:
      return {"image", "the 0x50 command"};
    case Phase::FileSizeCommand:
      return {"image", "the 0x54 command"};
    case Phase::FileSizeRecord:
      return {"image", "the file-size record"};
    case Phase::ImageSizeRecord:
      return {"image", "the compressed-size record"};
    case Phase::ImageData:
      return {"image", "the image data"};
    case Phase::ImageChecksums:
      return {"image", "the image checksums"};
    default:
      return {"module", "normal operation"};
  }
}

}  // namespace

Module::Module(ModuleOptions options) : options_(std::move(options)) {}

Bytes Module::feed(ByteView bytes, Micros arrival, Micros now) {
  now_ = now;
  out_.clear();
  for (std::uint8_t byte : bytes) {
    if (drop_requested_) break;
    on_byte(byte, arrival);
  }
  return std::exchange(out_, {});
}

void Module::on_byte(std::uint8_t byte, Micros arrival) {
  check_decision(arrival);
  check_pause(arrival);
  last_arrival_ = arrival;
  stall_reported_ = false;
  owed_ack_ = false;
  switch (phase_) {
    case Phase::Normal:
      return on_normal(byte);
    case Phase::RomSync:
      return on_sync(byte);
    case Phase::Stage1:
      return on_stage1(byte, arrival);
    case Phase::Stage2Size:
      return on_stage2_size(byte, arrival);
    case Phase::Stage2Data:
    case Phase::ImageData:
      return on_body(byte, arrival);
    case Phase::Stage2Check:
      return finish_stage2(byte);
    case Phase::BaudCommand:
    case Phase::FileSizeCommand:
      return on_command(byte, arrival);
    case Phase::FileSizeRecord:
      return on_file_size_record(byte);
    case Phase::ImageSizeRecord:
      return on_image_size_record(byte, arrival);
    case Phase::ImageChecksums:
      return on_image_checksums(byte);
    case Phase::Halted:
      ++run().ignored;
      return;
  }
}

void Module::on_normal(std::uint8_t byte) {
  if (options_.late_answer) answer_late(byte);
  const Bytes reply = at_.feed(byte);
  out_.insert(out_.end(), reply.begin(), reply.end());
  summary_.sync_in_normal = at_.sync_dropped();
  summary_.at_commands = at_.commands();
}

// A boot ROM's answer that comes late: the handset is already casting for its next reset.
void Module::answer_late(std::uint8_t byte) {
  normal_sync_ = byte == kSync ? normal_sync_ + 1 : 0;
  if (late_answered_ || normal_sync_ < options_.late_after_sync) return;
  late_answered_ = true;
  out_.push_back(kRomReady);
}

void Module::on_sync(std::uint8_t byte) {
  if (options_.babble) return;  // a babbling module never catches the stream
  sync_streak_ = byte == kSync ? sync_streak_ + 1 : 0;
  if (byte == kSync) ++sync_seen_;
  if (sync_streak_ < options_.sync_needed) return;
  start_run();
  for (std::uint32_t i = 0; i < options_.noise; ++i) out_.push_back(noise_byte());
  out_.push_back(kRomReady);
  set_phase(Phase::Stage1);
}

bool Module::control(ControlRequest request, std::uint32_t code, Micros now) {
  now_ = now;
  const bool ril = request == ControlRequest::Ril;
  const bool known =
      ril ? code == kRilSuspend || code == kRilResume || code == kRilReset : code == kHalReboot;
  const bool accepted = known && !(ril && options_.fail_ril);
  summary_.control.push_back({now, ril ? "ril" : "reboot", code, accepted});
  if (accepted && ril && code == kRilReset) restart_rom();
  return accepted;
}

void Module::restart_rom() {
  if (run_active_) end_run("restarted");
  silent_ = false;
  set_phase(Phase::RomSync);
  at_.clear_line();
  reset_at_ = now_;
  babble_next_ = now_ + options_.babble_every;
  normal_sync_ = 0;
  late_answered_ = false;
  sync_streak_ = 0;
  sync_seen_ = 0;
  pause_.reset();
  decision_.reset();
}

void Module::start_run() {
  RunRecord record;
  record.index = static_cast<int>(summary_.runs.size()) + 1;
  record.started = now_;
  record.sync_seen = sync_seen_;
  record.noise_sent = options_.noise;
  summary_.runs.push_back(std::move(record));
  run_active_ = true;
}

void Module::end_run(std::string_view outcome) {
  run().outcome = outcome;
  run_active_ = false;
  run_ended_ = true;
}

void Module::line_lost(Micros now) {
  now_ = now;
  if (run_active_) end_run("dropped");
  set_phase(Phase::Normal);
  at_.clear_line();
  pause_.reset();
  decision_.reset();
}

void Module::finish(Micros now) {
  now_ = now;
  if (run_active_) end_run("unfinished");
}

void Module::set_phase(Phase phase) {
  phase_ = phase;
  field_.clear();
  order_reported_ = false;
}

void Module::violate(std::string_view code, const std::string& text) {
  const int run_index = static_cast<int>(summary_.runs.size());
  summary_.violations.push_back({now_, run_index, std::string(code), text});
}

// The answer at `point`, unless a fault takes it: true when it went out as it should. An extra
// answer goes out with one more copy of its last byte and counts as delivered.
bool Module::answer(AckPoint point, Bytes bytes) {
  const AckFault fault = silent_ ? AckFault::Withhold : options_.faults.take(point);
  if (fault == AckFault::None || fault == AckFault::Extra) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    if (fault == AckFault::None) return true;
    out_.push_back(bytes.back());
    run().faults.push_back(std::string(point_name(point)) + " extra");
    return true;
  }
  owed_ack_ = true;
  run().faults.push_back(std::string(point_name(point)) + (silent_                       ? " silent"
                                                           : fault == AckFault::Withhold ? " withheld"
                                                                                         : " wrong"));
  if (fault == AckFault::Withhold) return false;
  for (std::uint8_t& byte : bytes) {
    if (byte == kAckDone || byte == kAckChunk) byte = options_.wrong_byte;
  }
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return false;
}

void Module::arm_pause(Micros from, Micros min, std::optional<Micros> RunRecord::*slot, std::string_view code,
                       std::string_view after) {
  pause_ = Pause{from, answered_at_, min, slot, code, after};
}

// Arrival times are when the simulator read the bytes, which a busy machine can delay, so the
// gap between two reads may look shorter than the sender's pause. The sender cannot have sent
// the byte before the pause until it had the module's answer, though, so the time since that
// answer bounds the pause from above: only a bound that falls short proves a missing pause.
void Module::check_pause(Micros arrival) {
  if (!pause_) return;
  const Micros seen = arrival - pause_->from;
  const Micros at_most = arrival - pause_->not_before;
  run().*(pause_->slot) = seen;
  if (at_most + options_.tolerance < pause_->min) {
    violate(pause_->code, "pause of " + format_ms(seen) + " ms after " + std::string(pause_->after) +
                              " (at most " + format_ms(at_most) + " ms), at least " + format_ms(pause_->min) +
                              " ms required");
  }
  pause_.reset();
}

void Module::decide(std::string_view code, std::string_view text) {
  decision_ = Decision{now_, code, text};
  answered_at_ = now_;
}

// A byte that arrived no later than the module's answer cannot have been sent after the sender
// read that answer: the sender did not wait, or sent more than it announced.
void Module::check_decision(Micros arrival) {
  if (!decision_) return;
  if (arrival > decision_->at) {
    decision_.reset();
    return;
  }
  if (decision_->reported) return;
  decision_->reported = true;
  violate(decision_->code, std::string(decision_->text));
}

// A lone 0x55 in front of stage 1 may be a stray sync byte, which nothing follows.
bool Module::mid_frame() const {
  switch (phase_) {
    case Phase::Stage1:
      return field_.size() > 1 || (field_.size() == 1 && field_[0] != kSync);
    case Phase::Stage2Size:
    case Phase::FileSizeRecord:
    case Phase::ImageSizeRecord:
      return !field_.empty();
    case Phase::Stage2Data:
    case Phase::Stage2Check:
    case Phase::ImageData:
    case Phase::ImageChecksums:
      return true;
    default:
      return false;
  }
}

std::optional<Micros> Module::next_deadline() const {
  if (phase_ == Phase::RomSync) return options_.babble ? babble_next_ : reset_at_ + options_.boot_window;
  if (mid_frame() && !owed_ack_ && !stall_reported_) return last_arrival_ + options_.stall_after;
  return std::nullopt;
}

Bytes Module::tick(Micros now) {
  now_ = now;
  const std::optional<Micros> deadline = next_deadline();
  if (!deadline || now < *deadline) return {};
  if (phase_ == Phase::RomSync && options_.babble) return babble(now);
  if (phase_ == Phase::RomSync) {
    set_phase(Phase::Normal);  // no sync stream: the ROM starts the firmware as usual
    return {};
  }
  if (phase_ == Phase::Stage1 && field_.size() >= field_[0] + std::size_t{2}) {
    field_.resize(field_[0] + std::size_t{2});  // an 85-byte frame, no stray in front after all
    finish_stage1();
    return {};
  }
  report_stall();
  return {};
}

// One noise byte for each period that has passed (a late tick sends the ones it owes), never
// 0xA0, until the next reset.
Bytes Module::babble(Micros now) {
  Bytes noise;
  for (; babble_next_ <= now; babble_next_ += options_.babble_every) noise.push_back(noise_byte());
  return noise;
}

void Module::report_stall() {
  stall_reported_ = true;
  const PhaseLabel label = label_of(phase_);
  std::string text =
      "the line went quiet for " + format_ms(now_ - last_arrival_) + " ms in " + std::string(label.part);
  if (phase_ == Phase::Stage2Data || phase_ == Phase::ImageData) {
    text += ", after " + std::to_string(body_.received) + " of " + std::to_string(body_.expected) + " bytes";
  }
  violate(std::string(label.stage) + ".short", text);
}

// A fixed xorshift sequence, so a run with noise is reproducible.
std::uint8_t Module::noise_byte() {
  noise_state_ ^= noise_state_ << 13;
  noise_state_ ^= noise_state_ >> 17;
  noise_state_ ^= noise_state_ << 5;
  const auto byte = static_cast<std::uint8_t>(noise_state_);
  return byte == kRomReady ? static_cast<std::uint8_t>(byte ^ 1) : byte;
}

}  // namespace kov02a_sim
