// What only tests ask of the update: a wait with no bound, and modes the program itself does not
// have. The product's stages always wait with a bound and know only their own modes.
#pragma once

#include <kov02/ce.h>

#include "update/modes.h"
#include "update/update_port.h"

// WaitForByte without a silence bound: only a byte, a line event or a lost port ends it.
inline int WaitForByte(BYTE byte) {
  return WaitForByte(byte, INFINITE);
}

// Adds a row after the program's own, for a mode only a test knows. 0 when its command id is
// taken already or there is no room left. Defined in update/modes.cpp beside the rows it extends.
int RegisterUpdateMode(const UpdateMode& mode);
