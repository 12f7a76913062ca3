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
// The program is checked as hook_refusal() does and started from the descriptor it was checked
// through (ERROR_ACCESS_DENIED with one warning when it is no longer trusted). Waiting is a
// consent point; on the UI thread the window stays alive meanwhile (kernel::keeping_poll). Exit
// status 0: TRUE. Any other end: FALSE with ERROR_GEN_FAILURE; a program that cannot be started:
// ERROR_FILE_NOT_FOUND; one still running after the time limit: ERROR_TIMEOUT. However it ends,
// every process it started is killed and reaped with it (hook_descendants.h). A failure also
// gives `reason`, when wanted, in words for a reason line ("hook /usr/sbin/x exited with status
// 3", "hook /usr/sbin/x timed out after 30 s").
BOOL run_hook(const std::vector<std::string>& argv, DWORD code, std::string* reason = nullptr);

// hook_refusal() and run_hook() in one, with one trust check of the program: for a hook run as
// soon as the registry names it.
BOOL run_allowed_hook(const std::vector<std::string>& argv, DWORD code, std::string* reason = nullptr);

// Whether a hook may run: ERROR_SUCCESS, or ERROR_ACCESS_DENIED while the registry file is not
// trusted or when the program or a folder above it is not (registry/trust.h; one warning on
// stderr, "hook PATH refused: REASON"), or ERROR_FILE_NOT_FOUND for an empty command. A refusal
// gives `reason`, when wanted, as "hook PROGRAM refused: WHY".
DWORD hook_refusal(const std::vector<std::string>& argv, std::string* reason = nullptr);

// The serial port this process holds open under device name `name` ("COM1:"), or null.
std::shared_ptr<kernel::KernelObject> held_device(std::wstring_view name);

// Opens device `name` through the device map for a moment (a reset pulse on a port the program
// does not hold): as CreateFileW, without counting as held.
HANDLE open_for_pulse(std::wstring_view name);

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

// Why the calling thread's last device open, device control or kernel control failed, as one
// line for the user in Linux words ("RIL1: not mapped in /etc/kov02tool/kov02tool.reg"); read
// through GetDeviceFailureW. Each open and control clears it as it starts; a failure sets it.
void set_device_failure(std::wstring line);
// The calling thread's reason line as it stands, whole (GetDeviceFailureW copies what fits).
const std::wstring& device_failure();

// Refuses a control of `who` ("RIL1", "Reboot"): the reason line "WHO: WHY", the same line as
// debug output, and `error` as the last error. FALSE, for the control to return.
BOOL refuse(std::wstring_view who, DWORD error, const std::string& why);

// The registry file in use for reason lines: its path, or "no registry file".
std::wstring registry_file_phrase();

}  // namespace kov02::devices

// The kernel's I/O-control entry, reached by the program through GetProcAddress on COREDLL.DLL.
// IOCTL_HAL_REBOOT runs the Reboot hook; without one, and for every other code, FALSE with
// ERROR_NOT_SUPPORTED: the host is never rebooted unless the registry says how.
BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
