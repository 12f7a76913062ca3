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

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is not one.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  const std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xC2 && lead < 0xE0 ? 2
                             : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xF0 && lead < 0xF5 ? 4
                                                           : 0;
  if (length == 0 || length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
      (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))
    return 0;
  return length;
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

std::string json_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    const std::size_t length = utf8_length(text);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (length == 0) {
      out += "\\ufffd";
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out + "\"";
}

}  // namespace kov02::kernel
