// Bounded output queues and their writer threads (see output_queue.h).
#include "kernel/output_queue.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

namespace kov02::kernel {
namespace {

using namespace std::chrono_literals;

// A writer with nothing to do for this long ends; the next push starts another.
constexpr auto kWriterLinger = 1s;
// How long a normal exit waits for readers to take what is queued.
constexpr auto kExitFlushLimit = 2000ms;

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<OutputQueue>> queues;
  std::map<int, std::shared_ptr<OutputQueue>> by_fd;
};

// Never destroyed: threads may still write while the process exits.
Registry& registry() {
  static auto* instance = new Registry;
  return *instance;
}

// The queues locked for a fork in progress, in the order they were locked.
std::vector<std::shared_ptr<OutputQueue>>& forking() {
  static auto* queues = new std::vector<std::shared_ptr<OutputQueue>>;
  return *queues;
}

void prepare_fork() {
  Registry& r = registry();
  r.mutex.lock();
  for (const auto& weak : r.queues)
    if (auto queue = weak.lock()) forking().push_back(std::move(queue));
  for (const auto& queue : forking()) queue->before_fork();
}

void finish_fork(bool in_child) {
  for (auto it = forking().rbegin(); it != forking().rend(); ++it) (*it)->after_fork(in_child);
  forking().clear();
  registry().mutex.unlock();
}

void flush_at_exit() {
  flush_outputs(std::chrono::duration_cast<std::chrono::milliseconds>(kExitFlushLimit));
}

// Appended piece by piece: GCC 12 at -O3 misreads `"[" + std::to_string(...)` as an
// overlapping copy (-Wrestrict).
std::string drop_report(unsigned lines) {
  std::string report = "[";
  report += std::to_string(lines);
  report += " lines dropped]\n";
  return report;
}

}  // namespace

void FdSink::write(std::string_view bytes) {
  while (!bytes.empty()) {
    // write: bytes written, or -1 with errno. EAGAIN comes from an fd another process made
    // non-blocking (a shared terminal); wait until it takes bytes again.
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd_, POLLOUT, 0};
      ::poll(&ready, 1, 1000);
      continue;
    }
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

OutputQueue::OutputQueue(std::unique_ptr<OutputSink> sink, std::size_t capacity)
    : sink_(std::move(sink)), capacity_(capacity) {}

std::shared_ptr<OutputQueue> OutputQueue::make(std::unique_ptr<OutputSink> sink, std::size_t capacity) {
  static std::once_flag exit_hook;
  std::call_once(exit_hook, [] {
    std::atexit(flush_at_exit);
    ::pthread_atfork(
        prepare_fork, [] { finish_fork(false); }, [] { finish_fork(true); });
  });
  auto queue = std::make_shared<OutputQueue>(std::move(sink), capacity);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.queues, [](const auto& q) { return q.expired(); });
  r.queues.push_back(queue);
  return queue;
}

void OutputQueue::push(std::string_view bytes, Kind kind) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  if (direct_) return write_through(bytes, kind != Kind::text);
  if (kind == Kind::text) return push_text(bytes);
  if (queued_bytes_ + bytes.size() <= 4 * capacity_) return accept(bytes, true);
  dropped_ +=
      static_cast<unsigned>(std::max<std::ptrdiff_t>(1, std::count(bytes.begin(), bytes.end(), '\n')));
}

void OutputQueue::push_text(std::string_view bytes) {
  while (!bytes.empty()) {
    const bool fits = !shedding_ && !inside_dropped_line_ && queued_bytes_ + bytes.size() <= capacity_;
    if (fits) return accept(bytes, false);
    shedding_ = true;
    const std::size_t end = bytes.find('\n');
    const std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
    drop(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
}

// Counts the lines of text `bytes` touches; a line already counted is not counted again.
void OutputQueue::drop(std::string_view bytes) {
  for (char c : bytes) {
    if (!inside_dropped_line_) ++dropped_;
    inside_dropped_line_ = c != '\n';
  }
  if (dropped_ > 0 && !writer_running_) start_writer();
}

void OutputQueue::accept(std::string_view bytes, bool own_line) {
  entries_.push_back(Entry{std::string(bytes), own_line, dropped_});
  dropped_ = 0;
  queued_bytes_ += bytes.size();
  if (writer_running_) {
    work_.notify_one();
  } else {
    start_writer();
  }
}

// What the parent left queued, then `bytes`, written now by the calling thread.
void OutputQueue::write_through(std::string_view bytes, bool own_line) {
  std::string batch = take_batch();
  queued_bytes_ = 0;
  append(batch, bytes, own_line);
  sink_->write(batch);
}

void OutputQueue::start_writer() {
  try {
    std::thread([self = shared_from_this()] { self->run_writer(); }).detach();
    writer_running_ = true;
  } catch (const std::system_error&) {
    // No thread to be had now: what is queued waits for the next push to try again.
  }
}

void OutputQueue::run_writer() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!work_.wait_for(lock, kWriterLinger, [this] { return !entries_.empty() || dropped_ > 0; })) break;
    // What is being written still counts against the capacity, so what a stalled reader can
    // hold up is bounded by the capacity itself.
    const std::size_t taken = queued_bytes_;
    const std::string batch = take_batch();
    writing_ = true;
    lock.unlock();
    sink_->write(batch);
    lock.lock();
    writing_ = false;
    queued_bytes_ -= taken;
    idle_.notify_all();
  }
  writer_running_ = false;
}

// Everything queued, as one write, with each gap's report where the gap was. Called locked.
std::string OutputQueue::take_batch() {
  std::string batch;
  for (const Entry& entry : entries_) {
    if (entry.dropped_before > 0) append(batch, drop_report(entry.dropped_before), true);
    append(batch, entry.bytes, entry.own_line);
  }
  entries_.clear();
  shedding_ = false;
  if (dropped_ > 0) append(batch, drop_report(dropped_), true);
  dropped_ = 0;
  return batch;
}

void OutputQueue::append(std::string& batch, std::string_view bytes, bool own_line) {
  if (own_line && !at_line_start_) batch += '\n';
  batch += bytes;
  at_line_start_ = bytes.ends_with('\n');
}

void OutputQueue::before_fork() {
  mutex_.lock();
}

void OutputQueue::after_fork(bool in_child) {
  if (in_child) {
    // The writer stayed behind in the parent: what it was writing is the parent's to finish.
    writer_running_ = false;
    writing_ = false;
    direct_ = true;
  }
  mutex_.unlock();
}

bool OutputQueue::flush(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return idle_.wait_until(lock, deadline, [this] { return entries_.empty() && dropped_ == 0 && !writing_; });
}

std::shared_ptr<OutputQueue> fd_output(int fd) {
  Registry& r = registry();
  {
    std::lock_guard lock(r.mutex);
    if (auto found = r.by_fd.find(fd); found != r.by_fd.end()) return found->second;
  }
  auto queue = OutputQueue::make(std::make_unique<FdSink>(fd));
  std::lock_guard lock(r.mutex);
  return r.by_fd.try_emplace(fd, std::move(queue)).first->second;
}

void replace_fd_output(int fd, std::shared_ptr<OutputQueue> queue) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.by_fd[fd] = std::move(queue);
}

void flush_outputs(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<std::shared_ptr<OutputQueue>> live;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& weak : r.queues)
      if (auto queue = weak.lock()) live.push_back(std::move(queue));
  }
  for (const auto& queue : live) queue->flush(deadline);
}

}  // namespace kov02::kernel
