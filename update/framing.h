// The update wire's framing and checksums, as pure functions: bytes in, bytes out. The stage
// and image senders do the I/O around them; a table of worked examples tests them without a port.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <span>

// Most data a stage-1 frame carries: one read of at most this many bytes from the file's start.
inline constexpr DWORD STAGE1_MAX_DATA = 255;
// A stage-1 frame: the length byte, the data, the check byte.
inline constexpr DWORD STAGE1_FRAME_MAX = STAGE1_MAX_DATA + 2;
// Full chunk sizes of the two chunked streams; ACK_CHUNK follows each full chunk.
inline constexpr DWORD STAGE2_CHUNK = 1000;
inline constexpr DWORD IMAGE_CHUNK = 4000;
// A line break follows every this many progress stars.
inline constexpr int STARS_PER_LINE = 23;

// 8-bit XOR of `data`, folded into `seed`.
BYTE XorBytes(std::span<const BYTE> data, BYTE seed = 0);

// Writes the low out.size() bytes of `value` into `out`, most significant first: the form of
// every size on the update wire (2 bytes for stage 2, 3 for the image records). Higher bytes
// of `value` are dropped, so a size too large for the field goes out modulo its range.
void PutBigEndian(DWORD value, std::span<BYTE> out);

// Completes a stage-1 frame whose `n` data bytes (1 to 255) already sit at frame[1..n]:
// frame[0] = n, frame[n + 1] = their XOR. Returns the frame's length, n + 2.
DWORD CloseStage1Frame(BYTE* frame, DWORD n);

// The running sums of one chunked stream. Image bytes at an even index within their chunk fold
// into `even`, the others into `odd`; the XOR of every byte sent (stage 2's check byte) is
// therefore even ^ odd.
struct ChunkTally {
  BYTE even = 0;
  BYTE odd = 0;
  DWORD total = 0;       // bytes read so far
  int stars = 0;         // chunks written, modulo STARS_PER_LINE
  bool stopped = false;  // the stream ended early: a chunk went unanswered or the port was lost
};

// Folds one chunk into the sums and the running total.
void FoldChunk(ChunkTally& tally, std::span<const BYTE> chunk);
// Counts one more chunk written; true when its star ends a line.
bool CountStar(ChunkTally& tally);
// XOR of every byte folded so far.
inline BYTE AllBytesXor(const ChunkTally& tally) {
  return tally.even ^ tally.odd;
}

// Size of the next read of a stream that is to carry `limit` bytes in chunks of `chunk`, after
// `total` bytes: the rest, but at most a chunk. 0 once the limit is reached.
DWORD NextChunkRequest(DWORD total, DWORD limit, DWORD chunk);
