// The radio: driver's reset pulses: a GPIO line through a recording stand-in for the kernel's
// GPIO calls (this kernel has no GPIO chip), RTS on the fake port's modem lines, a pty that has
// no modem lines, and the driver's answers through RIL1:.
#include <gtest/gtest.h>
#include <linux/gpio.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "devices/devices.h"
#include "devices/reset_line.h"
#include "eventually.h"
#include "registry/registry.h"
#include "serial/fake_port.h"
#include "serial_pty.h"
#include "test_objects.h"

namespace kov02::devices {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// gpiochip0 with 8 lines, MODEM_RST at offset 5; what each call did, in order.
class RecordingGpio : public GpioCalls {
 public:
  int open(const char* path) override {
    errno = open_error;
    if (std::string(path) != "/dev/gpiochip0") errno = ENOENT;
    return errno ? -1 : kChip;
  }
  int ioctl(int, unsigned long request, void* argument) override {
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
      static_cast<gpiochip_info*>(argument)->lines = 8;
    } else if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
      auto* info = static_cast<gpio_v2_line_info*>(argument);
      if (info->offset == 5) std::strcpy(info->name, "MODEM_RST");
      if (busy) std::strcpy(info->consumer, "modem-power");
    } else if (request == GPIO_V2_GET_LINE_IOCTL) {
      auto* line = static_cast<gpio_v2_line_request*>(argument);
      if (busy) return errno = EBUSY, -1;
      events.push_back("request " + std::to_string(line->offsets[0]) + " " + line->consumer +
                       ((line->config.flags & GPIO_V2_LINE_FLAG_OUTPUT) ? " output" : "") +
                       ((line->config.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) ? " active-low" : "") +
                       " starting " +
                       std::to_string(line->config.attrs[0].attr.values & line->config.attrs[0].mask));
      line->fd = kRequest;
    } else if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
      events.push_back("set " + std::to_string(static_cast<gpio_v2_line_values*>(argument)->bits));
      times.push_back(Clock::now());
      if (set_error) return errno = set_error, -1;
    }
    return 0;
  }
  void close(int fd) override { events.push_back("close " + std::to_string(fd)); }

  static constexpr int kChip = 40, kRequest = 41;
  int open_error = 0, set_error = 0;
  bool busy = false;
  std::vector<std::string> events;
  std::vector<Clock::time_point> times;
};

class ResetTest : public ::testing::Test {
 protected:
  void SetUp() override { set_gpio_calls(&gpio_); }
  void TearDown() override {
    set_gpio_calls(nullptr);
    registry::clear();
  }
  void Load(const std::string& values) {
    std::string error;
    ASSERT_TRUE(registry::load_string("REGEDIT4\n" + values, &error)) << error;
  }
  RecordingGpio gpio_;
  std::string reason_;
};

const std::vector<std::string> kWholePulse = {"request 5 kov02tool output starting 0", "set 1", "set 0",
                                              "close 41", "close 40"};

TEST_F(ResetTest, GpioPulseByNameOrOffsetHoldsTheLineActiveThenInactiveThenReleasesIt) {
  ASSERT_EQ(pulse_gpio("gpiochip0:MODEM_RST", {150ms, false}, &reason_), ERROR_SUCCESS) << reason_;
  EXPECT_EQ(gpio_.events, kWholePulse);
  EXPECT_GE(gpio_.times[1] - gpio_.times[0], 150ms);

  gpio_.events.clear();
  ASSERT_EQ(pulse_gpio("/dev/gpiochip0:5", {1ms, true}, &reason_), ERROR_SUCCESS) << reason_;
  EXPECT_EQ(gpio_.events.front(), "request 5 kov02tool output active-low starting 0");
}

TEST_F(ResetTest, GpioFailuresSayWhyAndLeaveNothingHeld) {
  struct Case {
    std::string target;
    void (*arrange)(RecordingGpio&);
    DWORD error;
    std::string reason;
  };
  const Case cases[] = {
      {"gpiochip9:5", [](RecordingGpio&) {}, ERROR_FILE_NOT_FOUND, "no GPIO chip /dev/gpiochip9"},
      {"gpiochip0:RADIO", [](RecordingGpio&) {}, ERROR_FILE_NOT_FOUND,
       "/dev/gpiochip0 has no line named RADIO"},
      {"gpiochip0:8", [](RecordingGpio&) {}, ERROR_FILE_NOT_FOUND, "/dev/gpiochip0 has no line 8 (it has 8)"},
      {"gpiochip0", [](RecordingGpio&) {}, ERROR_INVALID_PARAMETER,
       "\"gpio:gpiochip0\" does not name CHIP:LINE"},
      {"gpiochip0:5", [](RecordingGpio& g) { g.open_error = EACCES; }, ERROR_ACCESS_DENIED,
       "/dev/gpiochip0: permission denied (see kov02tool.reg(5))"},
      {"gpiochip0:5", [](RecordingGpio& g) { g.busy = true; }, ERROR_BUSY,
       "/dev/gpiochip0 line 5 is busy (used by \"modem-power\")"},
  };
  for (const Case& c : cases) {
    RecordingGpio gpio;
    c.arrange(gpio);
    set_gpio_calls(&gpio);
    std::string reason;
    EXPECT_EQ(pulse_gpio(c.target, {1ms, false}, &reason), c.error) << c.target;
    EXPECT_EQ(reason, c.reason);
    EXPECT_TRUE(std::find(gpio.events.begin(), gpio.events.end(), "set 1") == gpio.events.end());
  }
  // A line that cannot be driven is still set back and released.
  gpio_.set_error = EIO;
  set_gpio_calls(&gpio_);
  EXPECT_NE(pulse_gpio("gpiochip0:5", {1ms, false}, &reason_), ERROR_SUCCESS);
  EXPECT_EQ(gpio_.events, kWholePulse);
}

// Runs a pulse of `shape` on `port` in a thread; whether RTS was seen raised while it ran.
bool RtsSeenDuringPulse(const std::shared_ptr<serial::FakePort>& line, std::wstring port, DWORD* error,
                        bool* open_during = nullptr) {
  std::string reason;
  std::thread pulse([&] { *error = pulse_modem_signal(false, port, {300ms, false}, &reason); });
  const bool seen = test_support::eventually([&] { return line->rts(); }, 5s);
  if (open_during) *open_during = line->is_open();
  pulse.join();
  return seen;
}

TEST_F(ResetTest, RtsPulsesThePortHeldOrOpensItForThePulse) {
  auto line = serial::FakePort::create("radio-rts");
  Load("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM7:\"=\"fake:radio-rts\"\n");
  HANDLE held = CreateFileW(L"COM7:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DWORD error = 1;
  EXPECT_TRUE(RtsSeenDuringPulse(line, L"com7:", &error));
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_FALSE(line->rts());
  EXPECT_TRUE(line->is_open());
  CloseHandle(held);

  bool open_during = false;
  EXPECT_TRUE(RtsSeenDuringPulse(line, L"COM7:", &error, &open_during));
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_TRUE(open_during);
  EXPECT_FALSE(line->rts());
  EXPECT_FALSE(line->is_open());
}

TEST_F(ResetTest, ModemSignalFailuresSayWhy) {
  serial_test::SerialPty pty;
  Load("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM8:\"=\"" + pty.path() + "\"\n");
  EXPECT_EQ(pulse_modem_signal(true, L"COM8:", {1ms, false}, &reason_), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(reason_, "COM8: has no modem lines: DTR cannot reset the module");
  EXPECT_EQ(pulse_modem_signal(false, L"COM9:", {1ms, false}, &reason_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reason_, "COM9: not mapped in no registry file");
}

// The driver through the face: what the program's three requests do.
BOOL Control(DWORD code) {
  HANDLE ril = CreateFileW(L"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(ril, INVALID_HANDLE_VALUE);
  const BOOL done = DeviceIoControl(ril, code, nullptr, 0, nullptr, 0, nullptr, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(ril);
  SetLastError(error);
  return done;
}

TEST_F(ResetTest, RadioDriverAnswersTheThreeCodesFromItsRegistryValues) {
  Load("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"radio:\"\n");
  for (DWORD code : {0x03001F80u, 0x03001F84u, 0x03001F88u}) EXPECT_TRUE(Control(code)) << code;
  EXPECT_FALSE(Control(0x03001F8Cu));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

  Load(
      "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"radio:\"\n[HKEY_LOCAL_MACHINE\\Platform\\Radio]\n"
      "\"Reset\"=\"gpio:gpiochip0:MODEM_RST\"\n\"ResetPulse\"=dword:00000001\n\"ResetActiveLow\"=dword:"
      "00000001\n"
      "\"Suspend\"=\"sleep:\"\n");
  EXPECT_TRUE(Control(0x03001F88u));
  EXPECT_EQ(gpio_.events.front(), "request 5 kov02tool output active-low starting 0");
  gpio_.busy = true;
  EXPECT_FALSE(Control(0x03001F88u));
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_EQ(kernel::testing::device_failure(),
            L"RIL1: reset by gpio:gpiochip0:MODEM_RST failed: /dev/gpiochip0 line 5 is busy (used by "
            L"\"modem-power\")");
  EXPECT_FALSE(Control(0x03001F80u));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kov02::devices
