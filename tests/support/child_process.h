// Child processes for tests: a program started with pipes on its stdin and stdout (and stderr
// when asked), read line by line with deadlines, waited for and killed. The simulator suite and
// the end-to-end suites all start their programs through this one class.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "eventually.h"

extern char** environ;

namespace test_support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The program a test runs: the built one, or the one the environment variable `variable` names
// (the package test runs these tests against the programs a package installed).
inline fs::path program_under_test(const char* variable, const char* built) {
  const char* chosen = std::getenv(variable);
  return chosen && *chosen ? fs::path(chosen) : fs::path(built);
}

// How a child is started: the program and its arguments, extra or replaced environment
// variables (the test's own environment is inherited), its working folder and where its
// stderr goes (inherited when empty; a pipe of `stderr_pipe_bytes` when that is set, which the
// test reads only when it asks, as a reader that pauses would).
struct Spawn {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  fs::path cwd;
  fs::path stderr_file;
  int stderr_pipe_bytes = 0;
};

// A running child with a pipe on its stdin and its stdout. Its stdout is read as lines ("\r\n"
// or "\n" ended; "\r" dropped); text not yet ended by a line break is the pending tail, which
// a wait also matches (a prompt, or stars still growing on their line).
class Child {
 public:
  explicit Child(const Spawn& spawn) { start(spawn); }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `line` and a newline to the child's stdin.
  bool send_line(std::string_view line) {
    std::string text = std::string(line) + "\n";
    for (std::size_t at = 0; at < text.size();) {
      ssize_t n = ::write(in_, text.data() + at, text.size() - at);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  void close_stdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // Waits until a line (or the pending tail) contains `text`, reading for at most `limit`.
  // Only text after the previous match is searched, so successive waits follow the output in
  // order. Returns the matching line.
  std::optional<std::string> wait_for(std::string_view text, std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      for (; cursor_ < lines_.size(); ++cursor_)
        if (lines_[cursor_].find(text) != std::string::npos) return lines_[cursor_++];
      if (tail_.find(text) != std::string::npos) {
        std::string hit = tail_;
        lines_.push_back(std::move(tail_));
        tail_.clear();
        cursor_ = lines_.size();
        return hit;
      }
      if (!read_some(deadline)) return std::nullopt;
    }
  }

  // Reads whatever arrives for `quiet` more; returns nothing. Useful before counting lines.
  void drain(std::chrono::milliseconds quiet) {
    const auto deadline = Clock::now() + quiet;
    while (read_some(deadline)) {
    }
  }

  // Every complete line read so far.
  const std::vector<std::string>& lines() const { return lines_; }
  std::string transcript() const {
    std::string all;
    for (const auto& l : lines_) all += l + "\n";
    return all + tail_;
  }

  // Waits for the child to end; its exit status, 128 + signal when killed, or nullopt when it
  // still runs after `limit`. Output that arrives meanwhile is kept.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
      reap();
      if (status_) break;
      if (Clock::now() >= deadline) return std::nullopt;
      if (!read_some(std::min(deadline, Clock::now() + 20ms))) std::this_thread::sleep_for(5ms);
    }
    drain(0ms);
    return status_;
  }

  // Reads the piped stderr until it holds `text`, it ends or `limit` passes; all of it so far.
  const std::string& read_stderr(std::string_view text, std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    while (err_text_.find(text) == std::string::npos && read_stderr_once(deadline)) {
    }
    return err_text_;
  }
  // Reads the piped stderr until nothing arrives for `quiet`, or it ends; all of it so far.
  const std::string& drain_stderr(std::chrono::milliseconds quiet) {
    while (read_stderr_once(Clock::now() + quiet)) {
    }
    return err_text_;
  }

  // CPU seconds (user + system) the child used; known once it has ended.
  double cpu_seconds() const {
    auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage_.ru_utime) + seconds(usage_.ru_stime);
  }

  // Asks the child to end (SIGTERM), then insists (SIGKILL) after `grace`; returns its status.
  int stop(std::chrono::milliseconds grace = 3s) {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGTERM);
      if (!wait_exit(grace)) {
        ::kill(pid_, SIGKILL);
        wait_exit(10s);
      }
    }
    close_stdin();
    for (int* fd : {&out_, &err_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    return status_.value_or(-1);
  }

 private:
  void start(const Spawn& spawn);
  void reap() {
    int status = 0;
    if (status_ || pid_ <= 0 || ::wait4(pid_, &status, WNOHANG, &usage_) != pid_) return;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Reads once from `fd` into `text`, waiting until `deadline`; false when nothing came
  // (time-out, or end of file, which closes `fd`).
  static bool read_once(int& fd, Clock::time_point deadline, std::string& text) {
    if (fd < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) return false;
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(fd);
      fd = -1;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  bool read_stderr_once(Clock::time_point deadline) { return read_once(err_, deadline, err_text_); }
  bool read_some(Clock::time_point deadline) {
    std::string text;
    if (!read_once(out_, deadline, text)) return false;
    for (char c : text) take(c);
    return true;
  }
  void take(char c) {
    if (c == '\r') return;
    if (c != '\n') {
      tail_ += c;
      return;
    }
    lines_.push_back(std::move(tail_));
    tail_.clear();
  }

  pid_t pid_ = -1;
  rusage usage_{};
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string err_text_;
  std::optional<int> status_;
  std::vector<std::string> lines_;
  std::string tail_;
  std::size_t cursor_ = 0;
};

inline void Child::start(const Spawn& spawn) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that ended makes send_line fail, not the test die
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> env_text;  // the test's environment, less what `spawn.env` replaces
  for (char** e = environ; *e; ++e) {
    const std::string_view kv(*e);
    if (!spawn.env.contains(std::string(kv.substr(0, kv.find('='))))) env_text.emplace_back(kv);
  }
  for (const auto& [k, v] : spawn.env) env_text.push_back(k + "=" + v);
  const auto pointers = [](const std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (const std::string& text : texts) out.push_back(const_cast<char*>(text.c_str()));
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> argv = pointers(spawn.argv), envp = pointers(env_text);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  int err[2] = {-1, -1};
  if (spawn.stderr_pipe_bytes > 0) {
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    ::fcntl(err[0], F_SETPIPE_SZ, spawn.stderr_pipe_bytes);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else if (!spawn.stderr_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, spawn.stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
  }
  if (!spawn.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, spawn.cwd.c_str());
  int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (err[1] >= 0) ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    stop();
    throw std::runtime_error("cannot start " + spawn.argv[0] + ": " + std::to_string(rc));
  }
}

}  // namespace test_support
