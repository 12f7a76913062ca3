// The mapping between the handset's line settings record (DCB) and termios: the one place that
// knows which DCB member becomes which termios flag. Pure, so a table test can check it.
#pragma once

#include <kov02/ce.h>
#include <termios.h>

namespace kov02::serial {

// DCB codes beyond the ones the application names (the mapping covers them all).
inline constexpr BYTE kOddParity = 1;
inline constexpr BYTE kEvenParity = 2;
inline constexpr BYTE kMarkParity = 3;
inline constexpr BYTE kSpaceParity = 4;
inline constexpr DWORD kDtrHandshake = 2;
inline constexpr DWORD kRtsHandshake = 2;
inline constexpr DWORD kRtsToggle = 3;

// Puts `t` into the raw binary baseline every port starts from, as the handset's serial drivers
// are raw by default: no input or output processing, no echo or signals, receiver on, modem
// lines ignored, one byte satisfies a read, no in-band marks (set_line_marks turns them on).
// The speed is kept.
void make_raw_baseline(termios& t);

// Turns the line discipline's in-band marking of breaks and bytes received in error (PARMRK with
// INPCK) on or off. While on, a literal 0xFF arrives doubled and every byte is inspected by the
// kernel; while off, a raw pty keeps the kernel's fast copy path.
void set_line_marks(termios& t, bool on);

// Writes the settings of `dcb` into `t`, which holds the baseline. Returns ERROR_SUCCESS, or the
// code for a setting a Linux tty cannot hold: ERROR_INVALID_PARAMETER for values out of range
// (a baud rate without a speed code, 0 included, since B0 would hang up the line),
// ERROR_NOT_SUPPORTED for DSR flow control, DSR sensitivity, DTR handshake and RTS toggle.
// One and a half stop bits, which Linux lacks, become two.
DWORD dcb_to_termios(const DCB& dcb, termios& t);

// The settings record of a line whose termios is `t`, as a port reports it before the first
// SetCommState: binary, DTR and RTS enabled (Linux raises both at open).
DCB dcb_from_termios(const termios& t);

// The speed code of a baud rate, B0 when there is none; and back (0 for an unknown code).
speed_t speed_of_baud(DWORD baud);
DWORD baud_of_speed(speed_t speed);

}  // namespace kov02::serial
