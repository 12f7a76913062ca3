#include "cli.hpp"

int main(int argc, char** argv) {
  return kov02a_sim::run_command_line(argc, argv);
}
