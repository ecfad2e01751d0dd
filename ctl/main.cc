// orvanectl: the administrators' command line for an Orvane server.
#include "commands.h"

int main(int argc, char** argv) {
  return ctl::run_command_line(argc, argv);
}
