#include "serial/modem_lines.h"

#include <sys/ioctl.h>

namespace kov02::serial {
namespace {

struct ModemLine {
  int tiocm;     // the line's TIOCM_* bit
  DWORD status;  // its MS_* bit
  DWORD event;   // the EV_* bit its change raises
};

constexpr ModemLine kModemLines[] = {
    {TIOCM_CTS, MS_CTS_ON, EV_CTS},
    {TIOCM_DSR, MS_DSR_ON, EV_DSR},
    {TIOCM_RNG, MS_RING_ON, EV_RING},
    {TIOCM_CD, MS_RLSD_ON, EV_RLSD},
};

}  // namespace

DWORD status_from_tiocm(int lines) {
  DWORD status = 0;
  for (const ModemLine& line : kModemLines) {
    if (lines & line.tiocm) status |= line.status;
  }
  return status;
}

DWORD events_between(DWORD before, DWORD after, DWORD mask) {
  const DWORD changed = before ^ after;
  DWORD events = 0;
  for (const ModemLine& line : kModemLines) {
    if (changed & line.status) events |= line.event;
  }
  return events & mask;
}

}  // namespace kov02::serial
