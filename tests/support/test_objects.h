// A small kernel object the kernel tests drive through the generic handle calls.
#pragma once

#include <atomic>
#include <memory>

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

}  // namespace kov02::kernel::testing
