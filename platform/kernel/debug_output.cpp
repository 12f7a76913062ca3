// OutputDebugStringW: whole UTF-8 lines with a millisecond timestamp and the thread's name, to
// stderr or the file start-up names, through an output queue so that no thread that traces
// ever waits for the reader. Each call's lines are queued whole, so lines from many threads
// never interleave.
#include "kernel/debug_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

#include "kernel/output_queue.h"
#include "kernel/stderr_lines.h"
#include "kernel/text.h"
#include "kernel/threads.h"

namespace kov02::kernel {
namespace {

using Hook = std::function<void(std::wstring_view)>;

struct DebugOutput {
  std::mutex mutex;
  std::shared_ptr<OutputQueue> queue;  // nullptr until first used or configured: stderr
  std::shared_ptr<const Hook> hook;
};

// Where debug lines bound for stderr go: stderr, or nowhere while stderr carries JSON objects.
std::shared_ptr<OutputQueue> debug_stderr() {
  class Discard final : public OutputSink {
   public:
    void write(std::string_view) override {}
  };
  if (!json_on_stderr()) return fd_output(STDERR_FILENO);
  static auto* discard = new std::shared_ptr<OutputQueue>(OutputQueue::make(std::make_unique<Discard>()));
  return *discard;
}

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

enum class Opened { file, unfit, failed };

// Anyone who may replace the log file could swap in a link to a file they cannot write
// themselves. So a folder another user owns, or one others may write without the sticky bit, is
// refused outright; in a sticky folder others may write (such as /tmp) only a file of this user
// with no second name is used. Each returns the reason for a refusal, or empty.
struct Folder {
  bool others_write = false;
  std::string refusal;
};

Folder judge_folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat info {};
  // stat: 0, or -1 with errno; a folder reached through a link (/var/run) is judged as itself.
  if (::stat(name.c_str(), &info) != 0) return {};  // the open below says what is wrong
  Folder folder{(info.st_mode & S_IWOTH) != 0, {}};
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
    folder.refusal = "its folder belongs to another user";
  } else if (folder.others_write && (info.st_mode & S_ISVTX) == 0) {
    folder.refusal = "its folder may be written by others and is not sticky";
  }
  return folder;
}

std::string file_refusal(const Folder& folder, const struct stat& file) {
  if (!folder.others_write || !S_ISREG(file.st_mode)) return {};
  if (file.st_uid != ::geteuid()) return "it belongs to another user in a folder others may write";
  if (file.st_nlink != 1) return "it has another name in a folder others may write";
  return {};
}

// Opens the debug output file without blocking (a FIFO without a reader fails at once instead
// of waiting for one) and without following a link in the last step, and checks it is something
// a log can live in: a regular file, /dev/null or a terminal. A FIFO or a socket would hold the
// writer, a disk device would be overwritten, and a link may point anywhere. `why` gets the
// reason for an unfit file.
Opened open_log_file(const std::string& path, int flags, int* fd, std::string* why) {
  constexpr const char* kNotALogFile = "is not a regular file, /dev/null or a terminal";
  const Folder folder = judge_folder(path);
  *fd = -1;
  if (!folder.refusal.empty()) {
    *why = "is refused: " + folder.refusal;
    return Opened::unfit;
  }
  // open: the fd, or -1 with errno; ENXIO is a FIFO without a reader or a socket, ELOOP a link.
  *fd = ::open(path.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | flags, 0644);
  if (*fd < 0) {
    if (errno == ELOOP) *why = "is a symbolic link";
    if (errno == ENXIO) *why = kNotALogFile;
    return why->empty() ? Opened::failed : Opened::unfit;
  }
  struct stat status {};
  struct stat null_device {};
  const bool fits =
      ::fstat(*fd, &status) == 0 && (S_ISREG(status.st_mode) || ::isatty(*fd) ||
                                     (S_ISCHR(status.st_mode) && ::stat("/dev/null", &null_device) == 0 &&
                                      status.st_rdev == null_device.st_rdev));
  if (!fits) *why = kNotALogFile;
  if (const std::string refusal = fits ? file_refusal(folder, status) : ""; !refusal.empty())
    *why = "is refused: " + refusal;
  if (!why->empty()) {
    ::close(*fd);
    *fd = -1;
    return Opened::unfit;
  }
  // The writer thread may wait on a terminal; only the open had to be non-blocking.
  ::fcntl(*fd, F_SETFL, ::fcntl(*fd, F_GETFL) & ~O_NONBLOCK);
  return Opened::file;
}

// The debug output file: whole lines, and a regular file kept under MaxBytes (a single line
// longer than that still goes out whole) by moving it to NAME.1 and starting afresh.
class LogFileSink final : public OutputSink {
 public:
  LogFileSink(std::string path, int fd, std::uint64_t max_bytes)
      : path_(std::move(path)), fd_(fd), max_(max_bytes) {
    struct stat status {};
    capped_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    size_ = capped_ ? static_cast<std::uint64_t>(status.st_size) : 0;
  }
  ~LogFileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void write(std::string_view bytes) override {
    if (fd_ < 0) {
      fd_output(STDERR_FILENO)->push(bytes);
      return;
    }
    while (!bytes.empty()) {
      std::size_t length = capped_ ? lines_that_fit(bytes) : bytes.size();
      if (length == 0 && size_ > 0) {
        if (!start_afresh()) return write(bytes);
        continue;
      }
      if (length == 0) length = std::min(bytes.find('\n'), bytes.size() - 1) + 1;
      FdSink(fd_).write(bytes.substr(0, length));
      size_ += length;
      bytes.remove_prefix(length);
    }
  }

 private:
  // The length of the longest run of whole lines at the start of `bytes` that stays in the cap.
  std::size_t lines_that_fit(std::string_view bytes) const {
    const std::uint64_t room = max_ > size_ ? max_ - size_ : 0;
    if (bytes.size() <= room) return bytes.size();
    if (room == 0) return 0;
    const std::size_t end = bytes.rfind('\n', static_cast<std::size_t>(room - 1));
    return end == std::string_view::npos ? 0 : end + 1;
  }

  // Moves the file to NAME.1 and makes a new NAME, which must not exist: whatever stands there
  // by then was put there by someone else (perhaps a link to another file), and is neither
  // opened nor emptied. Debug output then goes to stderr and false is returned.
  bool start_afresh() {
    size_ = 0;
    // rename: 0 or -1 with errno. When it fails, this very file is emptied, which still keeps
    // the cap.
    if (::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) {
      report("cannot rename " + path_ + " to " + path_ + ".1: " + std::strerror(errno) + "; emptying it");
      if (::ftruncate(fd_, 0) != 0) report("cannot start " + path_ + " afresh: " + std::strerror(errno));
      return true;
    }
    int fresh = -1;
    std::string why;
    const Opened opened = open_log_file(path_, O_EXCL, &fresh, &why);
    const int error = errno;
    ::close(fd_);
    fd_ = fresh;
    if (opened == Opened::file) return true;
    if (why.empty()) why = error == EEXIST ? "was made anew by someone else" : std::strerror(error);
    warned_ = false;
    report("cannot start " + path_ + " afresh: it " + why + "; writing debug output to stderr");
    return false;
  }

  // Once: with a small cap in a folder that refuses the move, every start afresh would warn.
  void report(const std::string& what) {
    if (std::exchange(warned_, true)) return;
    stderr_line("warning: debug output: " + what);
  }

  const std::string path_;
  int fd_;  // -1 once the file was given up for stderr
  const std::uint64_t max_;
  bool capped_ = false;
  bool warned_ = false;
  std::uint64_t size_ = 0;
};

// "stderr" or "file:PATH" -> the queue to write to; nullptr and a reason when the setting is
// malformed or the file cannot be opened. A file that is no place for a log (a FIFO, a socket, a
// device) gives stderr, with one warning line.
std::shared_ptr<OutputQueue> open_destination(const std::wstring& setting, std::uint64_t max_bytes,
                                              std::string* error) {
  if (setting == L"stderr") return debug_stderr();
  if (!setting.starts_with(L"file:") || setting.size() == 5) {
    *error = "HKEY_LOCAL_MACHINE\\Platform\\Debug \"Output\" must be \"stderr\" or \"file:PATH\", not \"" +
             to_utf8(setting) + "\"";
    return nullptr;
  }
  const std::string path = native_bytes(setting.substr(5));
  int fd = -1;
  std::string why;
  switch (open_log_file(path, 0, &fd, &why)) {
    case Opened::file:
      return OutputQueue::make(std::make_unique<LogFileSink>(path, fd, max_bytes));
    case Opened::unfit:
      stderr_line("warning: debug output " + path + " " + why + "; writing debug output to stderr");
      return debug_stderr();
    case Opened::failed:
      break;
  }
  *error = "cannot open debug output " + path + ": " + std::strerror(errno);
  return nullptr;
}

}  // namespace

bool direct_debug_output(const DebugDestination& destination, std::string* error) {
  std::string reason;
  std::shared_ptr<OutputQueue> queue = open_destination(destination.output, destination.max_bytes, &reason);
  if (!queue) {
    if (error) *error = reason;
    return false;
  }
  DebugOutput& out = output();
  std::shared_ptr<OutputQueue> previous;
  {
    std::lock_guard lock(out.mutex);
    previous = std::exchange(out.queue, std::move(queue));
  }
  // What went to the previous destination is written before its file is let go.
  if (previous) previous->flush(std::chrono::steady_clock::now() + std::chrono::seconds(2));
  return true;
}

void set_debug_output_hook(std::function<void(std::wstring_view)> hook) {
  auto shared = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
  DebugOutput& out = output();
  std::lock_guard lock(out.mutex);
  out.hook = std::move(shared);
}

}  // namespace kov02::kernel

void OutputDebugStringW(LPCWSTR text) {
  if (!text) return;
  kov02::kernel::DebugOutput& out = kov02::kernel::output();
  std::shared_ptr<const kov02::kernel::Hook> hook;
  std::shared_ptr<kov02::kernel::OutputQueue> queue;
  {
    std::lock_guard lock(out.mutex);
    hook = out.hook;
    if (!out.queue) out.queue = kov02::kernel::debug_stderr();
    queue = out.queue;
  }
  // Outside the lock, so a hook may trace or change the hook itself.
  if (hook) (*hook)(text);
  queue->push(kov02::kernel::render_lines(text));
}
