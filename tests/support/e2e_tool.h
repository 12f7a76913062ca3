// End-to-end test support: a program folder in a temp folder holding a working copy of the
// built tool beside its package files, a registry file for it, and the tool started there with
// the console front-end and a private XDG_RUNTIME_DIR.
#pragma once

#include <sys/stat.h>

#include <memory>

#include "child_process.h"
#include "temp_dir.h"

namespace e2e {

using namespace test_support;

// Deterministic bytes of a given size, different for each seed.
inline std::string pattern_bytes(std::size_t size, unsigned seed = 1) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return out;
}

// A registry file in REGEDIT4 syntax, built key by key.
class Registry {
 public:
  Registry& key(std::string_view path) {
    text_ += "\n[" + std::string(path) + "]\n";
    return *this;
  }
  Registry& sz(std::string_view name, std::string_view value) {
    text_ += quote(name) + "=" + quote(value) + "\n";
    return *this;
  }
  Registry& dword(std::string_view name, std::uint32_t value) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", value);
    text_ += quote(name) + "=dword:" + hex + "\n";
    return *this;
  }
  std::string text() const { return "REGEDIT4\n" + text_; }

 private:
  static std::string quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    return out + "\"";
  }
  std::string text_;
};

// The registry keys the tool reads.
inline constexpr std::string_view REG_DEVICES = "HKEY_LOCAL_MACHINE\\Platform\\Devices";
inline constexpr std::string_view REG_KERNEL = "HKEY_LOCAL_MACHINE\\Platform\\Kernel";
inline constexpr std::string_view REG_UPDATE = "HKEY_LOCAL_MACHINE\\Platform\\Update";
inline constexpr std::string_view REG_DEBUG = "HKEY_LOCAL_MACHINE\\Platform\\Debug";
inline constexpr std::string_view REG_SERIAL = "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial";
inline constexpr std::string_view REG_SERIAL2 = "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2";

// The built tool, copied (or hard-linked) into a fresh folder so that its own directory, where
// it looks for the firmware package, is that folder.
class ProgramFolder {
 public:
#ifdef KOV02TOOL_PATH
  ProgramFolder() : ProgramFolder(program_under_test("KOV02_TEST_TOOL", KOV02TOOL_PATH)) {}
  // The folder's name: a prefix (any bytes but '/') to which a unique suffix is added.
  struct Named {
    std::string_view prefix;
  };
  explicit ProgramFolder(Named name)
      : ProgramFolder(program_under_test("KOV02_TEST_TOOL", KOV02TOOL_PATH), name.prefix) {}
#endif
  explicit ProgramFolder(const fs::path& built_tool, std::string_view prefix = "kov02-prog") : dir_(prefix) {
    std::error_code linked;
    fs::create_hard_link(built_tool, program(), linked);
    if (linked) fs::copy_file(built_tool, program(), fs::copy_options::overwrite_existing);
    fs::create_directory(dir_ / "run");
    ::chmod((dir_ / "run").c_str(), 0700);
  }
  const fs::path& path() const {
    return dir_.path();
  }
  fs::path operator/(std::string_view name) const {
    return dir_ / name;
  }
  fs::path program() const {
    return dir_ / "kov02tool";
  }
  fs::path registry_file() const {
    return dir_ / "kov02tool.reg";
  }
  fs::path debug_log() const {
    return dir_ / "debug.log";
  }
  fs::path stderr_file() const {
    return dir_ / "stderr.txt";
  }

  void put(std::string_view name, std::string_view bytes) const {
    write_file(dir_ / name, bytes);
  }
  void remove(std::string_view name) const {
    fs::remove(dir_ / name);
  }
  // The firmware package beside the program: both boot loaders, an image of `image_bytes` and
  // the Flash-only file-size record.
  void put_package(std::size_t image_bytes, std::size_t boot2_bytes = 2500) const {
    put("boot1_v3.bin", pattern_bytes(200, 1));
    put("boot2_v3_KOV02A.bin", pattern_bytes(boot2_bytes, 2));
    put("flash_only.bin", pattern_bytes(image_bytes, 3));
    put("file_size.bin", std::string("\x3F\xA0\x00", 3));
  }

  // A registry whose debug output goes to debug_log(); add the devices the test needs.
  Registry base_registry() const {
    Registry r;
    r.key(REG_DEBUG).sz("Output", "file:" + debug_log().string());
    return r;
  }

  // Starts the tool here with the console front-end and `registry` as its registry file. Its
  // stderr goes to stderr_file(), or to a pipe of `stderr_pipe_bytes` when that is set.
  std::unique_ptr<Child> start(const Registry& registry, std::map<std::string, std::string> env = {},
                               int stderr_pipe_bytes = 0) const {
    write_file(registry_file(), registry.text());
    return spawn(std::move(env), stderr_pipe_bytes);
  }
  // Starts the tool again with the registry file as it is (rewriting it could cut it short under
  // a tool still reading it). `env` adds or replaces variables; `args` follow the program's name.
  std::unique_ptr<Child> spawn(std::map<std::string, std::string> env = {}, int stderr_pipe_bytes = 0,
                               std::vector<std::string> args = {}) const {
    env.emplace("KOV02_UI", "console");
    env.emplace("KOV02_REGISTRY", registry_file().string());
    env.emplace("XDG_RUNTIME_DIR", (dir_ / "run").string());
    args.insert(args.begin(), program().string());
    return std::make_unique<Child>(Spawn{args, env, dir_.path(), stderr_file(), stderr_pipe_bytes});
  }

  // Lines of the debug output file that contain `text`.
  int count_debug_lines(std::string_view text) const {
    std::ifstream in(debug_log());
    int count = 0;
    for (std::string line; std::getline(in, line);)
      if (line.find(text) != std::string::npos) ++count;
    return count;
  }

 private:
  TempDir dir_;
};

// Waits until the tool's main window is up and its UI thread serves console lines: the menu
// tree is printed by the UI thread once the menu bar exists. Opens no box, so the lines that
// follow are never refused for a box still shown. False when it did not answer within `limit`.
inline bool ui_ready(Child& tool, std::chrono::milliseconds limit = 20s) {
  return tool.send_line("show menu") && tool.wait_for("Flash only = 118", limit).has_value();
}

}  // namespace e2e
