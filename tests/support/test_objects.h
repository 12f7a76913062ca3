// Small kernel objects the kernel tests drive through the generic handle calls.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "kernel/handles.h"

namespace kov02::kernel::testing {

// Owns both ends of a non-blocking pipe; reads block (with consent) until bytes or a close.
class PipeObject : public KernelObject {
 public:
  PipeObject() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      read_fd_ = fds[0];
      write_fd_ = fds[1];
    }
  }
  ~PipeObject() override {
    ::close(read_fd_);
    ::close(write_fd_);
  }
  int write_fd() const { return write_fd_; }

  BOOL read(void* buffer, DWORD size, DWORD* got) override {
    for (;;) {
      const ssize_t n = ::read(read_fd_, buffer, size);
      if (n >= 0) {
        *got = static_cast<DWORD>(n);
        return TRUE;
      }
      if (errno != EAGAIN) return FALSE;
      if (wait_fd(*this, read_fd_, POLLIN, -1) != WaitResult::ready) return FALSE;
    }
  }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

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
