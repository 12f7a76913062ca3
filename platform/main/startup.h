// The platform's start-up before the program's WinMain runs.
#pragma once

#include <string>

namespace kov02 {

// Loads the registry file named by KOV02_REGISTRY (unset or empty: an empty registry) and
// directs the debug output where it says. On failure `error` receives the one line to show.
bool start_platform(std::string* error);

// Directs the debug output where the loaded registry says (HKEY_LOCAL_MACHINE\Platform\Debug
// "Output" and "MaxBytes"). Returns false (with a reason) when it cannot be opened.
bool configure_debug_output(std::string* error);

}  // namespace kov02
