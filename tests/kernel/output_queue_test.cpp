// Output queues: what a reader sees when it stalls and comes back, and what a process that
// exits leaves behind.
#include "kernel/output_queue.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace kov02::kernel {
namespace {

using namespace std::chrono_literals;
using Kind = OutputQueue::Kind;

// A reader that takes nothing until it is let go, as a paused terminal.
class HeldSink final : public OutputSink {
 public:
  void write(std::string_view bytes) override {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    written_ += bytes;
  }
  void wait_entered() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return entered_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::string written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
  std::string written_;
};

TEST(OutputQueue, AStalledReaderGetsOneCountedGapWhereTheLinesWentMissingAndOwnLinesKept) {
  auto held = std::make_unique<HeldSink>();
  HeldSink& sink = *held;
  auto queue = OutputQueue::make(std::move(held), 64);
  queue->push("first\n");
  sink.wait_entered();  // the writer now waits on the reader with "first"
  for (int i = 0; i < 6; ++i)
    queue->push("kept " + std::to_string(i) + "..\n");  // 60 bytes with "first": fits
  queue->push("full\n");
  queue->push("half a ");
  queue->push("line\n");
  queue->push("short\n");  // fits again, but lines stay dropped until the writer catches up
  queue->push("box: x\n", Kind::line);
  queue->push("after\n");
  sink.release();
  ASSERT_TRUE(queue->flush(std::chrono::steady_clock::now() + 5s));
  queue->push("**");
  queue->push("box: y\n", Kind::line);
  ASSERT_TRUE(queue->flush(std::chrono::steady_clock::now() + 5s));
  std::string expected = "first\n";
  for (int i = 0; i < 6; ++i) expected += "kept " + std::to_string(i) + "..\n";
  expected += "[3 lines dropped]\nbox: x\n[1 lines dropped]\n**\nbox: y\n";
  EXPECT_EQ(sink.written(), expected);
}

// Runs `child` in a forked process with a pipe for its output; returns the read end.
template <typename Child>
int fork_writer(pid_t* pid, Child child) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  *pid = ::fork();
  if (*pid == 0) {
    ::close(fds[0]);
    child(fds[1]);
  }
  ::close(fds[1]);
  return fds[0];
}

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

TEST(OutputQueue, ANormalExitWritesWhatIsQueuedButWaitsForNoReaderForLong) {
  // A forked child of a threaded process may not start threads under the sanitizers; each test
  // runs in a process of its own in CI, where no other thread is left.
  const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  if (threads > 1) GTEST_SKIP() << threads << " threads: forking needs a process with one";
  auto lines = [](int fd, int count) {
    auto queue = fd_output(fd);
    for (int i = 0; i < count; ++i) queue->push("line " + std::to_string(i) + "\n");
    std::exit(0);
  };
  pid_t pid = -1;
  const int taken = fork_writer(&pid, [&](int fd) { lines(fd, 1000); });
  const std::string all = read_all(taken);
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1000);
  EXPECT_TRUE(all.ends_with("line 999\n"));

  // Nobody reads: far more than the pipe holds is queued, and the exit still comes.
  const int unread = fork_writer(&pid, [&](int fd) { lines(fd, 20000); });
  const auto start = std::chrono::steady_clock::now();
  while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() - start < 20s)
    std::this_thread::sleep_for(10ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(unread);
}

}  // namespace
}  // namespace kov02::kernel
