// The PARMRK decoder over input cut into reads of any size. The first byte sets the mode and
// the cut points. Raw input: no crash and never more data out than in. As a round trip: the
// data, marked as the line discipline marks it (0xFF doubled), decodes back to itself with no
// event, however it is cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "serial/line_marks.h"

namespace {

using kov02::serial::MarkDecoder;

// Feeds `input` in pieces whose sizes come from `cuts` (cycled); returns the decoded data.
std::deque<BYTE> decode_in_pieces(const std::vector<BYTE>& input, std::uint8_t cuts, DWORD* events) {
  MarkDecoder decoder;
  decoder.set_marking(true);
  std::deque<BYTE> out;
  std::size_t step = 0;
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t piece = 1 + ((cuts >> (step++ % 8)) & 0x7);
    const std::size_t take = piece < input.size() - at ? piece : input.size() - at;
    *events |= decoder.decode(input.data() + at, take, out, CE_FRAME).events;
    at += take;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t cuts = data[0];
  const std::vector<BYTE> payload(data + 1, data + size);
  DWORD events = 0;
  if (decode_in_pieces(payload, cuts, &events).size() > payload.size()) std::abort();

  std::vector<BYTE> marked;
  for (BYTE b : payload) {
    marked.push_back(b);
    if (b == 0xFF) marked.push_back(0xFF);
  }
  events = 0;
  const std::deque<BYTE> back = decode_in_pieces(marked, cuts, &events);
  if (events != 0 || !std::equal(back.begin(), back.end(), payload.begin(), payload.end())) std::abort();
  return 0;
}
