// One line on stderr for what the serial layer sees and the application cannot report itself.
#pragma once

#include <string>

namespace kov02::serial {

// Queued, so a pump or the update never waits for a reader of stderr.
void log_line(const std::string& line);

// "serial port PATH: WHAT: strerror(error)".
void log_failure(const std::string& path, const char* what, int error);

}  // namespace kov02::serial
