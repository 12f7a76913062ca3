// The process-wide handle table and the kernel object every handle names.
//
// A HANDLE is a table key, never a raw fd, and keys are not handed out again soon after a close.
// Every operation looks its object up and holds a shared_ptr for as long as it runs, so an fd
// is closed only when the last operation in flight on it has returned (the object's destructor
// closes it). CloseHandle marks the object closed and wakes every thread blocked on it through
// the object's close eventfd, which each blocking poll of the object includes.
#pragma once

#include <kov02/ce.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace kov02::kernel {

class KernelObject : public std::enable_shared_from_this<KernelObject> {
 public:
  KernelObject();
  virtual ~KernelObject();
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  // Marks the object closed and wakes every waiter; runs on_close() once.
  void close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // An eventfd that turns readable once close() has run: add it to every poll set on this object.
  int close_fd() const { return close_fd_; }

  // File-like operations behind ReadFile, WriteFile and GetFileSize. The defaults refuse with
  // ERROR_INVALID_HANDLE (the handle names something that cannot do it).
  virtual BOOL read(void* buffer, DWORD size, DWORD* got);
  virtual BOOL write(const void* buffer, DWORD size, DWORD* put);
  virtual DWORD file_size(DWORD* high);

  // Keeps `companion` (something that belongs to this open, such as a watch on its device)
  // until the object is closed.
  void keep_until_close(std::shared_ptr<void> companion);

 protected:
  // Called once from close(), before waiters are woken: let go of what must go at once.
  virtual void on_close() {}

 private:
  std::atomic<bool> closed_{false};
  int close_fd_;
  std::mutex companion_mutex_;
  std::shared_ptr<void> companion_;
};

// Enters an object and returns its new handle; nullptr (with ERROR_TOO_MANY_OPEN_FILES) when
// the table is full.
HANDLE insert_handle(std::shared_ptr<KernelObject> object);

// The live object behind a handle, or null (last error ERROR_INVALID_HANDLE) for a closed,
// unknown, null or INVALID_HANDLE_VALUE handle.
std::shared_ptr<KernelObject> lookup_handle(HANDLE handle);

template <class T>
std::shared_ptr<T> lookup_as(HANDLE handle) {
  auto object = std::dynamic_pointer_cast<T>(lookup_handle(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// Removes the handle from the table and closes its object; FALSE with ERROR_INVALID_HANDLE
// when the handle is not live.
BOOL close_handle(HANDLE handle);

// Number of live handles (tests use it to see that nothing is left behind).
std::size_t live_handle_count();

// Result of wait_fd().
enum class WaitResult { ready, timed_out, closed, failed, woken };

// Waits until `fd` has `events` (POLLIN/POLLOUT), the object is closed, `wake_fd` (an eventfd,
// or -1 for none) turns readable, or `timeout_ms` runs out (-1: no limit). The calling thread
// honours suspend and terminate requests while it waits. `revents` receives poll's revents for
// `fd` when ready. On `closed` the last error is set to ERROR_INVALID_HANDLE; on `failed`, from
// errno. `woken` leaves `wake_fd` as it was: its owner drains it.
WaitResult wait_fd(const KernelObject& object, int fd, short events, int timeout_ms, short* revents = nullptr,
                   int wake_fd = -1);

// Maps an errno value onto the handset's ERROR_* code.
DWORD error_from_errno(int error);
// SetLastError(error_from_errno(errno)).
void set_last_error_from_errno();

}  // namespace kov02::kernel
