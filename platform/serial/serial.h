// Serial ports behind the handset's face: real ttys over termios, and an in-process fake port
// for tests. The device map (platform/devices) opens them through these two entry points.
#pragma once

#include <kov02/ce.h>

#include <string>

namespace kov02::serial {

// Opens a tty path non-blocking and exclusively (in-process table, flock, TIOCEXCL) and enters it
// in the handle table. INVALID_HANDLE_VALUE with the last error set on failure
// (ERROR_ACCESS_DENIED when it is held already, here or by another process: a live UUCP lock
// file, or for a tty other than a pty another process holding it open). `reason`, when given,
// receives why in plain words ("no such device", "in use by picocom (pid 4711)"). While open the
// port has a lock file where the lock folder takes one; closing it, or the process ending,
// restores the settings the tty had and removes the lock file.
HANDLE open_tty(const std::string& path, std::string* reason = nullptr);

// Opens the fake port registered under `name` (see fake_port.h); ERROR_FILE_NOT_FOUND when none.
HANDLE open_fake(const std::string& name);

}  // namespace kov02::serial
