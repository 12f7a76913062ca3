// The device namespace behind CreateFileW, and the exec: hooks that stand in for drivers and
// kernel services this machine does not have.
//
// Device names end in ':' and exist only when HKEY_LOCAL_MACHINE\Platform\Devices maps them:
//   "COM1:"="/dev/ttyUSB0"          a tty (platform/serial)
//   "COM9:"="fake:NAME"             an in-process fake port (tests)
//   "RIL1:"="exec:PROGRAM [ARGS]"   DeviceIoControl runs PROGRAM ARGS 0xCCCCCCCC
//   "RIL1:"="radio:"                the built-in radio driver (radio.h), set up under
//                                   HKEY_LOCAL_MACHINE\Platform\Radio
// HKEY_LOCAL_MACHINE\Platform\Kernel "Reboot"="exec:..." or "logind:" serves
// KernelIoControl(IOCTL_HAL_REBOOT).
#pragma once

#include <kov02/ce.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/handles.h"

namespace kov02::devices {

// Splits an exec: command on blanks into program and arguments; no shell, no quoting.
std::vector<std::string> split_command(std::string_view command);

// Runs a hook: argv plus the control code as one last argument ("0x" and eight upper-case hex
// digits), stdin from /dev/null, and its stdout and stderr passed on to the program's stderr
// through its output queue (stdout belongs to the console UI; a stalled reader holds up no hook).
// Waiting is a consent point. Exit status 0: TRUE. Any other end: FALSE with ERROR_GEN_FAILURE;
// a program that cannot be started: ERROR_FILE_NOT_FOUND; one still running after the time limit
// is killed with every process of its group (a hook runs in a group of its own): ERROR_TIMEOUT.
BOOL run_hook(const std::vector<std::string>& argv, DWORD code);

// Whether a hook may run: ERROR_SUCCESS, or ERROR_ACCESS_DENIED while the registry file is not
// trusted or when the program or its folder is not (one warning on stderr naming the file and
// why), or ERROR_FILE_NOT_FOUND for an empty command.
DWORD hook_refusal(const std::vector<std::string>& argv);

// The serial port this process holds open under device name `name` ("COM1:"), or null.
std::shared_ptr<kernel::KernelObject> held_device(std::wstring_view name);

// Opens device `name` through the device map for a moment (a reset pulse on a port the program
// does not hold): as CreateFileW, without counting as held.
HANDLE open_for_pulse(std::wstring_view name);

// Sets the calling thread's reason line, the text GetDeviceOpenFailureW hands the program: why
// a device could not be opened or refused a control ("RIL1: ModemManager refused ...").
void set_device_failure(std::wstring line);

// The built-in radio driver behind "radio:" (radio.cpp): its device object, and a control on it.
HANDLE open_radio_device();
bool is_radio_device(const kernel::KernelObject& object);
BOOL radio_control(DWORD code);
// The program opened a serial port on `path`: when ModemManager was made to let go of that tty,
// it gets it back once the port is gone.
void note_radio_port(kernel::KernelObject& port, const std::string& path);

// logind's reboot (logind.cpp): CanReboot, then Reboot. "yes" reboots; "challenge" reboots with
// interactive authorisation when a polkit agent can ask the user (the GTK front-end says so
// through set_interactive_authorisation), and is refused otherwise; anything else, or no logind,
// is refused. A refusal sets the reason line ("Reboot: ...") and the last error.
BOOL logind_reboot();
void set_interactive_authorisation(bool agent_can_ask);
// Holds logind's "shutdown:sleep" block inhibitor ("KOV02Tool", "Firmware update running"), or
// lets it go. Without logind nothing is held; holding twice holds one.
void hold_sleep_guard(bool hold);

// The hook time limit, 30 s unless changed (tests shorten it).
void set_hook_time_limit(std::chrono::milliseconds limit);

// The control code as a hook argument: "0x03001F88".
std::string format_control_code(DWORD code);

}  // namespace kov02::devices

// The kernel's I/O-control entry, reached by the program through GetProcAddress on COREDLL.DLL.
// IOCTL_HAL_REBOOT runs the Reboot hook; without one, and for every other code, FALSE with
// ERROR_NOT_SUPPORTED: the host is never rebooted unless the registry says how.
BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
