// Waits for modem line changes on a thread of its own. A driver's wait for them (TIOCMIWAIT)
// blocks in the kernel and cannot join a poll set, so it gets a thread that turns each change into
// a call the port answers by waking its waiters. Linux cannot end a thread from outside: the
// thread is stopped by a signal that interrupts the blocked call, sent again until the thread has
// ended, since one that lands just before the call is entered is lost.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace kov02::serial {

class LineWatch {
 public:
  // `wait_change` blocks until a line changes: 0, or -1 with errno (EINTR when interrupted; any
  // other error, such as ENOTTY from a driver that cannot wait or EIO from a device that went
  // away, ends the watch). `changed` runs on the watch's thread after each change and once when
  // the watch ends by itself, so a waiter looks at the lines again.
  LineWatch(std::function<int()> wait_change, std::function<void()> changed);
  // Stops the thread; `changed` is not called once this has returned.
  ~LineWatch();
  LineWatch(const LineWatch&) = delete;
  LineWatch& operator=(const LineWatch&) = delete;

  // True while the thread waits for changes; false once the driver refused or the watch ended.
  bool waits() const { return waits_.load(std::memory_order_acquire); }

 private:
  void run();

  std::function<int()> wait_change_;
  std::function<void()> changed_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> waits_{true};
  std::thread thread_;
};

}  // namespace kov02::serial
