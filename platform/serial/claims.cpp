// The in-process table of exclusively held devices.
#include "serial/claims.h"

#include <mutex>
#include <set>

namespace kov02::serial {
namespace {

struct ClaimTable {
  std::mutex mutex;
  std::set<std::string> keys;
};

// Never destroyed: a port may be released by a thread still running while the process exits.
ClaimTable& table() {
  static auto* instance = new ClaimTable;
  return *instance;
}

}  // namespace

DeviceClaim DeviceClaim::take(std::string key) {
  ClaimTable& claims = table();
  std::lock_guard lock(claims.mutex);
  if (key.empty() || !claims.keys.insert(key).second) return DeviceClaim();
  return DeviceClaim(std::move(key));
}

DeviceClaim::DeviceClaim(DeviceClaim&& other) noexcept : key_(std::move(other.key_)) {
  other.key_.clear();
}

DeviceClaim& DeviceClaim::operator=(DeviceClaim&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::move(other.key_);
    other.key_.clear();
  }
  return *this;
}

DeviceClaim::~DeviceClaim() {
  release();
}

void DeviceClaim::release() {
  if (key_.empty()) return;
  ClaimTable& claims = table();
  std::lock_guard lock(claims.mutex);
  claims.keys.erase(key_);
  key_.clear();
}

}  // namespace kov02::serial
