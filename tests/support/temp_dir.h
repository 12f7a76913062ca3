// A private temporary folder for one test, removed with everything in it, and the two file
// helpers tests use around it. Every suite takes its folders from here.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace test_support {

namespace fs = std::filesystem;

inline void write_file(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The whole file; empty when it cannot be read.
inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh folder `prefix`-XXXXXX under $TMPDIR (or /tmp). The prefix may hold any bytes but
// '/', so a test can give the folder an awkward name.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "kov02-test") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view name) const { return path_ / name; }
  // The full name of `name` inside, as the text a C call or a registry value takes.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

  // Writes `content` to `name` with permission bits `mode`; returns the full name.
  std::string write(std::string_view name, std::string_view content, mode_t mode = 0600) const {
    const std::string full = file(name);
    write_file(full, content);
    ::chmod(full.c_str(), mode);
    return full;
  }

 private:
  fs::path path_;
};

}  // namespace test_support
