// exec: hooks: commands run without a shell for device controls and the reboot service.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "devices/devices.h"
#include "kernel/handles.h"
#include "kernel/output_queue.h"
#include "kernel/stderr_lines.h"
#include "kernel/threads.h"
#include "registry/registry.h"
#include "registry/trust.h"

namespace kov02::devices {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::chrono::milliseconds::rep> g_time_limit_ms{30000};

// Kills and reaps a child that is being abandoned (time-out, or the waiting thread terminated).
// What the child writes comes through `output` (the read end of a pipe, non-blocking, taken
// over) and is passed on to stderr through its output queue: a hook never waits for a reader of
// the program's stderr, and so neither does the thread waiting for the hook.
class Child {
 public:
  // The hook leads a process group of its own, so what it started goes with it. Until the
  // leader is reaped its pid cannot be reused, so the group cannot be someone else's.
  Child(pid_t pid, int output)
      : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))), output_(output) {}
  ~Child() {
    if (pidfd_ >= 0) ::close(pidfd_);
    if (output_ >= 0) ::close(output_);
    if (reaped_) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits up to `timeout_ms` for the end; true with `status` once it has ended.
  bool wait(int timeout_ms, int* status) {
    // poll skips an fd of -1: the output once it has ended.
    pollfd ready[2] = {{output_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
    // Without pidfds (older kernels) the end is polled for.
    kernel::consent_poll(ready, pidfd_ >= 0 ? 2 : 1, pidfd_ >= 0 ? timeout_ms : std::min(timeout_ms, 20));
    pass_on_output();
    // waitpid: the pid once ended, 0 while running, -1 with errno (ECHILD: reaped elsewhere).
    const pid_t result = ::waitpid(pid_, status, WNOHANG);
    if (result == 0) return false;
    reaped_ = true;
    if (result < 0) *status = -1;
    pass_on_output();
    return true;
  }

 private:
  void pass_on_output() {
    char buffer[4096];
    while (output_ >= 0) {
      // read: bytes, 0 once every writer has closed, -1 with EAGAIN while nothing is there.
      const ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;
      if (n == 0) {
        ::close(output_);
        output_ = -1;
        return;
      }
      kernel::fd_output(STDERR_FILENO)->push(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
  }

  pid_t pid_;
  int pidfd_;
  int output_;
  bool reaped_ = false;
};

int spawn(const std::vector<std::string>& args, int output, pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The program ignores SIGPIPE and its threads may block signals; a hook starts clean.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  // posix_spawn: 0, or an errno value (the program could not be run).
  const int result = ::posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

}  // namespace

std::vector<std::string> split_command(std::string_view command) {
  std::vector<std::string> words;
  constexpr std::string_view kBlanks = " \t";
  for (std::size_t start = command.find_first_not_of(kBlanks); start != std::string_view::npos;) {
    const std::size_t end = command.find_first_of(kBlanks, start);
    words.emplace_back(command.substr(start, end - start));
    start = command.find_first_not_of(kBlanks, end);
  }
  return words;
}

std::string format_control_code(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

DWORD hook_refusal(const std::vector<std::string>& argv) {
  if (!registry::hooks_allowed()) return ERROR_ACCESS_DENIED;
  if (argv.empty()) return ERROR_FILE_NOT_FOUND;
  // What is not a program at all is left to fail as not found when it is run.
  struct stat program {};
  if (::stat(argv.front().c_str(), &program) != 0 || !S_ISREG(program.st_mode)) return ERROR_SUCCESS;
  const std::string reason = registry::untrusted_reason(argv.front());
  if (reason.empty()) return ERROR_SUCCESS;
  kernel::stderr_notice("warning: " + reason + "; the exec: hook is refused");
  return ERROR_ACCESS_DENIED;
}

void set_hook_time_limit(std::chrono::milliseconds limit) {
  g_time_limit_ms = limit.count();
}

BOOL run_hook(const std::vector<std::string>& argv, DWORD code) {
  if (argv.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::string> args = argv;
  args.push_back(format_control_code(code));
  int output[2];
  // pipe2: 0, or -1 with errno (out of descriptors).
  if (::pipe2(output, O_CLOEXEC) != 0) {
    SetLastError(kernel::error_from_errno(errno));
    return FALSE;
  }
  ::fcntl(output[0], F_SETFL, O_NONBLOCK);
  pid_t pid = 0;
  const int error = spawn(args, output[1], &pid);
  ::close(output[1]);
  if (error != 0) {
    ::close(output[0]);
    SetLastError(error == ENOENT || error == EACCES || error == ENOEXEC ? ERROR_FILE_NOT_FOUND
                                                                        : kernel::error_from_errno(error));
    return FALSE;
  }
  Child child(pid, output[0]);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(g_time_limit_ms.load());
  int status = 0;
  while (!child.wait(remaining_ms(deadline), &status)) {
    if (Clock::now() >= deadline) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;  // ~Child kills and reaps it
    }
  }
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return TRUE;
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

}  // namespace kov02::devices
