// The hot-plug watch on held ports: while a tty is held, a pulled adapter and the same adapter
// put back are noticed and said in one line each. Nothing is reopened or resumed: the running
// operation already failed on the hang-up, and the person decides what comes next.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kov02::ports {

// Where the lines go besides the debug output: "COM1: /dev/ttyUSB0 (FT232R USB UART) was
// unplugged", "COM1: /dev/ttyUSB0 (FT232R USB UART) is back as /dev/ttyUSB1". Called on the
// watch's own thread, never with a lock held; an empty sink drops them.
void set_notice_sink(std::function<void(const std::string& line)> sink);

// Watches the adapter behind the tty `path`, held under the device name `name`, for as long as
// the returned object lives. Null when udev knows no serial port there (a pty, a plain file):
// there is nothing to be pulled.
std::shared_ptr<void> watch_port(const std::string& name, const std::string& path);

}  // namespace kov02::ports
