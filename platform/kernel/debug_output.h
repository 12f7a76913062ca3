// Where OutputDebugStringW writes: stderr by default, or the file start-up names from the
// registry (HKEY_LOCAL_MACHINE\Platform\Debug "Output" = "stderr" | "file:PATH").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kov02::kernel {

// Where the debug lines go: "stderr" or "file:PATH", and the size past which a log file is
// moved to PATH.1 and started afresh.
struct DebugDestination {
  std::wstring output = L"stderr";
  std::uint64_t max_bytes = 64 * 1024 * 1024;
};

// Sends every later debug line to `destination`. Returns false (with a reason) when it is
// malformed or cannot be opened; the previous destination then stays.
bool direct_debug_output(const DebugDestination& destination, std::string* error);

// Test hook: every OutputDebugStringW text (as given, before timestamp and thread name) is also
// handed to `hook`, on the calling thread. An empty function removes the hook.
void set_debug_output_hook(std::function<void(std::wstring_view)> hook);

}  // namespace kov02::kernel
