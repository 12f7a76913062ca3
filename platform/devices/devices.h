// The device namespace behind CreateFileW, and the exec: hooks that stand in for drivers and
// kernel services this machine does not have.
//
// Device names end in ':' and exist only when HKEY_LOCAL_MACHINE\Platform\Devices maps them:
//   "COM1:"="/dev/ttyUSB0"          a tty (platform/serial)
//   "COM9:"="fake:NAME"             an in-process fake port (tests)
//   "RIL1:"="exec:PROGRAM [ARGS]"   DeviceIoControl runs PROGRAM ARGS 0xCCCCCCCC
// HKEY_LOCAL_MACHINE\Platform\Kernel "Reboot"="exec:..." serves KernelIoControl(IOCTL_HAL_REBOOT).
#pragma once

#include <kov02/ce.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

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

// Whether a hook may run: ERROR_SUCCESS, or ERROR_ACCESS_DENIED while the registry file is not
// trusted or when the program or a folder above it is not (registry/trust.h; one warning on
// stderr, "hook PATH refused: REASON"), or ERROR_FILE_NOT_FOUND for an empty command. A refusal
// gives `reason`, when wanted, as "hook PROGRAM refused: WHY".
DWORD hook_refusal(const std::vector<std::string>& argv, std::string* reason = nullptr);

// The hook time limit, 30 s unless changed (tests shorten it).
void set_hook_time_limit(std::chrono::milliseconds limit);

// The control code as a hook argument: "0x03001F88".
std::string format_control_code(DWORD code);

// Why the calling thread's last device open, device control or kernel control failed, as one
// line for the user in Linux words ("RIL1: not mapped in /etc/kov02tool/kov02tool.reg"); read
// through GetDeviceFailureW. Each open and control clears it as it starts; a failure sets it.
void set_device_failure(std::wstring line);

// The registry file in use for reason lines: its path, or "no registry file".
std::wstring registry_file_phrase();

}  // namespace kov02::devices

// The kernel's I/O-control entry, reached by the program through GetProcAddress on COREDLL.DLL.
// IOCTL_HAL_REBOOT runs the Reboot hook; without one, and for every other code, FALSE with
// ERROR_NOT_SUPPORTED: the host is never rebooted unless the registry says how.
BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
