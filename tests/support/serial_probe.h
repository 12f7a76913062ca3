// Small probes of an open serial port for tests: wait until input has arrived, read what is
// there, and the CPU time a waiting thread has burnt.
#pragma once

#include <kov02/ce.h>
#include <time.h>

#include <chrono>
#include <thread>
#include <vector>

namespace serial_test {

using Bytes = std::vector<BYTE>;

// Waits up to two seconds until the port reports at least `count` bytes queued (bytes written
// to a pty master reach the near end a moment later); returns the count last seen. It clears
// the port's error state as it looks.
inline DWORD wait_queued(HANDLE port, DWORD count) {
  COMSTAT status{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ClearCommError(port, nullptr, &status)) return 0;
    if (status.cbInQue >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status.cbInQue;
}

// Reads up to `size` bytes that are there now; the port's read time-outs become "return at once".
inline Bytes read_now(HANDLE port, DWORD size) {
  COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(port, &immediate);
  Bytes bytes(size);
  DWORD got = 0;
  ReadFile(port, bytes.data(), size, &got, nullptr);
  bytes.resize(got);
  return bytes;
}

// CPU time the calling thread has used.
inline std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace serial_test
