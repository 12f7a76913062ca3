// The platform's start-up before the program's WinMain runs.
#pragma once

#include <string>

namespace kov02 {

// Loads the registry file (load_registry) and directs the debug output where it says. Without
// a registry file it says on stderr where it looked. On failure `error` receives the one line
// to show.
bool start_platform(std::string* error);

// Loads the first registry file of registry::registry_places() that exists, or empties the
// registry when there is none. With KOV02_REGISTRY set only that file counts, and a missing one
// is an error. False, with the line to show in `error`, when the file cannot be used.
bool load_registry(std::string* error);

// Directs the debug output where the loaded registry says (HKEY_LOCAL_MACHINE\Platform\Debug
// "Output" and "MaxBytes"). Returns false (with a reason) when it cannot be opened.
bool configure_debug_output(std::string* error);

}  // namespace kov02
