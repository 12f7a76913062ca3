// Reading one GUdev device into a PresentPort: shared by the port list and the hot-plug watch.
// Only this folder sees GUdev.
#pragma once

#include <gudev/gudev.h>

#include <optional>

#include "ports/present_ports.h"

namespace kov02::ports {

// The port a tty device stands for; nullopt for ttys that are no real line (virtual terminals,
// the console, ptmx, UARTs with no hardware behind them) or have no device file.
std::optional<PresentPort> read_port(GUdevDevice* device);

// The port as far as a device that went away still tells (its device file and sysfs path).
PresentPort read_removed(GUdevDevice* device);

}  // namespace kov02::ports
