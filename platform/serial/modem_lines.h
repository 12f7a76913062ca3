// The modem lines a tty reads (CTS, DSR, RI, DCD) in the handset's terms: MS_* status bits and the
// EV_* events their changes raise. Pure, so a table test can check every change without a port.
#pragma once

#include <kov02/ce.h>

namespace kov02::serial {

// The events a change of the modem lines can raise.
inline constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// The MS_* bits of a TIOCMGET answer.
DWORD status_from_tiocm(int lines);

// The events within `mask` that the move from `before` to `after` (both MS_* bits) raises: each
// line that changed, either way, raises its own event once.
DWORD events_between(DWORD before, DWORD after, DWORD mask);

}  // namespace kov02::serial
