// The loaded registry: one hive shared by every thread, replaced whole by a successful load.
#include "registry/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "kernel/stderr_lines.h"
#include "registry/reg_parser.h"
#include "registry/trust.h"

namespace kov02::registry {
namespace {

struct Store {
  std::shared_mutex mutex;
  Hive hive;
  std::atomic<bool> hooks_allowed{true};
  // Both written under the mutex, with the hive they describe.
  std::string file;
  std::string distrust;
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

// A registry file larger than this is refused: nothing that describes a device map comes near
// it, and reading on would let a wrong name (a growing log, /dev/zero) take all memory.
constexpr off_t kMaxRegistryBytes = 4 << 20;

// Why a file that was opened cannot be a registry file; empty when it can.
std::string unsuitable_reason(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return "is a directory";
  if (S_ISFIFO(status.st_mode)) return "is a FIFO, not a regular file";
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) return "is a device, not a regular file";
  if (!S_ISREG(status.st_mode)) return "is not a regular file";
  if (status.st_size > kMaxRegistryBytes) return "is larger than 4 MiB";
  return {};
}

std::string cannot_read() {
  return std::string("cannot read: ") + std::strerror(errno);
}

// What `fd` holds, read to the end; or why not. A file that grew past the limit after it was
// looked at is refused as a larger one was.
std::string read_bounded(int fd, std::string* content) {
  char chunk[8192];
  for (;;) {
    // read: the count read, 0 at end of file, or -1 with errno.
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return cannot_read();
    if (got == 0) return {};
    content->append(chunk, static_cast<std::size_t>(got));
    if (content->size() > static_cast<std::size_t>(kMaxRegistryBytes)) return "is larger than 4 MiB";
  }
}

// The whole file, or false with `reason` saying why in plain words. The open never blocks (a
// FIFO with no writer would hold start-up forever), and only a regular file is read.
bool read_registry_file(const std::string& path, std::string* content, std::string* reason) {
  // open / fstat: -1 with errno on failure.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *reason = cannot_read();
    return false;
  }
  struct stat status {};
  *reason = ::fstat(fd, &status) != 0 ? cannot_read() : unsuitable_reason(status);
  if (reason->empty()) *reason = read_bounded(fd, content);
  ::close(fd);
  return reason->empty();
}

// Replaces the hive, and with it the file it came from and why its hooks are refused.
bool install(std::string_view text, std::string_view origin, std::string file, std::string distrust,
             std::string* error) {
  Hive hive;
  ParseError fault;
  if (!parse_registry(text, &hive, &fault)) {
    if (error) *error = std::string(origin) + ":" + std::to_string(fault.line) + ": " + fault.message;
    return false;
  }
  std::unique_lock lock(store().mutex);
  store().hive = std::move(hive);
  store().file = std::move(file);
  store().distrust = std::move(distrust);
  store().hooks_allowed = store().distrust.empty();
  return true;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

bool load_file(const std::string& path, std::string* error) {
  std::string content, reason;
  if (!read_registry_file(path, &content, &reason)) {
    if (error) *error = path + ": " + reason;
    return false;
  }
  const std::string why = untrusted_reason(path);
  const std::string distrust = why.empty() ? "" : "the registry file " + path + ": " + why;
  if (!install(content, path, path, distrust, error)) return false;
  if (!distrust.empty()) kernel::stderr_notice("warning: " + distrust + "; exec: hooks are refused");
  return true;
}

bool load_string(std::string_view text, std::string* error, std::string_view origin) {
  return install(text, origin, "", "", error);
}

void set_string(std::wstring_view key, std::wstring_view name, std::wstring_view text) {
  Value value{REG_SZ, std::vector<BYTE>((text.size() + 1) * sizeof(wchar_t), 0)};
  std::memcpy(value.data.data(), text.data(), text.size() * sizeof(wchar_t));
  std::unique_lock lock(store().mutex);
  store().hive[normalise_key(key)][fold(name)] = std::move(value);
}

void clear() {
  std::unique_lock lock(store().mutex);
  store().hive.clear();
  store().file.clear();
  store().distrust.clear();
  store().hooks_allowed = true;
}

std::string file_in_use() {
  std::shared_lock lock(store().mutex);
  return store().file;
}

std::vector<std::string> registry_places() {
  if (const std::string named = environment("KOV02_REGISTRY"); !named.empty()) return {named};
  constexpr const char* kName = "/kov02tool/kov02tool.reg";
  std::vector<std::string> places;
  // The XDG rules: an unset or empty variable takes its default, and only absolute paths count.
  std::string home = environment("XDG_CONFIG_HOME");
  if (!home.starts_with('/')) home = environment("HOME").empty() ? "" : environment("HOME") + "/.config";
  if (!home.empty()) places.push_back(home + kName);
  std::string dirs = environment("XDG_CONFIG_DIRS");
  if (dirs.empty()) dirs = "/etc/xdg";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string folder = dirs.substr(start, end - start);
    if (folder.starts_with('/')) places.push_back(folder + kName);
    start = end + 1;
  }
  places.push_back("/etc/kov02tool/kov02tool.reg");
  return places;
}

std::string registry_places_text() {
  std::string text;
  for (const std::string& place : registry_places()) text += (text.empty() ? "" : ", ") + place;
  return text;
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

std::optional<std::uint32_t> lookup_dword(std::wstring_view key, std::wstring_view name) {
  std::optional<Value> value = lookup(key, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = number << 8 | value->data[static_cast<std::size_t>(i)];
  return number;
}

std::vector<std::wstring> value_names(std::wstring_view key) {
  const std::wstring path = normalise_key(key);
  std::shared_lock lock(store().mutex);
  std::vector<std::wstring> names;
  const auto found = store().hive.find(path);
  if (found == store().hive.end()) return names;
  for (const auto& [name, value] : found->second) names.push_back(name);
  return names;
}

bool hooks_allowed() {
  return store().hooks_allowed;
}

std::string hooks_refused_reason() {
  std::shared_lock lock(store().mutex);
  return store().distrust;
}

}  // namespace kov02::registry
