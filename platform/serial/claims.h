// The devices this process holds open exclusively. flock and TIOCEXCL keep other processes
// out; this table answers a second open inside the process before it touches the device.
#pragma once

#include <string>

namespace kov02::serial {

class DeviceClaim {
 public:
  // Claims `key` for this process; an empty claim when it is held already.
  static DeviceClaim take(std::string key);

  DeviceClaim() = default;
  DeviceClaim(DeviceClaim&& other) noexcept;
  DeviceClaim& operator=(DeviceClaim&& other) noexcept;
  DeviceClaim(const DeviceClaim&) = delete;
  DeviceClaim& operator=(const DeviceClaim&) = delete;
  ~DeviceClaim();

  explicit operator bool() const { return !key_.empty(); }

 private:
  explicit DeviceClaim(std::string key) : key_(std::move(key)) {}
  void release();

  std::string key_;
};

}  // namespace kov02::serial
