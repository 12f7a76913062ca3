// The simulator's module reading what a tool sends it: any bytes, at any pace, in any phase.
// The input is a list of steps: a header byte (bit 7: reset into the boot ROM first; bits 0-6:
// the step's length) and a time byte (milliseconds since the previous step), then the bytes.
#include <cstddef>
#include <cstdint>

#include "module.hpp"

using namespace kov02a_sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Module module{ModuleOptions{}};
  Micros now{0};
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::uint8_t header = data[at];
    now += Micros{1000 * static_cast<std::int64_t>(data[at + 1])};
    at += 2;
    if ((header & 0x80) != 0) module.control(ControlRequest::Ril, kRilReset, now);
    std::size_t length = header & 0x7F;
    if (length > size - at) length = size - at;
    module.tick(now);
    module.feed(ByteView(data + at, length), now);
    at += length;
  }
  module.finish(now);
  return 0;
}
