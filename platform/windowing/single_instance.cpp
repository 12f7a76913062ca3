// FindWindowW and SetForegroundWindow across processes: the client side, the private folder
// and the helpers both sides share (see single_instance.h for the protocol).
#include "windowing/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "kernel/text.h"
#include "windowing/backend.h"
#include "windowing/message_queue.h"
#include "windowing/window_table.h"

namespace kov02::windowing {
namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr std::size_t kReplyLimit = 16;
// How long a start waits for another start's look-up to end in a published window. It is
// milliseconds in practice; a process that hangs meanwhile costs the other this long once.
constexpr auto kClaimWait = std::chrono::seconds(20);
constexpr auto kClaimRetry = std::chrono::milliseconds(5);

// Handles standing for windows of other processes, one per class.
struct RemoteWindows {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::wstring> classes;
};

RemoteWindows& remotes() {
  static RemoteWindows* const instance = new RemoteWindows;
  return *instance;
}

HWND remote_handle(const std::wstring& class_name) {
  RemoteWindows& r = remotes();
  std::lock_guard lock(r.mutex);
  for (const auto& [key, name] : r.classes) {
    if (name == class_name) return reinterpret_cast<HWND>(key);
  }
  const std::uintptr_t key = next_handle_value();
  r.classes.emplace(key, class_name);
  return reinterpret_cast<HWND>(key);
}

std::optional<std::wstring> remote_class(HWND hwnd) {
  RemoteWindows& r = remotes();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(reinterpret_cast<std::uintptr_t>(hwnd));
  if (it == r.classes.end()) return std::nullopt;
  return it->second;
}

// Where the private folder is: below XDG_RUNTIME_DIR, else in /tmp under the user's id.
std::string private_folder_path() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && runtime[0] != '\0' ? std::string(runtime) + "/kov02tool"
                                                  : "/tmp/kov02tool-" + std::to_string(::getuid());
}

// The private folder: made 0700 if missing; refused (with the reason) unless it is a real folder
// of this user with mode 0700, since whoever else owns or may enter it could answer for this
// user's instance or read its sockets.
std::optional<std::string> private_folder(std::string* reason = nullptr) {
  const std::string folder = private_folder_path();
  std::string why;
  struct stat info {};
  // mkdir: 0, or -1 with errno (EEXIST when it is already there). lstat: 0, or -1 with errno; it
  // does not follow a symbolic link planted in our place.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = std::string("cannot be made: ") + std::strerror(errno);
  } else if (::lstat(folder.c_str(), &info) != 0) {
    why = std::string("cannot be examined: ") + std::strerror(errno);
  } else if (!S_ISDIR(info.st_mode)) {
    why = "is not a folder";
  } else if (info.st_uid != ::getuid()) {
    why = "belongs to another user";
  } else if ((info.st_mode & 0777) != 0700) {
    why = "does not have mode 0700";
  }
  if (why.empty()) return folder;
  if (reason) *reason = "the single-instance folder " + folder + " " + why;
  return std::nullopt;
}

// Class names become file names: letters, digits, '-', '_' and '.' stay; other bytes are %XX.
std::string file_name_of(const std::wstring& class_name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (unsigned char c : kernel::to_utf8(class_name)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (plain) {
      name += static_cast<char>(c);
    } else {
      name += '%';
      name += kHex[c >> 4];
      name += kHex[c & 0xF];
    }
  }
  return name;
}

// The start-up claims this process holds: class name -> the locked file's fd.
struct Claims {
  std::mutex mutex;
  std::unordered_map<std::wstring, int> held;
};

Claims& claims() {
  static Claims* const instance = new Claims;
  return *instance;
}

// Locks `path` exclusively within kClaimWait; the open fd, or -1.
int lock_within_wait(const std::string& path) {
  // open: a new fd, or -1 with errno.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + kClaimWait;
  // flock: 0, or -1 with errno (EWOULDBLOCK: another process holds it; EINTR: a signal).
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return -1;
    }
    std::this_thread::sleep_for(kClaimRetry);
  }
  return fd;
}

// The process and user at the other end of a connected local socket, as the kernel recorded them
// at connect(); none when they cannot be told.
std::optional<ucred> peer_credentials(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  // getsockopt: 0, or -1 with errno.
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
  return peer;
}

// Sends one request to the instance answering for `class_name`; true when it answered "yes".
// `answered_by`, when given, receives the answering process's id.
bool ask_instance(const std::wstring& class_name, const std::string& request, pid_t* answered_by = nullptr) {
  auto path = instance_socket_path(class_name);
  if (!path) return false;
  // socket: a new fd, or -1 with errno.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path->copy(address.sun_path, sizeof address.sun_path - 1);
  bool yes = false;
  // connect: 0, or -1 with errno (ENOENT: nobody published; ECONNREFUSED: a stale file).
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const std::optional<ucred> peer = connected ? peer_credentials(fd) : std::nullopt;
  if (peer && peer->uid == ::getuid()) {
    const std::string line = request + "\n";
    // send: bytes sent or -1; a request this short goes in one piece or not at all.
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      yes = read_line(fd, kReplyTimeoutMs, kReplyLimit) == "yes";
    }
    if (yes && answered_by != nullptr) *answered_by = peer->pid;
  }
  ::close(fd);
  return yes;
}

}  // namespace

void raise_window(const WindowPtr& window) {
  window->owner->post_task([target = window->handle] {
    if (ui::Backend* backend = ui::backend_on_ui_thread()) backend->raise(target);
  });
}

std::optional<std::string> instance_socket_path(const std::wstring& class_name) {
  auto folder = private_folder();
  if (!folder) return std::nullopt;
  std::string path = *folder + "/" + file_name_of(class_name) + ".sock";
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return std::nullopt;
  return path;
}

bool check_private_folder(std::string* reason) {
  return private_folder(reason).has_value();
}

bool take_claim(const std::wstring& class_name) {
  Claims& c = claims();
  std::lock_guard lock(c.mutex);
  if (c.held.contains(class_name)) return true;
  auto folder = private_folder();
  if (!folder) return false;
  const int fd = lock_within_wait(*folder + "/" + file_name_of(class_name) + ".lock");
  if (fd < 0) return false;
  c.held.emplace(class_name, fd);
  return true;
}

void drop_claim(const std::wstring& class_name) {
  Claims& c = claims();
  std::lock_guard lock(c.mutex);
  auto it = c.held.find(class_name);
  if (it == c.held.end()) return;
  ::close(it->second);  // closing the only fd on the lock releases it
  c.held.erase(it);
}

bool peer_is_same_user(int fd) {
  const auto peer = peer_credentials(fd);
  return peer && peer->uid == ::getuid();
}

std::optional<std::string> read_line(int fd, int timeout_ms, std::size_t limit) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    // poll: ready count, 0 on time-out, -1 with errno.
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char c = 0;
    // recv: 1 byte, 0 at end of stream, -1 with errno.
    const ssize_t got = ::recv(fd, &c, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    if (c == '\n') return line;
    if (line.size() >= limit) return std::nullopt;
    line += c;
  }
}

}  // namespace kov02::windowing

using namespace kov02;
using namespace kov02::windowing;

namespace kov02::windowing {
namespace {
std::atomic<bool> g_private{false};
}  // namespace

void keep_windows_private() {
  g_private = true;
}

bool windows_private() {
  return g_private;
}

}  // namespace kov02::windowing

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  if (className == nullptr || IS_INTRESOURCE(className)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::wstring title = windowName != nullptr ? windowName : L"";
  if (WindowPtr local = find_top_level(className, windowName != nullptr ? &title : nullptr))
    return local->handle;
  if (windows_private()) return nullptr;
  // Without the claim (no private folder, or a start that hangs) the question is still asked.
  take_claim(className);
  const std::string request = windowName != nullptr ? "find\t" + kernel::to_utf8(title) : "find";
  if (ask_instance(className, request)) {
    drop_claim(className);  // the caller will not make a window of its own
    return remote_handle(className);
  }
  return nullptr;
}

// The lowest bit asks for the window's owned windows too; they come along with it here.
BOOL SetForegroundWindow(HWND hwnd) {
  const auto clean = reinterpret_cast<HWND>(reinterpret_cast<std::uintptr_t>(hwnd) & ~std::uintptr_t{1});
  if (WindowPtr window = find_window(clean)) {
    raise_window(window);
    return TRUE;
  }
  if (auto class_name = remote_class(clean)) {
    pid_t running = 0;
    if (!ask_instance(*class_name, "raise", &running)) return FALSE;
    // Started from a terminal, the second copy would otherwise end without a word: say where the
    // window the person asked for went.
    std::fprintf(stderr, "kov02tool: another instance is running (pid %ld); raised its window\n",
                 static_cast<long>(running));
    return TRUE;
  }
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}
