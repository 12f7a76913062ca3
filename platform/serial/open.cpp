// Entry points the device map opens serial ports through.
#include "serial/serial.h"

namespace kov02::serial {

HANDLE open_tty(const std::string&) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

HANDLE open_fake(const std::string&) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

}  // namespace kov02::serial
