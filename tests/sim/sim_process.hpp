// Running the built simulator, and its ctl subcommand, from a test; and the tool's end of the
// module's line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace sim_test {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/kov02a-sim-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = name;
  }
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Starts `args` with stdout on a pipe; returns the pid and the pipe's read end.
inline pid_t spawn(const std::vector<std::string>& args, int& out_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (error != 0) throw std::runtime_error("posix_spawn " + args[0]);
  out_fd = pipe_fds[0];
  return pid;
}

inline std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(count));
  return text;
}

struct ProgramResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string output;
};

// Runs the simulator program with `args` to its end.
inline ProgramResult run_sim(const std::vector<std::string>& args) {
  std::vector<std::string> command{KOV02A_SIM_PATH};
  command.insert(command.end(), args.begin(), args.end());
  int out_fd = -1;
  const pid_t pid = spawn(command, out_fd);
  ProgramResult result;
  result.output = read_all(out_fd);
  close(out_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A simulator running for the length of a test; stopped with SIGTERM if the test leaves it.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    std::vector<std::string> command{KOV02A_SIM_PATH};
    command.insert(command.end(), args.begin(), args.end());
    pid_ = spawn(command, out_fd_);
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Reads stdout until a line equal to `line` (false when it does not come in time).
  bool wait_for_line(const std::string& line, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      std::istringstream lines(output_);
      for (std::string seen; std::getline(lines, seen);) {
        if (seen == line) return true;
      }
      if (!read_more(deadline)) return false;
    }
  }

  void terminate() { kill(pid_, SIGTERM); }

  // The exit status once the process ended, or -1 when it does not end in time.
  int wait_exit(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (read_more(deadline)) {
    }
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_; }

 private:
  // False at end of file or at the deadline.
  bool read_more(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{out_fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t count = read(out_fd_, buffer, sizeof buffer);
    if (count <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string output_;
};

// The tool's end of the module's line, opened the way the tool opens it.
class Port {
 public:
  explicit Port(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("open " + path);
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~Port() { close(fd_); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Writes all bytes; false when the line hangs up or stays full for seconds.
  bool write_bytes(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + 10s;
    while (done < bytes.size() && Clock::now() < deadline) {
      const ssize_t count = write(fd_, bytes.data() + done, bytes.size() - done);
      if (count > 0) {
        done += static_cast<std::size_t>(count);
      } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      } else {
        wait_for(POLLOUT, 100ms);
      }
    }
    return done == bytes.size();
  }

  // Up to `count` bytes, fewer when the line stays quiet until the time-out.
  Bytes read_bytes(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    Bytes bytes;
    const auto deadline = Clock::now() + timeout;
    while (bytes.size() < count && Clock::now() < deadline) {
      std::uint8_t byte;
      if (read(fd_, &byte, 1) == 1) {
        bytes.push_back(byte);
      } else {
        wait_for(POLLIN, 10ms);
      }
    }
    return bytes;
  }

  // True once the far end has hung up.
  bool hung_up(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      std::uint8_t byte;
      const ssize_t count = read(fd_, &byte, 1);
      if (count == 0 || (count < 0 && errno == EIO)) return true;
      if (wait_for(POLLIN, 10ms) & POLLHUP) return true;
    }
    return false;
  }

 private:
  short wait_for(short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd_, events, 0};
    poll(&entry, 1, static_cast<int>(timeout.count()));
    return entry.revents;
  }

  int fd_;
};

inline std::string read_text_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace sim_test
