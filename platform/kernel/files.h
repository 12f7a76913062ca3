// Regular files behind CreateFileW (platform/devices sends every name that is not a device here),
// and paths resolved through their links.
#pragma once

#include <kov02/ce.h>

#include <optional>
#include <string>

namespace kov02::kernel {

// Opens an existing file by its Linux path for GENERIC_READ and/or GENERIC_WRITE. Share modes
// are honoured among this process's handles (share mode 0 is exclusive); other processes are not
// consulted, as Linux has no mandatory sharing. INVALID_HANDLE_VALUE with the last error set on
// failure: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED (also for a directory),
// ERROR_SHARING_VIOLATION.
HANDLE open_file(const std::string& path, DWORD access, DWORD share);

// The absolute path `path` leads to, without links ("/dev/ttyACM0" for a /dev/serial/by-id link);
// nullopt when it cannot be resolved (nothing is there, or a folder on the way cannot be read).
std::optional<std::string> real_path(const std::string& path);

}  // namespace kov02::kernel
