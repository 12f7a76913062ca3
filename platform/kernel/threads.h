// Threads that consent to being suspended and terminated.
//
// Linux cannot suspend or kill a thread from outside, so SuspendThread, ResumeThread and
// TerminateThread only post a request; the target honours it at its next consent point. Every
// platform call that can block (Sleep, ReadFile, WriteFile, WaitCommEvent, SendMessageW,
// MessageBoxW) is one: it waits through consent_poll(), which also wakes on the thread's own
// control eventfd. A suspended thread parks there until resumed; a terminated thread unwinds
// from there (a private exception caught by the thread's trampoline), so destructors run and
// no lock is held. Consent points must never be reached while holding a platform lock.
#pragma once

#include <kov02/ce.h>
#include <poll.h>

#include <cstddef>
#include <string>

namespace kov02::kernel {

// poll() on `fds` plus the calling thread's control eventfd. Returns as poll() does for the
// caller's fds (>0 some ready, 0 timed out, -1 error with errno set). `timeout_ms` -1 waits
// without limit; time spent parked counts against it. Suspend and terminate requests are
// honoured inside; EINTR is retried.
int consent_poll(pollfd* fds, std::size_t count, int timeout_ms);

// What a thread keeps alive while it waits long for something else: the UI thread's window,
// which is repainted and answers sent messages while a hook runs on that thread. The keeper is
// installed by the windowing layer (the kernel knows no windows).
class WaitKeeper {
 public:
  virtual ~WaitKeeper() = default;
  // Returns when `fd` turns readable or `timeout_ms` passes (-1: no limit), serving the thread's
  // own business meanwhile but taking no input from the person.
  virtual void wait(int fd, int timeout_ms) = 0;
};

// Sets the calling thread's keeper (null: none); it must outlive the thread's waits.
void set_wait_keeper(WaitKeeper* keeper);

// consent_poll for a wait that may last long (a hook): on a thread with a keeper, the keeper
// waits (for any of `fds` readable) and keeps the thread's window alive meanwhile. Returns as
// consent_poll does.
int keeping_poll(pollfd* fds, std::size_t count, int timeout_ms);

// Honours a pending suspend or terminate request without blocking otherwise.
void consent_point();

// The calling thread's name for debug lines: "main" for the process's first thread,
// "thread-N" for the N-th thread started by CreateThread.
std::string current_thread_name();

// The priority last set on a thread (0..7, THREAD_PRIORITY_NORMAL until set), or -1 with
// ERROR_INVALID_HANDLE when `thread` names no thread. Accepts the current-thread pseudo-handle.
int thread_priority(HANDLE thread);

}  // namespace kov02::kernel
