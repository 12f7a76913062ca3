// The command line: the simulator's options and the ctl subcommand that talks to a running one.
#pragma once

namespace kov02a_sim {

// Parses the command line and runs the simulator or the ctl subcommand; returns the exit status.
int run_command_line(int argc, char** argv);

}  // namespace kov02a_sim
