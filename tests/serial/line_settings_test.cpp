// The DCB <-> termios mapping, as tables.
#include "serial/line_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kov02::serial {
namespace {

DCB dcb_with(DWORD baud, BYTE bits, BYTE parity, BYTE stop) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = bits;
  dcb.Parity = parity;
  dcb.StopBits = stop;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

termios baseline() {
  termios t{};
  make_raw_baseline(t);
  return t;
}

struct MappingCase {
  const char* name;
  DCB dcb;
  speed_t speed;
  tcflag_t cflag_set;   // CSIZE, parity, CSTOPB, CRTSCTS bits expected
  tcflag_t iflag_flow;  // IXON / IXOFF expected
  BYTE stop_read_back;  // what the termios reads back as
};

// A `baud` 8N1 line with `change` made to it.
template <typename Change>
DCB changed(Change change, DWORD baud = 115200) {
  DCB dcb = dcb_with(baud, 8, NOPARITY, ONESTOPBIT);
  change(dcb);
  return dcb;
}

TEST(LineSettings, DcbMapsOntoTermiosAndBack) {
  const MappingCase cases[] = {
      {"update port 115200 8N1.5", dcb_with(115200, 8, NOPARITY, ONE5STOPBITS), B115200, CS8 | CSTOPB, 0,
       TWOSTOPBITS},
      {"bridge 115200 8N1", dcb_with(115200, 8, NOPARITY, ONESTOPBIT), B115200, CS8, 0, ONESTOPBIT},
      {"9600 7E2", dcb_with(9600, 7, kEvenParity, TWOSTOPBITS), B9600, CS7 | PARENB | CSTOPB, 0, TWOSTOPBITS},
      {"57600 5O1", dcb_with(57600, 5, kOddParity, ONESTOPBIT), B57600, CS5 | PARENB | PARODD, 0, ONESTOPBIT},
      {"mark parity", dcb_with(19200, 6, kMarkParity, ONESTOPBIT), B19200, CS6 | PARENB | PARODD | CMSPAR, 0,
       ONESTOPBIT},
      {"space parity", dcb_with(4800, 8, kSpaceParity, ONESTOPBIT), B4800, CS8 | PARENB | CMSPAR, 0,
       ONESTOPBIT},
      {"cts flow", changed([](DCB& d) { d.fOutxCtsFlow = 1; }, 921600), B921600, CS8 | CRTSCTS, 0,
       ONESTOPBIT},
      {"xon/xoff both ways", changed([](DCB& d) { d.fOutX = d.fInX = 1; }, 38400), B38400, CS8, IXON | IXOFF,
       ONESTOPBIT},
  };
  constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    termios t = baseline();
    ASSERT_EQ(dcb_to_termios(c.dcb, t), ERROR_SUCCESS);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & kCflagMask, c.cflag_set);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag_flow);
    EXPECT_TRUE(t.c_cflag & CLOCAL) << "the baseline's flags survive";
    EXPECT_EQ(t.c_iflag & (PARMRK | INPCK), 0u) << "no in-band marks until a mask asks for them";

    const DCB back = dcb_from_termios(t);
    EXPECT_EQ(back.BaudRate, c.dcb.BaudRate);
    EXPECT_EQ(back.ByteSize, c.dcb.ByteSize);
    EXPECT_EQ(back.Parity, c.dcb.Parity);
    EXPECT_EQ(back.StopBits, c.stop_read_back);
    EXPECT_EQ(back.fOutxCtsFlow, c.dcb.fOutxCtsFlow);
    EXPECT_EQ(back.fOutX, c.dcb.fOutX);
    EXPECT_EQ(back.fInX, c.dcb.fInX);
    if (c.dcb.fOutX) {
      EXPECT_EQ(back.XonChar, 0x11);
    }
  }
}

TEST(LineSettings, SettingsALinuxTtyCannotHoldAreRefusedAndLeaveTheTermiosAlone) {
  struct Refusal {
    const char* name;
    DCB dcb;
    DWORD error;
  };
  const Refusal cases[] = {
      {"baud 0 would hang up the line", dcb_with(0, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER},
      {"baud without a speed code", dcb_with(12345, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER},
      {"4 data bits", dcb_with(9600, 4, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER},
      {"9 data bits", dcb_with(9600, 9, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER},
      {"parity code 5", dcb_with(9600, 8, 5, ONESTOPBIT), ERROR_INVALID_PARAMETER},
      {"stop bits code 3", dcb_with(9600, 8, NOPARITY, 3), ERROR_INVALID_PARAMETER},
      {"DSR flow control", changed([](DCB& d) { d.fOutxDsrFlow = 1; }), ERROR_NOT_SUPPORTED},
      {"DSR sensitivity", changed([](DCB& d) { d.fDsrSensitivity = 1; }), ERROR_NOT_SUPPORTED},
      {"DTR handshake", changed([](DCB& d) { d.fDtrControl = kDtrHandshake; }), ERROR_NOT_SUPPORTED},
      {"RTS toggle", changed([](DCB& d) { d.fRtsControl = kRtsToggle; }), ERROR_NOT_SUPPORTED},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    const termios before = baseline();
    termios t = before;
    EXPECT_EQ(dcb_to_termios(c.dcb, t), c.error);
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  }
}

}  // namespace
}  // namespace kov02::serial
