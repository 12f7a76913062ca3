// The platform's start-up before the program's WinMain runs.
#pragma once

#include <string>

namespace kov02::kernel {

// Loads the registry file named by KOV02_REGISTRY (unset or empty: an empty registry) and
// directs the debug output where it says. On failure `error` receives the one line to show.
bool start_platform(std::string* error);

}  // namespace kov02::kernel
