// ludrane-cli: see configurator/cli.h.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "configurator/client/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const int status = quensaria::configurator::RunCli(args, std::cout, std::cerr);
  // What was printed must have been written (a list on a full disk, a
  // closed pipe), or a script takes a cut answer for the whole one: exit
  // status 2, as for an --output file that cannot be written.
  errno = 0;
  std::cout.flush();
  const bool failed = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (failed) {
    const int error = errno;
    std::cerr << "ludrane-cli: cannot write standard output: "
              << (error != 0 ? std::strerror(error) : "write failed") << "\n";
    return status == 0 ? 2 : status;
  }
  return status;
}
