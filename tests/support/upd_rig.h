// App-level update test support: the update port on an in-process fake line, a package folder
// that g_szWorkDir names, traces captured with the time they were written, and RIL1: and the
// reboot service standing in as scripts that log each request to a file.
#pragma once

#include <kov02/ce.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/state.h"
#include "eventually.h"
#include "kernel/debug_output.h"
#include "kernel/paths.h"
#include "registry/registry.h"
#include "serial/fake_port.h"
#include "temp_dir.h"
#include "update/update_port.h"

namespace upd {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<BYTE>;
using namespace std::chrono_literals;
using test_support::eventually;

// One debug-output text and when it was written.
struct TraceLine {
  std::wstring text;
  Clock::time_point at;
};

// Captures every debug-output text while it lives.
class TraceLog {
 public:
  TraceLog() {
    kov02::kernel::set_debug_output_hook([this](std::wstring_view text) {
      std::lock_guard lock(mutex_);
      lines_.push_back({std::wstring(text), Clock::now()});
    });
  }
  ~TraceLog() { kov02::kernel::set_debug_output_hook({}); }
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  std::vector<TraceLine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Texts that contain `part`.
  int count(std::wstring_view part) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const TraceLine& l) {
      return l.text.find(part) != std::wstring::npos;
    }));
  }
  // The n-th (0-based) text that contains `part`, or null.
  std::optional<TraceLine> find(std::wstring_view part, int n = 0) const {
    std::lock_guard lock(mutex_);
    for (const TraceLine& l : lines_)
      if (l.text.find(part) != std::wstring::npos && n-- == 0) return l;
    return std::nullopt;
  }
  // Waits until `part` has been traced `times` times.
  bool wait_for(std::wstring_view part, int times = 1, std::chrono::milliseconds limit = 20s) const {
    return eventually([&] { return count(part) >= times; }, limit);
  }
  std::wstring joined() const {
    std::wstring all;
    for (const TraceLine& l : lines()) all += l.text;
    return all;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TraceLine> lines_;
};

// A fresh folder that g_szWorkDir names while it lives, with a request log for the RIL1: and
// reboot scripts, and the registry mapping COM1: to a fake line.
class Rig {
 public:
  Rig() : dir_("upd") {
    write_script("ril.sh", "ril");
    write_script("reboot.sh", "reboot");
    std::wstring work = kov02::kernel::handset_path(dir_.path().string() + "/");
    std::wmemset(g_szWorkDir, 0, std::size(g_szWorkDir));
    std::wmemcpy(g_szWorkDir, work.c_str(), std::min(work.size(), std::size(g_szWorkDir) - 1));
    const std::string text =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"fake:upd-com1\"\n"
        "\"RIL1:\"=\"exec:" +
        dir_.file("ril.sh") +
        "\"\n\n[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + dir_.file("reboot.sh") + "\"\n";
    std::string error;
    if (!kov02::registry::load_string(text, &error)) throw std::runtime_error(error);
  }
  ~Rig() { kov02::registry::clear(); }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  kov02::serial::FakePort& port() const { return *port_; }
  const fs::path& dir() const { return dir_.path(); }

  void put(const std::string& name, const Bytes& bytes) const {
    dir_.write(name, std::string(bytes.begin(), bytes.end()));
  }
  void remove(const std::string& name) const { fs::remove(dir_ / name); }

  // The requests the scripts saw, in order: "ril 0x03001F88", "reboot 0x0101003C", ...
  std::vector<std::string> requests() const {
    std::ifstream in(dir_ / "requests.log");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  int count_requests(const std::string& request) const {
    auto all = requests();
    return static_cast<int>(std::count(all.begin(), all.end(), request));
  }

 private:
  void write_script(const std::string& name, const std::string& tag) const {
    dir_.write(name, "#!/bin/sh\necho \"" + tag + " $1\" >> '" + dir_.file("requests.log") + "'\n", 0700);
  }

  test_support::TempDir dir_;
  std::shared_ptr<kov02::serial::FakePort> port_ = kov02::serial::FakePort::create("upd-com1");
};

inline Bytes pattern(std::size_t size, unsigned seed = 3) {
  Bytes out(size);
  std::uint32_t x = seed * 2654435761u + 7;
  for (BYTE& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<BYTE>(x);
  }
  return out;
}

inline Bytes xor_parts(const Bytes& data) {
  BYTE all = 0;
  for (BYTE b : data) all ^= b;
  return {all};
}

}  // namespace upd
