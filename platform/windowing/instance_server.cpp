// The answering side of the single-instance sockets: one thread per process serves every
// published class, and the socket files go when the process ends.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/text.h"
#include "windowing/message_queue.h"
#include "windowing/single_instance.h"

namespace kov02::windowing {
namespace {

constexpr int kRequestTimeoutMs = 1000;
constexpr std::size_t kRequestLimit = 1024;

struct Listener {
  int fd;
  std::string path;
  std::wstring class_name;
};

// Binds a listening socket at `path`. A file there whose owner no longer answers is stale and is
// replaced; one that answers belongs to a live instance. Returns -1 when no socket is made.
int bind_listener(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const auto* raw = reinterpret_cast<const sockaddr*>(&address);
  for (int attempt = 0; attempt < 2; ++attempt) {
    // socket: a new fd, or -1 with errno.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // bind and listen: 0, or -1 with errno (EADDRINUSE: the file exists).
    if (::bind(fd, raw, sizeof address) == 0 && ::listen(fd, 8) == 0) return fd;
    const bool in_use = errno == EADDRINUSE;
    ::close(fd);
    if (!in_use) return -1;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, raw, sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (live) return -1;
    ::unlink(path.c_str());
  }
  return -1;
}

std::string answer(const std::wstring& class_name, const std::string& request) {
  if (request == "raise") {
    WindowPtr window = find_top_level(class_name, nullptr);
    if (window) raise_window(window);
    return window ? "yes" : "no";
  }
  if (request == "find") return find_top_level(class_name, nullptr) ? "yes" : "no";
  if (request.rfind("find\t", 0) == 0) {
    const std::wstring title = kernel::from_utf8(request.substr(5));
    return find_top_level(class_name, &title) ? "yes" : "no";
  }
  return "no";
}

void serve_client(int fd, const std::wstring& class_name) {
  if (!peer_is_same_user(fd)) return;
  auto request = read_line(fd, kRequestTimeoutMs, kRequestLimit);
  if (!request) return;
  const std::string reply = answer(class_name, *request) + "\n";
  // send: bytes sent or -1; the peer may have gone, which is its own affair.
  [[maybe_unused]] ssize_t sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

class InstanceServer {
 public:
  InstanceServer() : control_fd_(make_eventfd()) {}
  ~InstanceServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    signal_eventfd(control_fd_);
    if (thread_.joinable()) thread_.join();
    for (const Listener& l : listeners_) {
      ::close(l.fd);
      ::unlink(l.path.c_str());
    }
    if (control_fd_ >= 0) ::close(control_fd_);
  }
  InstanceServer(const InstanceServer&) = delete;
  InstanceServer& operator=(const InstanceServer&) = delete;

  void publish(const std::wstring& class_name) {
    auto path = instance_socket_path(class_name);
    if (!path || control_fd_ < 0) return;
    std::lock_guard lock(mutex_);
    for (const Listener& l : listeners_) {
      if (l.class_name == class_name) return;
    }
    const int fd = bind_listener(*path);
    if (fd < 0) return;
    listeners_.push_back({fd, *path, class_name});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    signal_eventfd(control_fd_);
  }

 private:
  // The fds to watch: the control eventfd first, then each listener; empty once stopping.
  std::vector<pollfd> watch_list(std::vector<std::wstring>* classes) {
    std::lock_guard lock(mutex_);
    if (stopping_) return {};
    std::vector<pollfd> fds{{control_fd_, POLLIN, 0}};
    classes->clear();
    for (const Listener& l : listeners_) {
      fds.push_back({l.fd, POLLIN, 0});
      classes->push_back(l.class_name);
    }
    return fds;
  }

  void run() {
    std::vector<std::wstring> classes;
    for (;;) {
      std::vector<pollfd> fds = watch_list(&classes);
      if (fds.empty()) return;
      // poll: ready count, or -1 with errno (EINTR: a signal, look again).
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
      drain_eventfd(control_fd_);
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        // accept4: a connected fd, or -1 with errno (the peer may already have gone).
        const int client = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        serve_client(client, classes[i - 1]);
        ::close(client);
      }
    }
  }

  const int control_fd_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<Listener> listeners_;
  std::thread thread_;
};

}  // namespace

void publish_class(const std::wstring& class_name) {
  if (windows_private()) return;
  static InstanceServer server;
  server.publish(class_name);
  drop_claim(class_name);
}

}  // namespace kov02::windowing
