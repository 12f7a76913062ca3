// The boot ROM's and bootloaders' side of the update: the stage-1 frame, the stage-2 stream and
// the image transfer, each checked for length, order, pauses and checksums.
#include <algorithm>
#include <chrono>

#include "module.hpp"

namespace kov02a_sim {
namespace {

using namespace std::chrono_literals;

constexpr Micros kStage2Pause = 20ms;
constexpr Micros kBaudPause = 100ms;
constexpr Micros kImagePause = 20ms;

std::string checksum_text(std::string_view what, const Checksum& sum) {
  return std::string(what) + " " + hex_byte(sum.seen) + " received, " + hex_byte(sum.computed) + " computed";
}

// Whether the bytes read as one stray 0x55 followed by a complete stage-1 frame with a valid
// check byte: a sync byte the sender's caster wrote just before it stopped, right in front of
// the frame. A genuine 85-byte frame is misread only if its first data bytes happen to form
// such a frame too.
bool completes_after_stray(const Bytes& frame) {
  if (frame.size() < 3 || frame[0] != kSync || frame[1] == 0) return false;
  if (frame.size() != frame[1] + std::size_t{3}) return false;
  return xor_of(ByteView(frame).subspan(2, frame[1])) == frame.back();
}

}  // namespace

bool Module::collect(std::uint8_t byte, std::size_t count) {
  field_.push_back(byte);
  return field_.size() == count;
}

void Module::drop_stray_sync(std::size_t count) {
  run().stray_sync += static_cast<std::uint32_t>(count);
  field_.erase(field_.begin(), field_.begin() + static_cast<std::ptrdiff_t>(count));
}

// 0x55 bytes followed by silence came from the sender's sync stream, not from a frame, whose
// bytes arrive in one burst. A loaded sender may have several in flight when it stops casting.
void Module::on_stage1(std::uint8_t byte, Micros arrival) {
  const bool onlySync = std::all_of(field_.begin(), field_.end(), [](std::uint8_t b) { return b == kSync; });
  if (!field_.empty() && onlySync && arrival - field_last_ > options_.burst_gap)
    drop_stray_sync(field_.size());
  field_last_ = arrival;
  field_.push_back(byte);
  if (completes_after_stray(field_)) drop_stray_sync(1);
  run().stage1.reached = true;
  const std::size_t frame = field_[0] + std::size_t{2};
  if (field_.size() < frame || stray_frame_pending()) return;
  field_.resize(frame);
  finish_stage1();
}

// An 85-byte frame whose check byte fails may instead be a stray sync byte in front of a longer
// frame, read in one go when the module came late to the line: the bytes are taken as that
// 85-byte frame only once the longer one can no longer complete (or the line goes quiet).
bool Module::stray_frame_pending() const {
  if (field_.size() < 2 || field_[0] != kSync || field_[1] == 0) return false;
  if (field_.size() >= field_[1] + std::size_t{3}) return false;
  const std::size_t frame = field_[0] + std::size_t{2};
  return field_.size() >= frame && xor_of(ByteView(field_).subspan(1, field_[0])) != field_[frame - 1];
}

void Module::finish_stage1() {
  StageRecord& stage = run().stage1;
  const std::size_t length = field_[0];
  stage.announced = static_cast<std::uint32_t>(length);
  stage.received = length;
  stage.checksums = {{field_.back(), xor_of(ByteView(field_).subspan(1, length))}};
  decide("stage1.length", "bytes arrived beyond the stage-1 frame before the module answered it");
  if (length == 0) return reject(stage, "stage1.length", "stage-1 frame with length 0", Phase::Halted);
  if (stage.checksums[0].seen != stage.checksums[0].computed) {
    return reject(stage, "stage1.checksum", checksum_text("stage-1 check byte", stage.checksums[0]),
                  Phase::Halted);
  }
  accept(stage, AckPoint::Stage1, Phase::Stage2Size);
}

void Module::on_stage2_size(std::uint8_t byte, Micros arrival) {
  run().stage2.reached = true;
  if (!collect(byte, 2)) return;
  const std::uint32_t size = static_cast<std::uint32_t>(field_[0]) << 8 | field_[1];
  arm_pause(arrival, kStage2Pause, &RunRecord::stage2_pause, "stage2.pause", "the stage-2 size bytes");
  set_phase(size == 0 ? Phase::Stage2Check : Phase::Stage2Data);
  begin_body(run().stage2, size, kStage2Chunk);
}

void Module::begin_body(StageRecord& stage, std::uint64_t size, std::size_t chunk) {
  stage.announced = static_cast<std::uint32_t>(size);
  body_ = Body{size, chunk};
  chunk_answered_.reset();
}

// A byte that arrived no later than the answer was sent before the sender read it; the
// decision check reports that, and it is no turnaround.
void Module::note_turnaround(StageRecord& stage, Micros arrival) {
  if (!chunk_answered_) return;
  if (arrival > *chunk_answered_) stage.turnarounds.push_back(arrival - *chunk_answered_);
  chunk_answered_.reset();
}

void Module::answers_sent(Micros at) {
  if (std::exchange(chunk_answer_unsent_, false) && chunk_answered_) chunk_answered_ = at;
}

// Offsets and offsets within a chunk have the same parity, since full chunks are of even size.
void Module::on_body(std::uint8_t byte, Micros arrival) {
  const bool image = phase_ == Phase::ImageData;
  StageRecord& stage = image ? run().image : run().stage2;
  note_turnaround(stage, arrival);
  (body_.received % 2 == 0 ? body_.even : body_.odd) ^= byte;
  ++body_.received;
  stage.received = body_.received;
  if (image) image_.push_back(byte);
  if (body_.received % body_.chunk == 0) {
    ++stage.full_chunks;
    decide(image ? "image.chunk" : "stage2.chunk",
           image ? "bytes of the next image chunk arrived before 0xAA (chunk longer than 4000 bytes?)"
                 : "bytes of the next stage-2 chunk arrived before 0xAA (chunk longer than 1000 bytes?)");
    if (answer(AckPoint::Chunk, {kAckChunk}) && body_.received < body_.expected) {
      chunk_answered_ = now_;
      chunk_answer_unsent_ = true;
    }
    if (image) check_silence(stage.full_chunks);
  }
  if (body_.received == body_.expected) set_phase(image ? Phase::ImageChecksums : Phase::Stage2Check);
  if (image) check_drop();
}

void Module::check_silence(std::uint64_t chunks) {
  if (!options_.silent_after || chunks < *options_.silent_after) return;
  options_.silent_after.reset();
  silent_ = true;
}

void Module::check_drop() {
  if (!options_.drop_after || body_.received < *options_.drop_after) return;
  options_.drop_after.reset();
  drop_requested_ = true;
  line_lost(now_);
}

void Module::finish_stage2(std::uint8_t byte) {
  StageRecord& stage = run().stage2;
  stage.checksums = {{byte, static_cast<std::uint8_t>(body_.even ^ body_.odd)}};
  decide("stage2.length", "bytes arrived beyond the stage-2 check byte before the module answered it");
  if (stage.checksums[0].seen != stage.checksums[0].computed) {
    return reject(stage, "stage2.checksum", checksum_text("stage-2 check byte", stage.checksums[0]),
                  Phase::Halted);
  }
  accept(stage, AckPoint::Stage2, Phase::BaudCommand);
}

// 0x50 opens the image transfer and is answered by the memory check, "OK" and 0xA5; 0x54
// announces the file-size record.
void Module::on_command(std::uint8_t byte, Micros arrival) {
  const bool baud = phase_ == Phase::BaudCommand;
  const std::uint8_t expected = baud ? kCmdBaudrate : kCmdFileSize;
  if (byte != expected) {
    if (!std::exchange(order_reported_, true)) {
      violate("image.order", "expected " + hex_byte(expected) + ", received " + hex_byte(byte));
    }
    return;
  }
  if (!baud) return set_phase(Phase::FileSizeRecord);
  run().image.reached = true;
  run().memcheck = true;
  answer(AckPoint::MemCheck, {'O', 'K', kAckDone});
  arm_pause(arrival, kBaudPause, &RunRecord::baud_pause, "image.pause-baud", "0x50");
  set_phase(Phase::FileSizeCommand);
}

void Module::on_file_size_record(std::uint8_t byte) {
  if (!collect(byte, 3)) return;
  run().file_size_record = field_;
  decide("image.record", "the compressed-size record arrived before the answers to the file-size record");
  answer(AckPoint::Record, {kAckDone, kAckDone, kAckDone});
  set_phase(Phase::ImageSizeRecord);
}

void Module::on_image_size_record(std::uint8_t byte, Micros arrival) {
  if (!collect(byte, 3)) return;
  const std::uint32_t size = static_cast<std::uint32_t>(field_[0]) << 16 | field_[1] << 8 | field_[2];
  arm_pause(arrival, kImagePause, &RunRecord::image_pause, "image.pause-size", "the compressed-size record");
  image_.clear();
  image_.reserve(size);
  set_phase(size == 0 ? Phase::ImageChecksums : Phase::ImageData);
  begin_body(run().image, size, kImageChunk);
}

void Module::on_image_checksums(std::uint8_t byte) {
  if (!collect(byte, 2)) return;
  StageRecord& stage = run().image;
  stage.checksums = {{field_[0], body_.even}, {field_[1], body_.odd}};
  image_ready_ = true;
  decide("image.length", "bytes arrived beyond the image checksums before the module answered them");
  for (std::size_t i = 0; i < 2; ++i) {
    if (stage.checksums[i].seen != stage.checksums[i].computed) {
      return reject(stage, "image.checksum",
                    checksum_text(i == 0 ? "even checksum" : "odd checksum", stage.checksums[i]),
                    Phase::Normal);
    }
  }
  accept(stage, AckPoint::Image, Phase::Normal);
  end_run("accepted");
}

// A bootloader stage whose 0xA5 was withheld or garbled fails on the sender's side, which
// starts over with the sync stream and a reset; until then the module ignores the line
// rather than take the sync bytes for the next stage.
void Module::accept(StageRecord& stage, AckPoint point, Phase next) {
  stage.answer = "accepted";
  const bool delivered = answer(point, {kAckDone});
  set_phase(delivered || point == AckPoint::Image ? next : Phase::Halted);
}

void Module::reject(StageRecord& stage, std::string_view code, const std::string& text, Phase next) {
  violate(code, text);
  stage.answer = "rejected";
  if (options_.nak) out_.push_back(*options_.nak);
  set_phase(next);
  const std::string_view stage_name = code.substr(0, code.find('.'));
  end_run(std::string(stage_name) + "-rejected");
}

}  // namespace kov02a_sim
