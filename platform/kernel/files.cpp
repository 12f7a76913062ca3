// Regular files, directory look-up by exact name and the program's own path.
#include "kernel/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "kernel/handles.h"
#include "kernel/module.h"
#include "kernel/paths.h"

namespace kov02::kernel {
namespace {

struct ShareEntry {
  const void* owner;
  DWORD access;
  DWORD share;
};

// Open files of this process by (device, inode), for the handset's share-mode checks.
class ShareTable {
 public:
  bool claim(const void* owner, dev_t device, ino_t inode, DWORD access, DWORD share) {
    std::lock_guard lock(mutex_);
    std::vector<ShareEntry>& entries = files_[{device, inode}];
    for (const ShareEntry& held : entries) {
      if (conflicts(held, access, share)) return false;
    }
    entries.push_back({owner, access, share});
    return true;
  }
  void release(const void* owner, dev_t device, ino_t inode) {
    std::lock_guard lock(mutex_);
    auto found = files_.find({device, inode});
    if (found == files_.end()) return;
    std::erase_if(found->second, [&](const ShareEntry& entry) { return entry.owner == owner; });
    if (found->second.empty()) files_.erase(found);
  }

 private:
  // Each side must allow what the other side does.
  static bool conflicts(const ShareEntry& held, DWORD access, DWORD share) {
    const auto denies = [](DWORD share_mode, DWORD wanted) {
      return ((wanted & GENERIC_READ) && !(share_mode & FILE_SHARE_READ)) ||
             ((wanted & GENERIC_WRITE) && !(share_mode & FILE_SHARE_WRITE));
    };
    return denies(held.share, access) || denies(share, held.access);
  }

  std::mutex mutex_;
  std::map<std::pair<dev_t, ino_t>, std::vector<ShareEntry>> files_;
};

ShareTable& share_table() {
  static auto* instance = new ShareTable;
  return *instance;
}

class FileObject : public KernelObject {
 public:
  FileObject(int fd, DWORD access) : fd_(fd), access_(access) {}
  ~FileObject() override {
    release_share();
    ::close(fd_);
  }

  bool claim_share(const struct stat& status, DWORD share) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
    claimed_ = share_table().claim(this, device_, inode_, access_, share);
    return claimed_;
  }

  BOOL read(void* buffer, DWORD size, DWORD* got) override;
  BOOL write(const void* buffer, DWORD size, DWORD* put) override;
  DWORD file_size(DWORD* high) override;

 protected:
  // The file may be opened again as soon as its handle is closed, even while a call still runs.
  void on_close() override { release_share(); }

 private:
  void release_share() {
    std::lock_guard lock(share_mutex_);
    if (claimed_) share_table().release(this, device_, inode_);
    claimed_ = false;
  }
  bool refuse_unless(DWORD needed) const {
    if (access_ & needed) return false;
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
  }

  int fd_;
  DWORD access_;
  std::mutex share_mutex_;
  bool claimed_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

BOOL FileObject::read(void* buffer, DWORD size, DWORD* got) {
  if (refuse_unless(GENERIC_READ)) return FALSE;
  for (;;) {
    // read: bytes read (0 at end of file), or -1 with errno; EAGAIN only on a fifo or pipe.
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) {
      *got = static_cast<DWORD>(n);
      return TRUE;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      set_last_error_from_errno();
      return FALSE;
    }
    if (wait_fd(*this, fd_, POLLIN, -1) != WaitResult::ready) return FALSE;
  }
}

BOOL FileObject::write(const void* buffer, DWORD size, DWORD* put) {
  if (refuse_unless(GENERIC_WRITE)) return FALSE;
  const auto* bytes = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      *put = done;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      set_last_error_from_errno();
      return FALSE;
    }
    if (wait_fd(*this, fd_, POLLOUT, -1) != WaitResult::ready) return FALSE;
  }
  return TRUE;
}

DWORD FileObject::file_size(DWORD* high) {
  struct stat status;
  if (::fstat(fd_, &status) != 0) {
    set_last_error_from_errno();
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  *high = static_cast<DWORD>(size >> 32);
  // A size whose low part equals INVALID_FILE_SIZE is told apart by a clear last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

int open_flags(DWORD access) {
  const bool reads = access & GENERIC_READ;
  const bool writes = access & GENERIC_WRITE;
  // Non-blocking so that opening a fifo never hangs; regular files ignore the flag.
  const int base = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  return base | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
}

}  // namespace

HANDLE open_file(const std::string& path, DWORD access, DWORD share) {
  const int fd = ::open(path.c_str(), open_flags(access));
  if (fd < 0) {
    set_last_error_from_errno();
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<FileObject>(fd, access);
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    set_last_error_from_errno();
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(status.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!object->claim_share(status, share)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = insert_handle(std::move(object));
  return handle ? handle : INVALID_HANDLE_VALUE;
}

std::optional<std::string> real_path(const std::string& path) {
  // realpath: a path it allocated, or nullptr with errno.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

HMODULE program_module() {
  return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x00010000u));
}

bool is_program_module(HMODULE module) {
  return module == nullptr || module == program_module();
}

}  // namespace kov02::kernel

namespace {

// The directory-search handle; it holds nothing, since only exact names are looked up.
class FindObject : public kov02::kernel::KernelObject {};

FILETIME filetime_from(const timespec& time) {
  // 100 ns intervals since 1601-01-01, the handset's epoch; 11644473600 s lie before 1970.
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull +
                              static_cast<std::uint64_t>(time.tv_nsec) / 100;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void fill_find_data(std::wstring_view name, const struct stat& status, WIN32_FIND_DATAW* data) {
  *data = {};
  data->dwFileAttributes = S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  data->ftCreationTime = filetime_from(status.st_ctim);
  data->ftLastAccessTime = filetime_from(status.st_atim);
  data->ftLastWriteTime = filetime_from(status.st_mtim);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t cut = name.find_last_of(L"\\/");
  std::wstring_view last = cut == std::wstring_view::npos ? name : name.substr(cut + 1);
  last = last.substr(0, MAX_PATH - 1);
  std::copy(last.begin(), last.end(), data->cFileName);
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  if (!name || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Exact names only: wildcard characters are taken literally, as the program never searches.
  struct stat status;
  if (::stat(kov02::kernel::linux_path(name).c_str(), &status) != 0) {
    kov02::kernel::set_last_error_from_errno();
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = kov02::kernel::insert_handle(std::make_shared<FindObject>());
  if (!handle) return INVALID_HANDLE_VALUE;
  fill_find_data(name, status, data);
  return handle;
}

BOOL FindClose(HANDLE find) {
  if (!kov02::kernel::lookup_as<FindObject>(find)) return FALSE;
  return kov02::kernel::close_handle(find);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
  if (!kov02::kernel::is_program_module(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::vector<char> target(4096);
  // readlink: the link's length, not terminated, or -1 with errno.
  const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
  if (length < 0) {
    kov02::kernel::set_last_error_from_errno();
    return 0;
  }
  const std::wstring path = kov02::kernel::handset_path(std::string_view(target.data(), length));
  if (!name || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const DWORD copied = static_cast<DWORD>(std::min<std::size_t>(path.size(), size - 1));
  std::copy_n(path.begin(), copied, name);
  name[copied] = L'\0';
  if (copied < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return copied;
}
