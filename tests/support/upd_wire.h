// App-level update test support: the wire of each stage as the module should see it (write
// calls and where the module answers), and a far end that answers at those points.
#pragma once

#include <atomic>
#include <cstdint>
#include <numeric>
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
    return std::accumulate(writes.begin(), writes.end(), std::size_t{0},
                           [](std::size_t n, const Bytes& w) { return n + w.size(); });
  }
  void write(Bytes bytes) { writes.push_back(std::move(bytes)); }
  void answer(Bytes reply) { answers.push_back({size(), std::move(reply)}); }
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

// Plays the module's side of a Wire on the fake line from a thread of its own. At each answer
// point it first lets the sender run on briefly: a sender that does wait for the answer cannot
// have written past the point, so any byte beyond it counts as an overrun. Once `limit` has
// passed it hangs the line up, so a sender stuck on an answer that never comes fails its waits
// and the test ends instead of hanging.
class Responder {
 public:
  Responder(kov02::serial::FakePort& port, std::vector<Answer> answers, std::chrono::milliseconds limit = 60s)
      : port_(port),
        answers_(std::move(answers)),
        deadline_(Clock::now() + limit),
        thread_([this] { run(); }) {}
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Answer points the sender ran past without waiting.
  int overruns() const { return overruns_; }
  // Whether the line was hung up at the limit.
  bool fired() const { return fired_; }

 private:
  // Waits until the line has taken `due` bytes; false once dismissed or past the limit.
  bool await(std::size_t due) {
    while (!port_.wait_written(due, 20ms)) {
      if (stop_) return false;
      if (Clock::now() < deadline_) continue;
      fired_ = true;
      port_.hang_up();
      return false;
    }
    return true;
  }
  void run() {
    for (const Answer& a : answers_) {
      if (!await(a.after)) return;
      std::this_thread::sleep_for(2ms);
      if (port_.wait_written(a.after + 1, 0ms)) ++overruns_;
      if (a.reply.empty())
        port_.inject_line_error(CE_FRAME);
      else
        port_.inject(a.reply);
    }
    await(SIZE_MAX);  // keeps watching until dismissed
  }

  kov02::serial::FakePort& port_;
  std::vector<Answer> answers_;
  Clock::time_point deadline_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> fired_{false};
  std::atomic<int> overruns_{0};
  std::thread thread_;
};

}  // namespace upd
