#include "serial/serial_log.h"

#include <unistd.h>

#include <cstring>

#include "kernel/output_queue.h"

namespace kov02::serial {

void log_line(const std::string& line) {
  kernel::fd_output(STDERR_FILENO)->push("kov02tool: " + line + "\n", kernel::OutputQueue::Kind::line);
}

void log_failure(const std::string& path, const char* what, int error) {
  log_line("serial port " + path + ": " + what + ": " + strerrordesc_np(error));
}

}  // namespace kov02::serial
