// Regular files behind CreateFileW (platform/devices sends every name that is not a device here).
#pragma once

#include <kov02/ce.h>

#include <string>

namespace kov02::kernel {

// Opens an existing file by its Linux path for GENERIC_READ and/or GENERIC_WRITE. Share modes
// are honoured among this process's handles (share mode 0 is exclusive); other processes are not
// consulted, as Linux has no mandatory sharing. INVALID_HANDLE_VALUE with the last error set on
// failure: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED (also for a directory),
// ERROR_SHARING_VIOLATION.
HANDLE open_file(const std::string& path, DWORD access, DWORD share);

}  // namespace kov02::kernel
