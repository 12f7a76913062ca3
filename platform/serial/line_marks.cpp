// Decoding PARMRK marks and the driver's error counters.
#include "serial/line_marks.h"

#include <cstring>

namespace kov02::serial {
namespace {
constexpr BYTE kMarkLead = 0xFF;
}  // namespace

LineMarks MarkDecoder::decode(const BYTE* raw, std::size_t size, std::deque<BYTE>& out, DWORD error_code) {
  LineMarks marks;
  if (!marking_) {
    out.insert(out.end(), raw, raw + size);
    return marks;
  }
  for (std::size_t i = 0; i < size; ++i) {
    const BYTE byte = raw[i];
    switch (state_) {
      case State::data: {
        // Runs of plain data go across as one block; only a lead byte needs the state machine.
        const auto* lead = static_cast<const BYTE*>(std::memchr(raw + i, kMarkLead, size - i));
        const BYTE* run_end = lead ? lead : raw + size;
        out.insert(out.end(), raw + i, run_end);
        if (!lead) return marks;
        i = static_cast<std::size_t>(lead - raw);
        state_ = State::escape;
        break;
      }
      case State::escape:
        if (byte == 0x00) {
          state_ = State::marked;
          break;
        }
        // 0xFF 0xFF is the doubled literal; any other follower cannot come from the line
        // discipline, so the lead byte is passed on as data rather than lost.
        out.push_back(kMarkLead);
        if (byte != kMarkLead) out.push_back(byte);
        state_ = State::data;
        break;
      case State::marked:
        if (byte == 0x00) {
          marks.events |= EV_BREAK;
          marks.errors |= CE_BREAK;
        } else {
          marks.events |= EV_ERR;
          marks.errors |= error_code;
          out.push_back(byte);
        }
        state_ = State::data;
        break;
    }
  }
  return marks;
}

LineMarks errors_between(const ErrorCounts& before, const ErrorCounts& after) {
  LineMarks marks;
  if (after.overrun != before.overrun) {
    marks.events |= EV_ERR;
    marks.errors |= CE_OVERRUN;
  }
  if (after.buffer_overrun != before.buffer_overrun) marks.errors |= CE_RXOVER;
  return marks;
}

}  // namespace kov02::serial
