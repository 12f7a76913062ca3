// The module's reset line behind the radio: driver's "Reset" value. A GPIO line of the kernel's
// GPIO character device (interface v2), or the RTS or DTR signal of a serial port, is driven
// active for the pulse, then inactive, then released, on every path.
//
//   "gpio:CHIP:LINE"   CHIP "gpiochip0" (below /dev) or a path; LINE an offset or a line name
//   "rts:COMn:"        RTS of the port the device map names COMn:
//   "dtr:COMn:"        DTR of that port
#pragma once

#include <kov02/ce.h>

#include <chrono>
#include <string>
#include <string_view>

namespace kov02::devices {

// The system calls a GPIO line needs, so tests can stand in for a kernel that has no GPIO chip.
// Each answers as the system call does: -1 with errno on failure.
class GpioCalls {
 public:
  virtual ~GpioCalls() = default;
  virtual int open(const char* path) = 0;
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual void close(int fd) = 0;
};

// The real calls; the default.
GpioCalls& linux_gpio_calls();
// Replaces the calls every later GPIO pulse uses (nullptr: the real ones again). Tests only.
void set_gpio_calls(GpioCalls* calls);

// How a pulse is shaped.
struct PulseShape {
  std::chrono::milliseconds length{100};
  bool active_low = false;
};

// Pulses a reset line: pulse_gpio the GPIO line `target` names (the Reset value without its
// "gpio:": "gpiochip0:MODEM_RST"), pulse_modem_signal DTR (`dtr`) or else RTS of the port the
// device map names `port` ("COM1:"). ERROR_SUCCESS, or the error with `reason` set in plain words
// ("gpiochip0 line 7 is busy (used by \"modem-power\")").
DWORD pulse_gpio(std::string_view target, const PulseShape& shape, std::string* reason);
DWORD pulse_modem_signal(bool dtr, std::wstring_view port, const PulseShape& shape, std::string* reason);

}  // namespace kov02::devices
