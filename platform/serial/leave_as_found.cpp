#include "serial/leave_as_found.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "serial/low_latency.h"

namespace kov02::serial {
namespace {

enum : int { kFree, kFilling, kHeld };

struct Entry {
  std::atomic<int> state{kFree};
  int fd = -1;
  termios found{};
  bool low_latency = false;
  char lock_path[PATH_MAX] = {};
};

// Never destroyed: the exit handler runs after static objects may have gone. An entry freed
// while a signal handler reads it may be restored once more, harmlessly, as the process ends.
std::array<Entry, 64>& entries() {
  static auto* table = new std::array<Entry, 64>;
  return *table;
}

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Calls only async-signal-safe functions (tcsetattr, ioctl, unlink).
void restore_all() {
  for (Entry& entry : entries()) {
    if (entry.state.load(std::memory_order_acquire) != kHeld) continue;
    ::tcsetattr(entry.fd, TCSANOW, &entry.found);
    if (entry.low_latency) drop_low_latency(entry.fd);
    if (entry.lock_path[0] != '\0') ::unlink(entry.lock_path);
  }
}

// The handler is reset to the default as it starts (SA_RESETHAND), so raising the signal again
// ends the process the way the signal would have, with the status a parent expects.
void on_ending_signal(int signal) {
  const int saved_errno = errno;
  restore_all();
  errno = saved_errno;
  ::raise(signal);
}

void install_handlers() {
  std::atexit(restore_all);
  for (int signal : kEndingSignals) {
    struct sigaction current {};
    // sigaction: 0, or -1 with errno (not for these signals).
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction ending {};
    ending.sa_handler = on_ending_signal;
    sigemptyset(&ending.sa_mask);
    ending.sa_flags = SA_RESETHAND;
    ::sigaction(signal, &ending, nullptr);
  }
}

}  // namespace

void leave_ports_as_found() {
  restore_all();
}

int remember_port(int fd, const termios& found, const std::string& lock_path, bool low_latency) {
  static std::once_flag installed;
  std::call_once(installed, install_handlers);
  auto& table = entries();
  for (std::size_t i = 0; i < table.size(); ++i) {
    int expected = kFree;
    if (!table[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
    Entry& entry = table[i];
    entry.fd = fd;
    entry.found = found;
    entry.low_latency = low_latency;
    std::strncpy(entry.lock_path, lock_path.c_str(), sizeof entry.lock_path - 1);
    entry.lock_path[sizeof entry.lock_path - 1] = '\0';
    entry.state.store(kHeld, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void forget_port(int entry) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries().size()) return;
  entries()[static_cast<std::size_t>(entry)].state.store(kFree, std::memory_order_release);
}

}  // namespace kov02::serial
