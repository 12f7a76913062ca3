// RegOpenKeyExW, RegQueryValueExW and RegCloseKey over the loaded registry. Opened keys are
// entries of a small table of their own (an HKEY is not a HANDLE), keyed by path.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "registry/registry.h"

namespace {

// Values clear of the predefined roots (0x80000000 and up); never reused, as with handles.
constexpr std::uintptr_t kFirstKey = 0x2000;

struct OpenKeys {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::wstring> paths;
  std::uintptr_t next = kFirstKey;
};

OpenKeys& open_keys() {
  static auto* instance = new OpenKeys;
  return *instance;
}

// The path below HKEY_LOCAL_MACHINE that `key` stands for; false for a key that is not open.
bool path_of(HKEY key, std::wstring* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  std::lock_guard lock(open_keys().mutex);
  auto found = open_keys().paths.find(reinterpret_cast<std::uintptr_t>(key));
  if (found == open_keys().paths.end()) return false;
  *path = found->second;
  return true;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, DWORD, HKEY* result) {
  if (!result) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::wstring path;
  if (!path_of(key, &path)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (subKey && *subKey) path += (path.empty() ? L"" : L"\\") + std::wstring(subKey);
  if (!kov02::registry::key_exists(path)) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  std::lock_guard lock(open_keys().mutex);
  const std::uintptr_t value = open_keys().next;
  open_keys().next += 4;
  open_keys().paths.emplace(value, std::move(path));
  *result = reinterpret_cast<HKEY>(value);
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, BYTE* data, LPDWORD dataSize) {
  if (data && !dataSize) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  std::wstring path;
  if (!path_of(key, &path)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  auto value = kov02::registry::lookup(path, valueName ? valueName : L"");
  if (!value) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  if (type) *type = value->type;
  const auto size = static_cast<DWORD>(value->data.size());
  if (!dataSize) return static_cast<LONG>(ERROR_SUCCESS);
  const DWORD room = *dataSize;
  *dataSize = size;
  if (!data) return static_cast<LONG>(ERROR_SUCCESS);
  if (room < size) return static_cast<LONG>(ERROR_MORE_DATA);
  if (size != 0) std::memcpy(data, value->data.data(), size);
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return static_cast<LONG>(ERROR_SUCCESS);
  std::lock_guard lock(open_keys().mutex);
  const bool erased = open_keys().paths.erase(reinterpret_cast<std::uintptr_t>(key)) == 1;
  return static_cast<LONG>(erased ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}
