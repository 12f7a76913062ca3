// Low latency on real adapters. A USB serial adapter holds received bytes until its latency
// timer runs out (16 ms by default on common chips), which the update pays on every chunk
// acknowledgement; a driver asked for low latency (ASYNC_LOW_LATENCY) hands bytes on at once.
// Asked on open unless the registry's HKEY_LOCAL_MACHINE\Platform\Serial "LowLatency" is 0, and
// taken back on close or when the process ends.
#pragma once

#include <linux/serial.h>

#include <string>

namespace kov02::serial {

// The two calls that read and change a tty's serial settings (TIOCGSERIAL, TIOCSSERIAL): 0, or
// -1 with errno. Tests put a fake line's in their place.
struct SerialInfoCalls {
  int (*get)(int fd, serial_struct* info) = nullptr;
  int (*set)(int fd, serial_struct* info) = nullptr;
};

// Puts `calls` in place (a null member means the real call) and returns what was there.
SerialInfoCalls use_serial_info_calls(SerialInfoCalls calls);

// Asks the tty on `fd` for low latency unless the registry turns it off. True when this changed
// the tty, so that closing must take it back. A tty without serial settings (a pty: ENOTTY or
// EINVAL) is skipped silently; another refusal is said once on stderr and the port works on.
bool ask_low_latency(int fd, const std::string& path);

// Takes low latency back off a tty that ask_low_latency set it on. Async-signal-safe: the
// process's ending-signal handler calls it.
void drop_low_latency(int fd);

}  // namespace kov02::serial
