// What a hook leaves behind: every process it started, however far down, also those that left
// its process group or started a session of their own (`setsid`), found so that none outlives
// the hook.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>

namespace kov02::devices {

// While one exists (taken before the hook starts) this process is the child subreaper of
// everything below it: an orphan of the hook's tree is handed to us rather than to init, so it
// stays below us and can be found. The role is on only while some hook runs.
class SubreaperRole {
 public:
  SubreaperRole();
  ~SubreaperRole();
  SubreaperRole(const SubreaperRole&) = delete;
  SubreaperRole& operator=(const SubreaperRole&) = delete;
};

// The subreaper role is process-wide, so orphans of processes other code started (a test's simulator, say)
// come to us too while a hook runs. Those are never ours to touch: only processes shown to belong
// to the hook are killed or reaped, each by its pid (never waitpid(-1), which would take the end
// of another piece of code's own child from it). A process belongs to the hook when its parent
// belongs, or when its process group or session is one a process of the hook started (its id is
// that process's pid, and is held by a live member, so the number cannot have been reused). The
// tree is looked at while the hook runs (scan()), so a process whose parent ended is still known
// by what it was seen to be. What is started and orphaned between two looks, in a session of its
// own, is known by its environment: the hook starts with KOV02_HOOK=mark() and passes it on, and
// an orphan handed to us (so below us, not from elsewhere) that carries this hook's mark is its.
class HookDescendants {
 public:
  // A row of the process table.
  struct Process {
    pid_t parent = 0;
    pid_t group = 0;
    pid_t session = 0;
    unsigned long long start = 0;  // clock ticks after boot: with the pid, one process
    char state = 0;
  };
  using Table = std::map<pid_t, Process>;

  HookDescendants();

  // "KOV02_HOOK=PID.N", for the hook's environment: this process and a count, one per hook.
  const std::string& mark() const { return mark_; }
  // The hook has been started as `hook`.
  void started(pid_t hook);
  HookDescendants(const HookDescendants&) = delete;
  HookDescendants& operator=(const HookDescendants&) = delete;

  // Reads the process table and adds what belongs to the hook now; gives the table read.
  Table scan();
  // Kills every process that belongs to the hook except the hook itself, and reaps those that
  // were handed to us, until none is left. Call while the hook is not yet reaped (its pid keeps
  // its group's id from being reused).
  void end_all();

 private:
  static Table read_table();
  bool belongs(pid_t pid, const Process& process, const Table& table) const;
  void kill_and_reap(const Table& table);

  bool marked(pid_t pid) const;

  std::string mark_;
  pid_t hook_ = -1;
  std::map<pid_t, unsigned long long> members_;  // pid -> start, the hook included
  std::set<pid_t> ever_;                         // every pid ever seen as a member
};

}  // namespace kov02::devices
