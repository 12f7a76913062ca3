// The update wire's framing and checksums (see framing.h).
#include "update/framing.h"

BYTE XorBytes(std::span<const BYTE> data, BYTE seed) {
  for (BYTE b : data) seed ^= b;
  return seed;
}

void PutBigEndian(DWORD value, std::span<BYTE> out) {
  for (std::size_t i = out.size(); i-- > 0;) {
    out[i] = static_cast<BYTE>(value & 0xFF);
    value >>= 8;
  }
}

DWORD CloseStage1Frame(BYTE* frame, DWORD n) {
  frame[0] = static_cast<BYTE>(n);
  frame[n + 1] = XorBytes({frame + 1, n});
  return n + 2;
}

void FoldChunk(ChunkTally& tally, std::span<const BYTE> chunk) {
  for (std::size_t j = 0; j < chunk.size(); ++j) {
    if (j % 2 == 0)
      tally.even ^= chunk[j];
    else
      tally.odd ^= chunk[j];
  }
  tally.total += static_cast<DWORD>(chunk.size());
}

bool CountStar(ChunkTally& tally) {
  tally.stars = (tally.stars + 1) % STARS_PER_LINE;
  return tally.stars == 0;
}

DWORD NextChunkRequest(DWORD total, DWORD limit, DWORD chunk) {
  DWORD rest = limit - total;
  return rest < chunk ? rest : chunk;
}
