// ludrane-cli: see configurator/cli.h.
#include <iostream>
#include <string>
#include <vector>

#include "configurator/client/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quensaria::configurator::RunCli(args, std::cout, std::cerr);
}
