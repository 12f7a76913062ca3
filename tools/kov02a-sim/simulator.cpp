#include "simulator.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include "control.hpp"
#include "line.hpp"
#include "ports.hpp"

namespace kov02a_sim {
namespace {

using namespace std::chrono_literals;

// How long a module that left the line stays away.
constexpr Micros kAwayTime = 1s;

void say(const std::string& line) {
  std::cout << line << '\n' << std::flush;
}

// SIGINT and SIGTERM as a readable descriptor, so the poll loop sees them like any input.
class SignalWatch {
 public:
  SignalWatch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, &previous_);
    fd_ = UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) throw std::system_error(errno, std::generic_category(), "signalfd");
    signal(SIGPIPE, SIG_IGN);
  }
  ~SignalWatch() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  int fd() const { return fd_.get(); }

  // Consumes the signals that arrived, so restoring the mask later does not deliver them.
  void drain() {
    signalfd_siginfo info;
    while (read(fd_.get(), &info, sizeof info) == sizeof info) {
    }
  }

 private:
  sigset_t previous_{};
  UniqueFd fd_;
};

// A pty whose master the simulator serves, with the slave held open.
struct PtyLine {
  std::unique_ptr<Line> line;
  UniqueFd hold;
  std::string name;
};

PtyLine open_pty_line(unsigned baud) {
  PtyPair pair = open_pty();
  return {std::make_unique<Line>(std::move(pair.master), baud), std::move(pair.slave), pair.slave_name};
}

// Two ptys whose masters are joined: a virtual null-modem cable.
struct Cable {
  PtyLine a, b;
  std::unique_ptr<Link> link_a, link_b;
};

pollfd poll_entry(const Line* line) {
  if (line == nullptr) return {-1, 0, 0};
  return {line->fd(), static_cast<short>(POLLIN | (line->blocked() ? POLLOUT : 0)), 0};
}

void earliest(std::optional<Micros>& soonest, const std::optional<Micros>& candidate) {
  if (candidate && (!soonest || *candidate < *soonest)) soonest = candidate;
}

void pass(Line& from, Line& to, Micros now) {
  for (const Pacer::Batch& batch : from.take_input(now)) to.send(batch.bytes, now);
}

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  int run();

 private:
  Micros now() const;
  void open_module();
  void leave_line(Micros now, bool lost);
  void come_back(Micros now);
  bool module_present() const { return module_line_ && !away_until_; }
  void open_cable();
  void wait();
  std::optional<Micros> next_deadline() const;
  void service(Micros now);
  void service_module(Micros now);
  void service_cable(Micros now);
  std::string on_control(const std::optional<ControlCommand>& command);
  void publish(bool to_stdout);
  void save_image();

  SimOptions options_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  Module module_;
  SignalWatch signals_;
  std::unique_ptr<ControlServer> control_;
  std::unique_ptr<Line> module_line_;
  UniqueFd module_hold_;
  std::vector<std::unique_ptr<Link>> module_links_;
  std::string module_name_;
  std::optional<Micros> away_until_;  // the module is off the line until then
  std::optional<Cable> cable_;
  bool stop_ = false;
};

Simulator::Simulator(SimOptions options) : options_(std::move(options)), module_(options_.module) {
  if (!options_.control.empty()) {
    control_ = std::make_unique<ControlServer>(options_.control);
    say("control " + options_.control);
  }
  if (options_.wants_module()) {
    open_module();
    say("module " + module_name_);
  }
  if (options_.null_modem.size() == 2) open_cable();
}

Micros Simulator::now() const {
  return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - start_);
}

// Opens the given tty, or a new pty that the links then name.
void Simulator::open_module() {
  if (!options_.tty.empty()) {
    // A real UART paces itself; the rate only sets the device.
    module_line_ = std::make_unique<Line>(open_tty(options_.tty, options_.baud), 0);
    module_name_ = options_.tty;
    return;
  }
  PtyLine pty = open_pty_line(options_.baud);
  module_line_ = std::move(pty.line);
  module_hold_ = std::move(pty.hold);
  module_name_ = pty.name;
  if (module_links_.empty()) {
    for (const std::string& path : options_.links) {
      module_links_.push_back(std::make_unique<Link>(path, module_name_));
    }
  } else {
    for (const auto& link : module_links_) link->retarget(module_name_);
  }
}

// Closing the master hangs up the slave, so the tool sees the module leave the line. The links
// move to the next pty at once: left pointing at the closed one, they could name a pty number
// the system has since given to another program. The new pty stays unanswered until the
// module comes back.
void Simulator::leave_line(Micros now, bool lost) {
  if (lost) module_.line_lost(now);
  const std::unique_ptr<Line> old_line = std::move(module_line_);
  const UniqueFd old_hold = std::move(module_hold_);
  if (options_.tty.empty()) open_module();
  away_until_ = now + kAwayTime;
  say("module off the line");
}

void Simulator::come_back(Micros now) {
  try {
    if (module_line_) {
      module_line_->discard_input(now);
    } else {
      open_module();
    }
    away_until_.reset();
    say("module " + module_name_);
  } catch (const std::exception& error) {
    std::cerr << "kov02a-sim: " << error.what() << "; trying again\n";
    away_until_ = now + kAwayTime;
  }
}

void Simulator::open_cable() {
  Cable cable{open_pty_line(options_.baud), open_pty_line(options_.baud), nullptr, nullptr};
  cable.link_a = std::make_unique<Link>(options_.null_modem[0], cable.a.name);
  cable.link_b = std::make_unique<Link>(options_.null_modem[1], cable.b.name);
  say("null-modem " + cable.a.name + " " + cable.b.name);
  cable_ = std::move(cable);
}

int Simulator::run() {
  say("ready");
  while (!stop_) {
    wait();
    service(now());
  }
  module_.finish(now());
  publish(true);
  return 0;
}

std::optional<Micros> Simulator::next_deadline() const {
  std::optional<Micros> soonest = module_.next_deadline();
  earliest(soonest, away_until_);
  if (module_present()) earliest(soonest, module_line_->next_due());
  if (cable_) {
    earliest(soonest, cable_->a.line->next_due());
    earliest(soonest, cable_->b.line->next_due());
  }
  return soonest;
}

void Simulator::wait() {
  std::array<pollfd, 5> fds{{
      {signals_.fd(), POLLIN, 0},
      {control_ ? control_->fd() : -1, POLLIN, 0},
      poll_entry(module_present() ? module_line_.get() : nullptr),
      poll_entry(cable_ ? cable_->a.line.get() : nullptr),
      poll_entry(cable_ ? cable_->b.line.get() : nullptr),
  }};
  timespec timeout{};
  const std::optional<Micros> deadline = next_deadline();
  if (deadline) {
    const Micros left = std::max(Micros{0}, *deadline - now());
    timeout = {static_cast<time_t>(left.count() / 1'000'000),
               static_cast<long>(left.count() % 1'000'000) * 1000};
  }
  // ppoll: the count of ready descriptors, 0 on time-out, or -1 with errno.
  if (ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr) <= 0) return;
  const Micros t = now();
  if (fds[0].revents != 0) {
    signals_.drain();
    stop_ = true;
  }
  if ((fds[1].revents & POLLIN) != 0)
    control_->serve([this](const auto& command) { return on_control(command); });
  if (fds[2].revents != 0 && module_present() && !module_line_->receive(t)) leave_line(t, true);
  if (!cable_) return;
  // The cable's ptys are held open at both ends, so only a broken system fails here.
  for (int i = 3; i < 5; ++i) {
    Line& line = *(i == 3 ? cable_->a.line : cable_->b.line);
    if (fds[i].revents != 0 && !line.receive(t))
      throw std::system_error(errno, std::generic_category(), "cable");
  }
}

void Simulator::service(Micros now) {
  if (module_present()) service_module(now);
  const Bytes babble = module_.tick(now);
  if (module_present()) module_line_->send(babble, now);
  if (module_.take_drop_request()) leave_line(now, false);
  if (module_.take_image_ready()) save_image();
  if (module_.take_run_ended()) publish(true);
  if (module_present() && !module_line_->flush(now)) leave_line(now, true);
  // Read the clock again after the write: a turnaround counts from the 0xAA's write, not from
  // the start of this service, which went into handling the chunk.
  if (module_present()) module_.answers_sent(this->now());
  if (away_until_ && now >= *away_until_) come_back(now);
  if (cable_) service_cable(now);
}

void Simulator::service_module(Micros now) {
  for (const Pacer::Batch& batch : module_line_->take_input(now)) {
    module_line_->send(module_.feed(batch.bytes, batch.arrival, now), now);
  }
}

void Simulator::service_cable(Micros now) {
  pass(*cable_->a.line, *cable_->b.line, now);
  pass(*cable_->b.line, *cable_->a.line, now);
  if (!cable_->a.line->flush(now) || !cable_->b.line->flush(now)) {
    throw std::system_error(errno, std::generic_category(), "cable");
  }
}

std::string Simulator::on_control(const std::optional<ControlCommand>& command) {
  using Verb = ControlCommand::Verb;
  if (!command) return "error expected: ril CODE, reboot CODE, summary [json] or quit\n";
  switch (command->verb) {
    case Verb::Ril:
    case Verb::Reboot: {
      const auto request = command->verb == Verb::Ril ? ControlRequest::Ril : ControlRequest::Reboot;
      const bool accepted = module_.control(request, command->code, now());
      publish(false);
      if (accepted) return "ok\n";
      return "refused " + hex_code(command->code) + " (" + std::string(control_name(command->code)) + ")\n";
    }
    case Verb::Summary:
      return "ok\n" +
             (command->json ? summary_json(module_.summary()) + "\n" : summary_text(module_.summary()));
    case Verb::Quit:
      stop_ = true;
      return "ok\n";
  }
  return "error\n";
}

void Simulator::publish(bool to_stdout) {
  const Summary& summary = module_.summary();
  if (to_stdout) {
    const bool json_out = options_.json && options_.summary_file.empty();
    std::cout << (json_out ? summary_json(summary) + "\n" : summary_text(summary)) << std::flush;
  }
  if (options_.summary_file.empty()) return;
  try {
    const std::string line = summary_json(summary) + "\n";
    write_file_atomically(options_.summary_file, line.data(), line.size());
  } catch (const std::exception& error) {
    std::cerr << "kov02a-sim: " << error.what() << "\n";
  }
}

void Simulator::save_image() {
  if (options_.save_image.empty()) return;
  try {
    write_file_atomically(options_.save_image, module_.image().data(), module_.image().size());
  } catch (const std::exception& error) {
    std::cerr << "kov02a-sim: " << error.what() << "\n";
  }
}

}  // namespace

int run_simulator(SimOptions options) {
  try {
    Simulator simulator(std::move(options));
    return simulator.run();
  } catch (const std::exception& error) {
    std::cerr << "kov02a-sim: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace kov02a_sim
