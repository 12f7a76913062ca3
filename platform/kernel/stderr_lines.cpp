// stderr in its two forms (see stderr_lines.h). In the JSON form two queues write to stderr: the
// one every part already uses, whose sink wraps each line it is given, and one for the records,
// which go out untouched. Both sinks write whole lines under one lock, so no line is ever split
// by the other's.
#include "kernel/stderr_lines.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "kernel/output_queue.h"
#include "kernel/text.h"

namespace kov02::kernel {
namespace {

std::atomic<bool> g_json{false};

// Held while either sink writes to stderr.
std::mutex& stderr_lock() {
  static auto* lock = new std::mutex;
  return *lock;
}

class WholeLineSink final : public OutputSink {
 public:
  void write(std::string_view bytes) override {
    std::lock_guard lock(stderr_lock());
    FdSink(STDERR_FILENO).write(bytes);
  }
};

// Wraps every line as a message event; a line still without its break waits for the rest.
class MessageSink final : public OutputSink {
 public:
  void write(std::string_view bytes) override {
    pending_ += bytes;
    std::string out;
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      std::string_view line(pending_.data(), end);
      if (line.starts_with("kov02tool: ")) line.remove_prefix(11);
      out += "{\"event\":\"message\",\"text\":" + json_string(line) + "}\n";
    }
    if (out.empty()) return;
    std::lock_guard lock(stderr_lock());
    FdSink(STDERR_FILENO).write(out);
  }

 private:
  std::string pending_;
};

std::shared_ptr<OutputQueue> records() {
  static auto* queue = new std::shared_ptr<OutputQueue>(OutputQueue::make(std::make_unique<WholeLineSink>()));
  return *queue;
}

}  // namespace

void stderr_line(std::string_view line) {
  std::string out = "kov02tool: ";
  out += line;
  out += '\n';
  fd_output(STDERR_FILENO)->push(out, OutputQueue::Kind::line);
}

void stderr_notice(std::string_view line) {
  if (g_json) return stderr_line(line);
  std::fprintf(stderr, "kov02tool: %.*s\n", static_cast<int>(line.size()), line.data());
}

void use_json_on_stderr() {
  g_json = true;
  replace_fd_output(STDERR_FILENO, OutputQueue::make(std::make_unique<MessageSink>()));
}

bool json_on_stderr() {
  return g_json;
}

void stderr_record(std::string_view text) {
  std::string line(text);
  line += '\n';
  (g_json ? records() : fd_output(STDERR_FILENO))->push(line, OutputQueue::Kind::line);
}

}  // namespace kov02::kernel
