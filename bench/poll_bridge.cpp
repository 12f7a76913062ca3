// The smallest bridge that works the way the tool's does: two threads, each waiting up to 1 ms
// for bytes on one port and copying what came, up to 1024 bytes at a time, to the other. The
// bench runs it beside the tool so the tool's idle CPU and throughput have a floor to compare
// with: what a bridge built on millisecond polls costs before any logging, windows or locks.
//
// Usage: poll_bridge TTY-A TTY-B   (runs until killed)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

int open_raw(const char* path) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
    std::perror(path);
    std::exit(2);
  }
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void copy(int from, int to) {
  unsigned char buffer[1024];
  for (;;) {
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, 1) <= 0) continue;
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::exit(1);
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) std::exit(1);
      done += w;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: poll_bridge TTY-A TTY-B\n");
    return 2;
  }
  const int a = open_raw(argv[1]), b = open_raw(argv[2]);
  std::thread back(copy, b, a);
  copy(a, b);
  back.join();
}
