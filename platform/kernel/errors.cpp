// The calling thread's last error and the one mapping from errno onto the handset's ERROR_* codes.
#include <cerrno>

#include "kernel/handles.h"

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;

struct ErrnoRow {
  int error;
  DWORD code;
};

// A tty held by another process answers EBUSY (TIOCEXCL); the handset reports a port in use as
// access denied, so EBUSY maps there. Anything not listed is a general failure.
constexpr ErrnoRow kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ENOTTY, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {EIO, ERROR_IO_DEVICE},
    {ENODEV, ERROR_DEVICE_REMOVED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ECANCELED, ERROR_OPERATION_ABORTED},
    {EAGAIN, ERROR_BUSY},
};
}  // namespace

DWORD GetLastError() {
  return t_last_error;
}

void SetLastError(DWORD error) {
  t_last_error = error;
}

namespace kov02::kernel {

DWORD error_from_errno(int error) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.error == error) return row.code;
  }
  return ERROR_GEN_FAILURE;
}

void set_last_error_from_errno() {
  SetLastError(error_from_errno(errno));
}

}  // namespace kov02::kernel
