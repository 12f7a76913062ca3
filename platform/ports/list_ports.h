// kov02tool --list-ports [--json]: the serial ports present, each with its labels, the registry
// names that map to it and who holds it.
#pragma once

namespace kov02::ports {

// Prints the list on stdout (one line a port, or a JSON array) and returns the exit status: 0,
// also when no port is present (then one line on stderr says so). Reads the registry already
// loaded for the names.
int list_ports(bool json);

}  // namespace kov02::ports
