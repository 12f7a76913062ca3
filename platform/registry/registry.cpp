// The loaded registry: one hive shared by every thread, replaced whole by a successful load.
#include "registry/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "registry/reg_parser.h"

namespace kov02::registry {
namespace {

struct Store {
  std::shared_mutex mutex;
  Hive hive;
  std::atomic<bool> hooks_allowed{true};
};

// Never destroyed: detached threads may read the registry while the process exits.
Store& store() {
  static auto* instance = new Store;
  return *instance;
}

// Drops a leading "HKEY_LOCAL_MACHINE\" and surrounding separators, then folds.
std::wstring normalise_key(std::wstring_view key) {
  std::wstring folded = fold(key);
  constexpr std::wstring_view kRoot = L"hkey_local_machine";
  if (folded.starts_with(kRoot) && (folded.size() == kRoot.size() || folded[kRoot.size()] == L'\\')) {
    folded.erase(0, kRoot.size());
  }
  const std::size_t first = folded.find_first_not_of(L'\\');
  if (first == std::wstring::npos) return {};
  return folded.substr(first, folded.find_last_not_of(L'\\') - first + 1);
}

bool writable_by_others(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The whole file, or false with errno set.
bool read_whole_file(const std::string& path, std::string* content) {
  // open/read: -1 with errno on failure; read returns 0 at end of file (EISDIR for a directory).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[8192];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    content->append(chunk, static_cast<std::size_t>(got));
  }
  const int reason = errno;
  ::close(fd);
  errno = reason;
  return got == 0;
}

bool install(std::string_view text, std::string_view origin, std::string* error) {
  Hive hive;
  ParseError fault;
  if (!parse_registry(text, &hive, &fault)) {
    if (error) *error = std::string(origin) + ":" + std::to_string(fault.line) + ": " + fault.message;
    return false;
  }
  std::unique_lock lock(store().mutex);
  store().hive = std::move(hive);
  return true;
}

}  // namespace

bool load_file(const std::string& path, std::string* error) {
  std::string content;
  if (!read_whole_file(path, &content)) {
    if (error) *error = path + ": cannot read: " + std::strerror(errno);
    return false;
  }
  if (!install(content, path, error)) return false;
  const bool exposed = writable_by_others(path);
  store().hooks_allowed = !exposed;
  if (exposed) {
    std::fprintf(stderr, "kov02tool: warning: %s is writable by group or others; exec: hooks are refused\n",
                 path.c_str());
  }
  return true;
}

bool load_string(std::string_view text, std::string* error, std::string_view origin) {
  if (!install(text, origin, error)) return false;
  store().hooks_allowed = true;
  return true;
}

void clear() {
  std::unique_lock lock(store().mutex);
  store().hive.clear();
  store().hooks_allowed = true;
}

bool key_exists(std::wstring_view key) {
  const std::wstring path = normalise_key(key);
  std::shared_lock lock(store().mutex);
  if (path.empty() || store().hive.contains(path)) return true;
  // A parent of a key that was written exists too. Keys sort by text, so the first one at or
  // after "PATH\" is below PATH if any is.
  const std::wstring below = path + L'\\';
  const auto next = store().hive.lower_bound(below);
  return next != store().hive.end() && next->first.starts_with(below);
}

std::optional<Value> lookup(std::wstring_view key, std::wstring_view name) {
  const std::wstring path = normalise_key(key);
  const std::wstring folded_name = fold(name);
  std::shared_lock lock(store().mutex);
  auto found_key = store().hive.find(path);
  if (found_key == store().hive.end()) return std::nullopt;
  auto found = found_key->second.find(folded_name);
  if (found == found_key->second.end()) return std::nullopt;
  return found->second;
}

std::optional<std::wstring> lookup_string(std::wstring_view key, std::wstring_view name) {
  std::optional<Value> value = lookup(key, name);
  if (!value || value->type != REG_SZ || value->data.size() < sizeof(wchar_t)) return std::nullopt;
  std::wstring text(value->data.size() / sizeof(wchar_t) - 1, L'\0');
  std::memcpy(text.data(), value->data.data(), text.size() * sizeof(wchar_t));
  return text;
}

bool hooks_allowed() {
  return store().hooks_allowed;
}

}  // namespace kov02::registry
