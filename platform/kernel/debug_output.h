// Where OutputDebugStringW writes: stderr by default, or the file the registry names
// (HKEY_LOCAL_MACHINE\Platform\Debug "Output" = "stderr" | "file:PATH").
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kov02::kernel {

// Reads the destination from the loaded registry; called once at start-up after the registry.
// Returns false (with a reason) when the destination cannot be opened.
bool configure_debug_output(std::string* error);

// Test hook: every OutputDebugStringW text (as given, before timestamp and thread name) is also
// handed to `hook`, on the calling thread. An empty function removes the hook.
void set_debug_output_hook(std::function<void(std::wstring_view)> hook);

}  // namespace kov02::kernel
