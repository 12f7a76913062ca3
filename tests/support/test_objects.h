// A small kernel object the kernel tests drive through the generic handle calls, and the reason
// line a failed device call leaves.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "kernel/handles.h"

namespace kov02::kernel::testing {

// Counts the bytes written to it; never blocks.
class CountingSink : public KernelObject {
 public:
  BOOL write(const void*, DWORD size, DWORD* put) override {
    bytes.fetch_add(size);
    *put = size;
    return TRUE;
  }
  std::atomic<long> bytes{0};
};

// Why the calling thread's last device open or control failed; empty when it did not.
inline std::wstring device_failure() {
  WCHAR text[512];
  return std::wstring(text, GetDeviceFailureW(text, 512));
}

}  // namespace kov02::kernel::testing
