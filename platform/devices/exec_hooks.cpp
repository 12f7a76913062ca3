// exec: hooks: commands run without a shell for device controls and the reboot service.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "devices/devices.h"
#include "devices/hook_descendants.h"
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

// One hook from start to end. What the child writes comes through `output` (the read end of a
// pipe, non-blocking, taken over) and is passed on to stderr through its output queue: a hook
// never waits for a reader of the program's stderr, and so neither does the thread waiting for
// the hook. However the hook ends (exit, time-out, the waiting thread terminated), everything
// it started is killed and reaped with it.
class Child {
 public:
  // The hook leads a process group of its own. Until the leader is reaped its pid cannot be
  // reused, so the group cannot be someone else's; it is reaped last for that reason.
  Child(pid_t pid, int output, HookDescendants& descendants)
      : pid_(pid),
        pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
        output_(output),
        descendants_(descendants) {
    descendants_.started(pid);
  }
  ~Child() {
    if (pidfd_ >= 0) ::close(pidfd_);
    if (output_ >= 0) ::close(output_);
    ::kill(-pid_, SIGKILL);
    descendants_.end_all();
    ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits up to `timeout_ms` for the end; true with the exit status (-1: killed by a signal, or
  // reaped elsewhere) once it has ended. The hook is left unreaped for the destructor.
  bool wait(int timeout_ms, int* status) {
    // poll skips an fd of -1: the output once it has ended.
    pollfd ready[2] = {{output_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
    // Without pidfds (older kernels) the end is polled for. What the hook started is looked at
    // now and then as well, so that a process whose parent ends is still known as the hook's.
    const int slice = std::min(timeout_ms, pidfd_ >= 0 ? kScanPeriodMs : 20);
    kernel::keeping_poll(ready, pidfd_ >= 0 ? 2 : 1, slice);
    pass_on_output();
    descendants_.scan();
    siginfo_t end{};
    // waitid: 0 (si_pid 0 while it runs), or -1 with errno (ECHILD: reaped elsewhere).
    if (::waitid(P_PID, static_cast<id_t>(pid_), &end, WEXITED | WNOHANG | WNOWAIT) != 0) {
      *status = -1;
      return true;
    }
    if (end.si_pid == 0) return false;
    *status = end.si_code == CLD_EXITED ? end.si_status : -1;
    pass_on_output();
    return true;
  }

 private:
  static constexpr int kScanPeriodMs = 100;

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
  HookDescendants& descendants_;
};

// The child's side of spawn(), between fork and exec. The parent has threads, so only
// async-signal-safe calls are made here. The program starts from `program`, the descriptor it
// was checked through (as fd 3: a script's interpreter reads it as /dev/fd/3, so a script's $0
// is that name); an exec that fails sends its errno down `report`.
[[noreturn]] void become_hook(int program, int output, int report, char* const* argv, char* const* envp) {
  // The program ignores SIGPIPE and its threads may block signals; a hook starts clean.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setpgid(0, 0);
  // Out of the way of the numbers they are moved to.
  program = ::fcntl(program, F_DUPFD, 10);
  output = ::fcntl(output, F_DUPFD, 10);
  report = ::fcntl(report, F_DUPFD, 10);
  const int null = ::open("/dev/null", O_RDONLY);
  ::dup2(null, STDIN_FILENO);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(output, STDERR_FILENO);
  ::dup2(program, 3);
  ::dup2(report, 4);
  ::fcntl(4, F_SETFD, FD_CLOEXEC);
  ::close_range(5, ~0U, 0);
  ::fexecve(3, argv, envp);
  const int error = errno;
  [[maybe_unused]] const ssize_t sent = ::write(4, &error, sizeof error);
  ::_exit(127);
}

// Starts the hook; 0, or the errno why it could not be run.
int spawn(int program, const std::vector<std::string>& args, const std::string& mark, int output,
          pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry)
    if (std::string_view(*entry).substr(0, 11) != "KOV02_HOOK=") envp.push_back(*entry);
  envp.push_back(const_cast<char*>(mark.c_str()));
  envp.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  *pid = ::fork();
  if (*pid == 0) become_hook(program, output, report[1], argv.data(), envp.data());
  const int fork_error = *pid < 0 ? errno : 0;
  ::close(report[1]);
  int exec_error = 0;
  // read: the errno of a failed exec, or 0 bytes once the exec closed the pipe.
  ssize_t got;
  do got = *pid > 0 ? ::read(report[0], &exec_error, sizeof exec_error) : 0;
  while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (fork_error != 0) return fork_error;
  if (got == sizeof exec_error) ::waitpid(*pid, nullptr, 0);
  return got == sizeof exec_error ? exec_error : 0;
}

// "30 s", or "250 ms" for a limit that is no whole number of seconds (tests shorten it).
std::string time_limit_text() {
  const auto ms = g_time_limit_ms.load();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// How a hook that ended did not succeed, after "hook PROGRAM ": `status` as Child::wait gives it.
std::string end_text(int status) {
  return status >= 0 ? "exited with status " + std::to_string(status) : "was ended by a signal";
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

namespace {

// ERROR_SUCCESS, or ERROR_ACCESS_DENIED with one warning (and `reason`, when wanted) when the
// program is not trusted. What is not a program at all is left to fail as not found when run.
DWORD refusal_of(const registry::TrustedFile& program, const std::string& path, std::string* reason) {
  if (!program.found() || program.reason().empty()) return ERROR_SUCCESS;
  kernel::stderr_notice("warning: hook " + path + " refused: " + program.reason());
  if (reason) *reason = "hook " + path + " refused: " + program.reason();
  return ERROR_ACCESS_DENIED;
}

// ERROR_SUCCESS, or ERROR_ACCESS_DENIED (and `reason`, when wanted) while the registry file is not
// trusted to name the hook `path`.
DWORD registry_refusal(const std::string& path, std::string* reason) {
  if (registry::hooks_allowed()) return ERROR_SUCCESS;
  if (reason) *reason = "hook " + path + " refused: " + registry::hooks_refused_reason();
  return ERROR_ACCESS_DENIED;
}

}  // namespace

DWORD hook_refusal(const std::vector<std::string>& argv, std::string* reason) {
  if (argv.empty()) return ERROR_FILE_NOT_FOUND;
  if (const DWORD refused = registry_refusal(argv.front(), reason); refused != ERROR_SUCCESS) return refused;
  return refusal_of(registry::TrustedFile(argv.front()), argv.front(), reason);
}

BOOL run_allowed_hook(const std::vector<std::string>& argv, DWORD code, std::string* reason) {
  const DWORD refused = argv.empty() ? ERROR_SUCCESS : registry_refusal(argv.front(), reason);
  if (refused == ERROR_SUCCESS) return run_hook(argv, code, reason);
  SetLastError(refused);
  return FALSE;
}

void set_hook_time_limit(std::chrono::milliseconds limit) {
  g_time_limit_ms = limit.count();
}

BOOL run_hook(const std::vector<std::string>& argv, DWORD code, std::string* reason) {
  if (argv.empty()) {
    if (reason) *reason = "no hook program named";
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const auto say = [&](const std::string& what) {
    if (reason) *reason = "hook " + argv.front() + " " + what;
  };
  // Checked once more here, through the descriptor the hook then starts from: the folders on
  // its path may have changed since the device was opened, and may change again meanwhile.
  const registry::TrustedFile program(argv.front());
  if (!program.found()) {
    say("could not be started: " + program.reason());
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (const DWORD refused = refusal_of(program, argv.front(), reason); refused != ERROR_SUCCESS) {
    SetLastError(refused);
    return FALSE;
  }
  std::vector<std::string> args = argv;
  args.push_back(format_control_code(code));
  int output[2];
  // pipe2: 0, or -1 with errno (out of descriptors).
  if (::pipe2(output, O_CLOEXEC) != 0) {
    say(std::string("could not be started: ") + strerrordesc_np(errno));
    SetLastError(kernel::error_from_errno(errno));
    return FALSE;
  }
  ::fcntl(output[0], F_SETFL, O_NONBLOCK);
  const SubreaperRole role;  // from before the start until all the hook started is gone
  HookDescendants descendants;
  pid_t pid = 0;
  const int error = spawn(program.fd(), args, descendants.mark(), output[1], &pid);
  ::close(output[1]);
  if (error != 0) {
    ::close(output[0]);
    say(std::string("could not be started: ") + strerrordesc_np(error));
    SetLastError(error == ENOENT || error == EACCES || error == ENOEXEC ? ERROR_FILE_NOT_FOUND
                                                                        : kernel::error_from_errno(error));
    return FALSE;
  }
  Child child(pid, output[0], descendants);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(g_time_limit_ms.load());
  int status = 0;
  while (!child.wait(remaining_ms(deadline), &status)) {
    if (Clock::now() >= deadline) {
      say("timed out after " + time_limit_text());
      SetLastError(ERROR_TIMEOUT);
      return FALSE;  // ~Child kills and reaps it, and all it started
    }
  }
  if (status == 0) return TRUE;
  say(end_text(status));
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

}  // namespace kov02::devices
