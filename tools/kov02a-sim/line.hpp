// One end of a serial line held by the simulator: what arrives is time-stamped and paced in,
// what is sent is paced out and written as fast as the far end takes it.
#pragma once

#include <optional>
#include <vector>

#include "pacer.hpp"
#include "ports.hpp"
#include "wire.hpp"

namespace kov02a_sim {

class Line {
 public:
  Line(UniqueFd fd, unsigned baud);

  int fd() const { return fd_.get(); }

  // Reads everything waiting. False when the far end is gone (end of file, or an error other
  // than "try again").
  bool receive(Micros now);
  // Drops everything received so far, read or not.
  void discard_input(Micros now);
  // Received bytes whose paced delivery time has come.
  std::vector<Pacer::Batch> take_input(Micros now) { return in_.take_due(now); }

  // Queues bytes to go out from `now` on.
  void send(ByteView bytes, Micros now);
  // Writes what is due. False on a write error.
  bool flush(Micros now);
  // Bytes wait for room in the far end's buffer: poll for POLLOUT.
  bool blocked() const { return !unwritten_.empty(); }

  // The next time take_input() or flush() has work that is not waiting on POLLOUT.
  std::optional<Micros> next_due() const;

 private:
  bool write_unwritten();

  UniqueFd fd_;
  Pacer in_;
  Pacer out_;
  Bytes unwritten_;
};

}  // namespace kov02a_sim
