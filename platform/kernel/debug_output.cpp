// OutputDebugStringW: whole UTF-8 lines with a millisecond timestamp and the thread's name, to
// stderr or the file the registry names. One write per call, under a lock, so lines from many
// threads never interleave.
#include "kernel/debug_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

#include "kernel/text.h"
#include "kernel/threads.h"
#include "registry/registry.h"

namespace kov02::kernel {
namespace {

using Hook = std::function<void(std::wstring_view)>;

struct DebugOutput {
  std::mutex write_mutex;
  int fd = STDERR_FILENO;
  std::mutex hook_mutex;
  std::shared_ptr<const Hook> hook;
};

// Never destroyed: threads may still trace while the process exits.
DebugOutput& output() {
  static auto* instance = new DebugOutput;
  return *instance;
}

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
  return text;
}

// The text's lines: its own final line break removed, every other break ("\r\n" or "\n") a
// boundary, so a text without a break is still one line.
std::string render_lines(std::wstring_view text) {
  if (text.ends_with(L"\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with(L'\n') || text.ends_with(L'\r')) {
    text.remove_suffix(1);
  }
  const std::string prefix = timestamp() + " [" + current_thread_name() + "] ";
  std::string rendered;
  for (;;) {
    const std::size_t end = text.find(L'\n');
    std::wstring_view line = text.substr(0, end);
    if (line.ends_with(L'\r')) line.remove_suffix(1);
    rendered += prefix + to_utf8(line) + "\n";
    if (end == std::wstring_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return rendered;
}

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // write: bytes written or -1 with errno; a full disk or closed stderr loses the line.
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// "stderr" or "file:PATH" -> the fd to write; -1 and a reason otherwise.
int open_destination(const std::wstring& setting, std::string* error) {
  if (setting == L"stderr") return STDERR_FILENO;
  if (!setting.starts_with(L"file:") || setting.size() == 5) {
    *error = "HKEY_LOCAL_MACHINE\\Platform\\Debug \"Output\" must be \"stderr\" or \"file:PATH\", not \"" +
             to_utf8(setting) + "\"";
    return -1;
  }
  const std::string path = native_bytes(setting.substr(5));
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) *error = "cannot open debug output " + path + ": " + std::strerror(errno);
  return fd;
}

}  // namespace

bool configure_debug_output(std::string* error) {
  const std::optional<std::wstring> setting = registry::lookup_string(L"Platform\\Debug", L"Output");
  std::string reason;
  const int fd = open_destination(setting.value_or(L"stderr"), &reason);
  if (fd < 0) {
    if (error) *error = reason;
    return false;
  }
  DebugOutput& out = output();
  std::lock_guard lock(out.write_mutex);
  if (out.fd != STDERR_FILENO) ::close(out.fd);
  out.fd = fd;
  return true;
}

void set_debug_output_hook(std::function<void(std::wstring_view)> hook) {
  auto shared = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
  DebugOutput& out = output();
  std::lock_guard lock(out.hook_mutex);
  out.hook = std::move(shared);
}

}  // namespace kov02::kernel

void OutputDebugStringW(LPCWSTR text) {
  if (!text) return;
  kov02::kernel::DebugOutput& out = kov02::kernel::output();
  std::shared_ptr<const kov02::kernel::Hook> hook;
  {
    std::lock_guard lock(out.hook_mutex);
    hook = out.hook;
  }
  // Outside the lock, so a hook may trace or change the hook itself.
  if (hook) (*hook)(text);
  const std::string lines = kov02::kernel::render_lines(text);
  std::lock_guard lock(out.write_mutex);
  kov02::kernel::write_all(out.fd, lines);
}
