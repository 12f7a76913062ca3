// What only tests ask of the update: a wait with no bound, and modes the program itself does not
// have. The product's stages always wait with a bound and know only their own modes.
#pragma once

#include <kov02/ce.h>

#include <array>
#include <cstddef>
#include <span>

#include "update/modes.h"
#include "update/update_port.h"

// WaitForByte without a silence bound: only a byte, a line event or a lost port ends it.
inline int WaitForByte(BYTE byte) {
  return WaitForByte(byte, INFINITE);
}

// Adds a row after the program's own, for a mode only a test knows. 0 when its command id is
// taken already or there is no room left. The rows live here, in storage the program never has:
// the first call copies the program's table and points the look-up at the copy.
inline int RegisterUpdateMode(const UpdateMode& mode) {
  static std::array<UpdateMode, 8> rows;
  static std::size_t count = 0;
  if (count == 0) {
    for (const UpdateMode& own : g_UpdateModes) rows[count++] = own;
  }
  if (FindUpdateMode(mode.commandId) != nullptr || count == rows.size()) return 0;
  rows[count++] = mode;
  g_UpdateModes = std::span<const UpdateMode>(rows.data(), count);
  return 1;
}
