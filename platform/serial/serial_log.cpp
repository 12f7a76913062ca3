#include "serial/serial_log.h"

#include <cstring>

#include "kernel/stderr_lines.h"

namespace kov02::serial {

void log_line(const std::string& line) {
  kernel::stderr_line(line);
}

void log_failure(const std::string& path, const char* what, int error) {
  log_line("serial port " + path + ": " + what + ": " + strerrordesc_np(error));
}

}  // namespace kov02::serial
