// App-level update test support: the wire of each stage as the module should see it (write
// calls and where the module answers), and a far end that answers at those points.
#pragma once

#include <atomic>
#include <condition_variable>
#include <thread>

#include "upd_rig.h"

namespace upd {

// The module's answer `reply`, due once the line has taken `after` bytes in all. An empty reply
// is a line error alone (a frame error with no character), which ends the sender's wait with 0.
struct Answer {
  std::size_t after;
  Bytes reply;
};

// What a stage should put on the line: its write calls in order, and the module's answers.
struct Wire {
  std::vector<Bytes> writes;
  std::vector<Answer> answers;

  std::size_t size() const {
    std::size_t n = 0;
    for (const Bytes& w : writes) n += w.size();
    return n;
  }
  void write(Bytes bytes) { writes.push_back(std::move(bytes)); }
  void answer(Bytes reply) { answers.push_back({size(), std::move(reply)}); }
  Bytes stream() const {
    Bytes all;
    for (const Bytes& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
};

// `data` cut into chunks of `chunk`, each a write; ACK_CHUNK (0xAA) answers every full one.
inline void add_chunks(Wire& wire, const Bytes& data, std::size_t chunk) {
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    std::size_t n = std::min(chunk, data.size() - at);
    wire.write(Bytes(data.begin() + at, data.begin() + at + n));
    if (n == chunk) wire.answer({0xAA});
  }
}

inline Wire stage1_wire(const Bytes& file) {
  Bytes data(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 255));
  Bytes frame{static_cast<BYTE>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(xor_parts(data)[0]);
  Wire wire;
  wire.write(frame);
  wire.answer({0xA5});
  return wire;
}

inline Wire stage2_wire(const Bytes& file) {
  Wire wire;
  wire.write({static_cast<BYTE>(file.size() >> 8)});
  wire.write({static_cast<BYTE>(file.size())});
  add_chunks(wire, file, 1000);
  wire.write(xor_parts(file));
  wire.answer({0xA5});
  return wire;
}

// The image transfer with the file-size record `record` (as it should go out) and `image`.
inline Wire image_wire(const Bytes& record, const Bytes& image) {
  Wire wire;
  wire.write({0x50});
  wire.answer({0xA5});
  wire.write({0x54});
  wire.write(record);
  wire.answer({0xA5, 0xA5, 0xA5});
  const std::size_t t = image.size();
  wire.write({static_cast<BYTE>(t >> 16), static_cast<BYTE>(t >> 8), static_cast<BYTE>(t)});
  add_chunks(wire, image, 4000);
  BYTE even = 0, odd = 0;
  for (std::size_t i = 0; i < t; ++i) (i % 2 ? odd : even) ^= image[i];
  wire.write({even});
  wire.write({odd});
  wire.answer({0xA5});
  return wire;
}

// Appends `next` to `wire`; its answer points move past the bytes `wire` already holds.
inline void append(Wire& wire, const Wire& next) {
  const std::size_t base = wire.size();
  wire.writes.insert(wire.writes.end(), next.writes.begin(), next.writes.end());
  for (const Answer& a : next.answers) wire.answers.push_back({base + a.after, a.reply});
}

// Everything after 0xA0 in a Flash-only run: stage 1, stage 2 and the image.
inline Wire flash_only_wire(const Bytes& boot1, const Bytes& boot2, const Bytes& image) {
  Wire wire = stage1_wire(boot1);
  append(wire, stage2_wire(boot2));
  append(wire, image_wire({0x3F, 0xA0, 0x00}, image));
  return wire;
}

// Plays the module's side of a Wire on the fake line from a thread of its own. At each answer
// point it first lets the sender run on briefly: a sender that does wait for the answer cannot
// have written past the point, so any byte beyond it counts as an overrun.
class Responder {
 public:
  Responder(kov02::serial::FakePort& port, std::vector<Answer> answers, std::size_t base = 0)
      : port_(port), answers_(std::move(answers)), base_(base), thread_([this] { run(); }) {}
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Answer points the sender ran past without waiting.
  int overruns() const { return overruns_; }
  // Answers given so far.
  int answered() const { return answered_; }

 private:
  void run() {
    for (const Answer& a : answers_) {
      const std::size_t due = base_ + a.after;
      while (!port_.wait_written(due, 20ms))
        if (stop_) return;
      std::this_thread::sleep_for(2ms);
      if (port_.wait_written(due + 1, 0ms)) ++overruns_;
      if (a.reply.empty())
        port_.inject_line_error(CE_FRAME);
      else
        port_.inject(a.reply);
      ++answered_;
    }
  }

  kov02::serial::FakePort& port_;
  std::vector<Answer> answers_;
  std::size_t base_;
  std::atomic<bool> stop_{false};
  std::atomic<int> overruns_{0};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

// Hangs the line up after `limit` unless dismissed first: a sender stuck on an answer that never
// comes then fails its waits and the test ends instead of hanging.
class Watchdog {
 public:
  Watchdog(kov02::serial::FakePort& port, std::chrono::milliseconds limit)
      : thread_([&port, limit, this] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            fired_ = true;
            port.hang_up();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  bool fired() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

// The lengths of the write calls a port saw, for comparing call boundaries.
inline std::vector<std::size_t> write_lengths(const std::vector<kov02::serial::FakePort::Write>& writes) {
  std::vector<std::size_t> out;
  for (const auto& w : writes) out.push_back(w.bytes.size());
  return out;
}
inline std::vector<std::size_t> write_lengths(const Wire& wire) {
  std::vector<std::size_t> out;
  for (const Bytes& w : wire.writes) out.push_back(w.size());
  return out;
}

}  // namespace upd
