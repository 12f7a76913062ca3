#include "control.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "wire.hpp"

namespace kov02a_sim {
namespace {

constexpr std::size_t kMaxRequest = 256;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_un socket_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    fail("control socket path " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

UniqueFd connect_to(const std::string& path) {
  const sockaddr_un address = socket_address(path);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket");
  // connect: 0, or -1 with errno (ENOENT or ECONNREFUSED when nobody listens).
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return fd;
}

void set_receive_timeout(int fd, int seconds) {
  const timeval timeout{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Reads until `stop` is seen, end of file, the limit, or the receive time-out.
std::string read_until(int fd, char stop, std::size_t limit) {
  std::string text;
  char buffer[4096];
  while (text.size() < limit && text.find(stop) == std::string::npos) {
    // recv: the count read, 0 at end of file, or -1 with errno (EAGAIN after the time-out).
    const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
  }
  return text;
}

void send_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t count = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(count));
  }
}

}  // namespace

std::optional<ControlCommand> parse_control(std::string_view line) {
  const std::size_t space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? "" : line.substr(space + 1);
  ControlCommand command;
  if (verb == "ril" || verb == "reboot") {
    const std::optional<std::uint32_t> code = parse_number(argument);
    if (!code) return std::nullopt;
    command.verb = verb == "ril" ? ControlCommand::Verb::Ril : ControlCommand::Verb::Reboot;
    command.code = *code;
    return command;
  }
  if (verb == "summary" && (argument.empty() || argument == "json")) {
    command.verb = ControlCommand::Verb::Summary;
    command.json = argument == "json";
    return command;
  }
  if (verb == "quit" && argument.empty()) return command;
  return std::nullopt;
}

std::string format_control(const ControlCommand& command) {
  switch (command.verb) {
    case ControlCommand::Verb::Ril:
      return "ril " + hex_code(command.code) + "\n";
    case ControlCommand::Verb::Reboot:
      return "reboot " + hex_code(command.code) + "\n";
    case ControlCommand::Verb::Summary:
      return command.json ? "summary json\n" : "summary\n";
    case ControlCommand::Verb::Quit:
      break;
  }
  return "quit\n";
}

ControlServer::ControlServer(std::string path) : path_(std::move(path)) {
  const sockaddr_un address = socket_address(path_);
  struct stat status {};
  if (lstat(path_.c_str(), &status) == 0) {
    errno = EEXIST;
    if (!S_ISSOCK(status.st_mode)) fail(path_ + " exists and is not a socket");
    if (connect_to(path_)) {
      errno = EADDRINUSE;
      fail("another simulator listens on " + path_);
    }
    unlink(path_.c_str());
  }
  fd_ = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) fail("socket");
  if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    fail("bind " + path_);
  chmod(path_.c_str(), 0600);
  if (listen(fd_.get(), 8) != 0) fail("listen " + path_);
}

ControlServer::~ControlServer() {
  unlink(path_.c_str());
}

void ControlServer::serve(const Handler& handler) {
  // accept4: a descriptor, or -1 with errno (EAGAIN when the client already gave up).
  const UniqueFd client(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!client) return;
  set_receive_timeout(client.get(), 1);
  std::string line = read_until(client.get(), '\n', kMaxRequest);
  const bool complete = line.find('\n') != std::string::npos;
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  send_all(client.get(), handler(complete ? parse_control(line) : std::nullopt));
}

ControlReply send_control(const std::string& path, const ControlCommand& command) {
  ControlReply reply;
  const UniqueFd fd = connect_to(path);
  if (!fd) {
    reply.status = "no simulator listens on " + path + ": " + std::strerror(errno);
    return reply;
  }
  set_receive_timeout(fd.get(), 10);
  send_all(fd.get(), format_control(command));
  const std::string answer = read_until(fd.get(), '\0', std::string::npos);
  const std::size_t end = answer.find('\n');
  if (end == std::string::npos) {
    reply.status = "no answer from the simulator";
    return reply;
  }
  reply.reached = true;
  reply.status = answer.substr(0, end);
  reply.accepted = reply.status == "ok";
  reply.text = answer.substr(end + 1);
  return reply;
}

}  // namespace kov02a_sim
