// What the line reports besides data: the line discipline's in-band marks (PARMRK) and the
// driver's error counters, turned into the handset's EV_* events and CE_* errors. Pure, so a
// table test can check every mark shape without a port.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <cstdint>
#include <deque>

namespace kov02::serial {

// Events (EV_BREAK, EV_ERR) and errors (CE_*) seen on the line.
struct LineMarks {
  DWORD events = 0;
  DWORD errors = 0;
};

// Undoes the line discipline's marking of the input: 0xFF 0xFF is a literal 0xFF, 0xFF 0x00 0x00
// a break, 0xFF 0x00 X a byte X received in error. A mark split across two reads is completed by
// the next call, so the decoder lives as long as the port. While marking is off (the default,
// matching a line without PARMRK) every byte is data, 0xFF included.
class MarkDecoder {
 public:
  // Appends the data bytes of `raw` to `out` and returns the marks it held. An errored byte is
  // kept as data and counts as `error_code` (CE_FRAME or CE_RXPARITY: the mark cannot tell which).
  // The mark of a break is indistinguishable from an errored 0x00 byte and is taken as a break.
  LineMarks decode(const BYTE* raw, std::size_t size, std::deque<BYTE>& out, DWORD error_code);
  // Follows the line's marking mode; input decoded afterwards is taken as marked or not.
  // A mark cut short by the switch is forgotten.
  void set_marking(bool on) {
    marking_ = on;
    reset();
  }
  bool marking() const { return marking_; }
  // Forgets a mark cut short (after the input has been purged).
  void reset() { state_ = State::data; }

 private:
  enum class State { data, escape, marked };
  State state_ = State::data;
  bool marking_ = false;
};

// The driver counters that have no in-band mark (the kernel's serial_icounter_struct members).
struct ErrorCounts {
  std::int32_t overrun = 0;         // the UART's receive register overran
  std::int32_t buffer_overrun = 0;  // the tty layer's buffer was full
};

// The errors that the counters' movement from `before` to `after` reveals: CE_OVERRUN with
// EV_ERR, CE_RXOVER (which is not a line-status error, so no event). Counters may wrap.
LineMarks errors_between(const ErrorCounts& before, const ErrorCounts& after);

}  // namespace kov02::serial
