// The simulator process: the module's line, the null-modem cable and the control socket,
// served by one poll loop on one thread.
#pragma once

#include <string>
#include <vector>

#include "module.hpp"

namespace kov02a_sim {

struct SimOptions {
  std::vector<std::string> links;       // symbolic links to the module's pty
  std::string tty;                      // a real serial device for the module instead of a pty
  std::string control;                  // control socket path; none when empty
  std::vector<std::string> null_modem;  // two link paths for the cable, or none
  std::string save_image;               // where each fully received image is written
  std::string summary_file;             // where the JSON summary is kept
  bool json = false;                    // JSON summaries on stdout instead of text
  unsigned baud = 0;                    // pace the ptys at this rate; 0 does not pace
  ModuleOptions module;

  // The module plays unless only a cable was asked for.
  bool wants_module() const { return !links.empty() || !tty.empty() || null_modem.empty(); }
};

// Runs until SIGINT, SIGTERM or a quit request. Returns the process's exit status: 0 after a
// clean stop, 1 when it could not start (the reason is on stderr).
int run_simulator(SimOptions options);

}  // namespace kov02a_sim
