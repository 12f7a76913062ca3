// The control socket: how the handset tool's RIL and reboot hooks, and people, reach a running
// simulator. A client sends one request line and reads one answer:
//
//   ril 0x03001F88 | reboot 0x0101003C | summary | summary json | quit
//
// The answer's first line is "ok", "refused <why>" or "error <why>"; for a summary the text
// follows it. The server closes the connection after answering.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ports.hpp"

namespace kov02a_sim {

struct ControlCommand {
  enum class Verb { Ril, Reboot, Summary, Quit };
  Verb verb = Verb::Quit;
  std::uint32_t code = 0;  // Ril and Reboot
  bool json = false;       // Summary
};

// One request line, without its line break; nothing when it is not a request.
std::optional<ControlCommand> parse_control(std::string_view line);
// The request line for a command, line break included.
std::string format_control(const ControlCommand& command);

class ControlServer {
 public:
  // Listens at `path`, readable by the owner only. A socket left behind by a simulator that
  // died is replaced; one that still answers, or any other file, is an error.
  explicit ControlServer(std::string path);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  int fd() const { return fd_.get(); }

  // The answer (first line and any text) for a request; nothing parsed when the line was not one.
  using Handler = std::function<std::string(const std::optional<ControlCommand>&)>;
  // Takes one waiting client: reads its request line (waiting at most a second for it),
  // writes the handler's answer and closes the connection.
  void serve(const Handler& handler);

 private:
  std::string path_;
  UniqueFd fd_;
};

struct ControlReply {
  bool reached = false;   // a simulator answered
  bool accepted = false;  // its answer was "ok"
  std::string status;     // the first line of the answer, or why none came
  std::string text;       // what followed the first line
};

// Sends one request to the simulator listening at `path` and waits for its answer.
ControlReply send_control(const std::string& path, const ControlCommand& command);

}  // namespace kov02a_sim
