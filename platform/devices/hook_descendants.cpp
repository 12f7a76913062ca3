// Finding and ending what a hook started: the process table read from /proc (see the header
// for which processes count as the hook's and why no other is touched).
#include "devices/hook_descendants.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace kov02::devices {
namespace {

// The subreaper role is on while any hook runs, so orphans of other code's processes come to
// us only then (outside that time they go to init, which reaps them).
std::mutex g_role_mutex;
int g_running_hooks = 0;

void take_role(int change) {
  std::lock_guard lock(g_role_mutex);
  const bool was = g_running_hooks > 0;
  g_running_hooks += change;
  if (was != (g_running_hooks > 0)) ::prctl(PR_SET_CHILD_SUBREAPER, g_running_hooks > 0 ? 1 : 0, 0, 0, 0);
}

// /proc/PID/stat: "pid (name) state ppid pgrp session ..." with the start time as field 22. The
// name may hold anything, so the fields are read after its last ')'.
std::optional<HookDescendants::Process> read_stat(pid_t pid) {
  char path[32], line[1024];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = std::fopen(path, "re");
  if (!file) return std::nullopt;
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  const char* after_name = read ? std::strrchr(line, ')') : nullptr;
  HookDescendants::Process process;
  // Fields 3 to 6, then 7 to 21 skipped, then 22.
  if (!after_name ||
      std::sscanf(after_name + 1,
                  " %c %d %d %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                  &process.state, &process.parent, &process.group, &process.session, &process.start) != 5)
    return std::nullopt;
  return process;
}

// SIGKILL to the process `pid` that started at `start`: through a pidfd, so a pid that was
// reused between reading the table and signalling is never hit.
void kill_process(pid_t pid, unsigned long long start) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return;
  const std::optional<HookDescendants::Process> now = read_stat(pid);
  if (now && now->start == start) ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
  ::close(pidfd);
}

}  // namespace

SubreaperRole::SubreaperRole() {
  take_role(+1);
}

SubreaperRole::~SubreaperRole() {
  take_role(-1);
}

HookDescendants::Table HookDescendants::read_table() {
  Table table;
  DIR* proc = ::opendir("/proc");
  if (!proc) return table;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (std::optional<Process> process = read_stat(static_cast<pid_t>(pid)))
      table[static_cast<pid_t>(pid)] = *process;
  }
  ::closedir(proc);
  return table;
}

HookDescendants::HookDescendants() {
  static std::atomic<unsigned> count{0};
  mark_ = "KOV02_HOOK=" + std::to_string(::getpid()) + "." + std::to_string(++count);
}

void HookDescendants::started(pid_t hook) {
  hook_ = hook;
  ever_.insert(hook);
}

bool HookDescendants::marked(pid_t pid) const {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
  std::ifstream environment(path, std::ios::binary);
  for (std::string entry; std::getline(environment, entry, '\0');)
    if (entry == mark_) return true;
  return false;
}

bool HookDescendants::belongs(pid_t pid, const Process& process, const Table& table) const {
  if (pid == hook_) return true;
  if (process.parent == ::getpid() && marked(pid)) return true;
  if (auto parent = members_.find(process.parent);
      parent != members_.end() && parent->second <= process.start)
    return true;
  // A group or session started by a member, and still held by a live member.
  for (const pid_t id : {process.group, process.session}) {
    if (!ever_.contains(id)) continue;
    for (const auto& [member, start] : members_) {
      const auto row = table.find(member);
      if (row != table.end() && (member == id || row->second.group == id || row->second.session == id))
        return true;
    }
  }
  return false;
}

HookDescendants::Table HookDescendants::scan() {
  Table table = read_table();
  // Members that ended are forgotten: their pids may come back as other processes.
  std::erase_if(members_, [&](const auto& member) {
    const auto row = table.find(member.first);
    return row == table.end() || row->second.start != member.second;
  });
  for (bool added = true; added;) {
    added = false;
    for (const auto& [pid, process] : table) {
      if (members_.contains(pid) || !belongs(pid, process, table)) continue;
      members_[pid] = process.start;
      ever_.insert(pid);
      added = true;
    }
  }
  return table;
}

void HookDescendants::kill_and_reap(const Table& table) {
  for (const auto& [pid, start] : members_) {
    const auto row = table.find(pid);
    if (pid == hook_ || row == table.end()) continue;
    if (row->second.state != 'Z') {
      kill_process(pid, start);
    } else if (row->second.parent == ::getpid()) {
      // Handed to us when its parent ended: ours to reap, and no other code waits for it.
      ::waitpid(pid, nullptr, WNOHANG);
    }
  }
}

void HookDescendants::end_all() {
  using Clock = std::chrono::steady_clock;
  // SIGKILL cannot be refused, so this ends within a few rounds; the bound only guards against a
  // process stuck in the kernel (an uninterruptible wait) holding the caller for ever.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    const Table table = scan();
    if (hook_ < 0 || members_.size() == members_.count(hook_) || Clock::now() >= give_up) return;
    kill_and_reap(table);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace kov02::devices
