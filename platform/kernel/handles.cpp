// The process-wide handle table, the kernel object base and the generic file calls that
// dispatch through it.
#include "kernel/handles.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "kernel/threads.h"

namespace kov02::kernel {
namespace {

// Keys grow monotonically in steps of 4 (the handset's handles are multiples of 4), so a value
// closed a moment ago names nothing rather than a newer object. They start well clear of 0,
// INVALID_HANDLE_VALUE and the current-thread pseudo-handle.
constexpr std::uintptr_t kFirstKey = 0x1000;
constexpr std::uintptr_t kKeyStep = 4;
constexpr std::size_t kMaxLiveHandles = 1u << 16;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t next_key = kFirstKey;
};

// Never destroyed: detached threads may still use handles while the process exits.
HandleTable& table() {
  static auto* instance = new HandleTable;
  return *instance;
}

std::uintptr_t key_of(HANDLE handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

KernelObject::KernelObject() : close_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

KernelObject::~KernelObject() {
  if (close_fd_ >= 0) ::close(close_fd_);
}

void KernelObject::close() {
  if (closed_.exchange(true, std::memory_order_acq_rel)) return;
  on_close();
  std::shared_ptr<void> companion;
  {
    std::lock_guard lock(companion_mutex_);
    companion.swap(companion_);
  }
  companion.reset();  // outside the lock: letting go may wait for a thread
  // eventfd write: 8 bytes, fails only when the counter would overflow, which one write cannot.
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(close_fd_, &one, sizeof one);
}

void KernelObject::keep_until_close(std::shared_ptr<void> companion) {
  std::lock_guard lock(companion_mutex_);
  companion_ = std::move(companion);
}

BOOL KernelObject::read(void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL KernelObject::write(const void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

DWORD KernelObject::file_size(DWORD*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_FILE_SIZE;
}

HANDLE insert_handle(std::shared_ptr<KernelObject> object) {
  if (!object || object->close_fd() < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  HandleTable& handles = table();
  std::lock_guard lock(handles.mutex);
  if (handles.objects.size() >= kMaxLiveHandles) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  const std::uintptr_t key = handles.next_key;
  handles.next_key += kKeyStep;
  handles.objects.emplace(key, std::move(object));
  return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<KernelObject> lookup_handle(HANDLE handle) {
  HandleTable& handles = table();
  {
    std::lock_guard lock(handles.mutex);
    auto found = handles.objects.find(key_of(handle));
    if (found != handles.objects.end() && !found->second->closed()) return found->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

BOOL close_handle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  HandleTable& handles = table();
  {
    std::lock_guard lock(handles.mutex);
    auto found = handles.objects.find(key_of(handle));
    if (found != handles.objects.end()) {
      object = std::move(found->second);
      handles.objects.erase(found);
    }
  }
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Outside the table lock: on_close() may take locks of its own.
  object->close();
  return TRUE;
}

std::size_t live_handle_count() {
  HandleTable& handles = table();
  std::lock_guard lock(handles.mutex);
  return handles.objects.size();
}

WaitResult wait_fd(const KernelObject& object, int fd, short events, int timeout_ms, short* revents,
                   int wake_fd) {
  pollfd fds[3] = {{fd, events, 0}, {object.close_fd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
  // The close eventfd stays readable once written, so a close that lands between the check
  // and the poll still ends the wait.
  if (object.closed()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WaitResult::closed;
  }
  const int ready = consent_poll(fds, wake_fd >= 0 ? 3 : 2, timeout_ms);
  if (ready < 0) {
    set_last_error_from_errno();
    return WaitResult::failed;
  }
  if (fds[1].revents != 0 || object.closed()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WaitResult::closed;
  }
  if (ready == 0) return WaitResult::timed_out;
  if (fds[2].revents != 0 && fds[0].revents == 0) return WaitResult::woken;
  if (revents) *revents = fds[0].revents;
  return WaitResult::ready;
}

}  // namespace kov02::kernel

using kov02::kernel::lookup_handle;

BOOL CloseHandle(HANDLE object) {
  return kov02::kernel::close_handle(object);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  kov02::kernel::consent_point();
  auto object = lookup_handle(file);
  if (!object) return FALSE;
  // Overlapped I/O is not part of this platform: every call completes before it returns.
  if (overlapped || (!buffer && toRead != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD got = 0;
  const BOOL ok = object->read(buffer, toRead, &got);
  if (read) *read = got;
  return ok;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  kov02::kernel::consent_point();
  auto object = lookup_handle(file);
  if (!object) return FALSE;
  if (overlapped || (!buffer && toWrite != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD put = 0;
  const BOOL ok = object->write(buffer, toWrite, &put);
  if (written) *written = put;
  return ok;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  auto object = lookup_handle(file);
  if (!object) return INVALID_FILE_SIZE;
  DWORD high = 0;
  const DWORD low = object->file_size(&high);
  if (sizeHigh) *sizeHigh = high;
  return low;
}
