// The far ends a port suite runs against: a real pty pair and the in-process fake. A contract
// test written once against `Line` holds for both.
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/fake_port.h"
#include "serial/serial.h"
#include "serial_probe.h"
#include "serial_pty.h"

namespace serial_test {

class Line {
 public:
  virtual ~Line() = default;
  // Opens the near end through the handle face.
  virtual HANDLE open() = 0;
  // Bytes arrive at the near end.
  virtual void send(const Bytes& bytes) = 0;
  // What the near end wrote, waiting up to a second for `count` bytes.
  virtual Bytes sent_by_port(std::size_t count) = 0;
  // The device goes away.
  virtual void hang_up() = 0;
};

class PtyLine : public Line {
 public:
  HANDLE open() override { return kov02::serial::open_tty(pty_.path()); }
  void send(const Bytes& bytes) override { pty_.send(bytes); }
  Bytes sent_by_port(std::size_t count) override { return pty_.receive(count, std::chrono::seconds(1)); }
  void hang_up() override { pty_.close_master(); }

 private:
  SerialPty pty_;
};

class FakeLine : public Line {
 public:
  FakeLine() : name_("line" + std::to_string(next_id_++)), port_(kov02::serial::FakePort::create(name_)) {}
  HANDLE open() override { return kov02::serial::open_fake(name_); }
  void send(const Bytes& bytes) override { port_->inject(bytes); }
  Bytes sent_by_port(std::size_t count) override {
    port_->wait_written(count, std::chrono::seconds(1));
    return port_->written();
  }
  void hang_up() override { port_->hang_up(); }
  kov02::serial::FakePort& port() { return *port_; }
  const std::string& name() const { return name_; }

 private:
  static inline std::atomic<int> next_id_{0};
  std::string name_;
  std::shared_ptr<kov02::serial::FakePort> port_;
};

}  // namespace serial_test
