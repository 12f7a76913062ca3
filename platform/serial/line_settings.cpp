// DCB onto termios and back.
#include "serial/line_settings.h"

namespace kov02::serial {
namespace {

struct SpeedRow {
  DWORD baud;
  speed_t speed;
};

constexpr SpeedRow kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t size_flag(BYTE bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

BYTE bits_of(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

tcflag_t parity_flags(BYTE parity) {
  switch (parity) {
    case kOddParity:
      return PARENB | PARODD;
    case kEvenParity:
      return PARENB;
    case kMarkParity:
      return PARENB | PARODD | CMSPAR;
    case kSpaceParity:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

BYTE parity_of(tcflag_t cflag) {
  if (!(cflag & PARENB)) return NOPARITY;
  if (cflag & CMSPAR) return (cflag & PARODD) ? kMarkParity : kSpaceParity;
  return (cflag & PARODD) ? kOddParity : kEvenParity;
}

DWORD check_dcb(const DCB& dcb) {
  if (speed_of_baud(dcb.BaudRate) == B0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
      dcb.Parity > kSpaceParity || dcb.StopBits > TWOSTOPBITS) {
    return ERROR_INVALID_PARAMETER;
  }
  if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == kDtrHandshake ||
      dcb.fRtsControl == kRtsToggle) {
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

}  // namespace

speed_t speed_of_baud(DWORD baud) {
  for (const SpeedRow& row : kSpeeds) {
    if (row.baud == baud) return row.speed;
  }
  return B0;
}

DWORD baud_of_speed(speed_t speed) {
  for (const SpeedRow& row : kSpeeds) {
    if (row.speed == speed) return row.baud;
  }
  return 0;
}

void make_raw_baseline(termios& t) {
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
  set_line_marks(t, false);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  // One byte satisfies a read, so a non-blocking read with nothing there says EAGAIN and a read
  // of 0 means the line was hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

void set_line_marks(termios& t, bool on) {
  if (on) {
    t.c_iflag |= PARMRK | INPCK;
  } else {
    t.c_iflag &= ~(PARMRK | INPCK);
  }
}

DWORD dcb_to_termios(const DCB& dcb, termios& t) {
  const DWORD error = check_dcb(dcb);
  if (error != ERROR_SUCCESS) return error;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= size_flag(dcb.ByteSize) | parity_flags(dcb.Parity);
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsHandshake) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.fOutX || dcb.fInX) {
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  const speed_t speed = speed_of_baud(dcb.BaudRate);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return ERROR_SUCCESS;
}

DCB dcb_from_termios(const termios& t) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baud_of_speed(cfgetospeed(&t));
  dcb.fBinary = 1;
  dcb.fParity = (t.c_cflag & PARENB) ? 1 : 0;
  dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = (t.c_cflag & CRTSCTS) ? kRtsHandshake : RTS_CONTROL_ENABLE;
  dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  dcb.ByteSize = bits_of(t.c_cflag);
  dcb.Parity = parity_of(t.c_cflag);
  dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return dcb;
}

}  // namespace kov02::serial
