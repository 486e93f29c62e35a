// ludrane-cli: the command-line configurator for headless servers. Lists,
// adds, starts, stops and deletes servers (exports) and lists, adds,
// deletes and changes the access of their clients, and shows their live
// figures (as a table, JSON or Prometheus' text), through the service's
// management interface, with the configurator's rules (a new server is
// created stopped, with an "Any Address" client at virtual write unless
// told otherwise; the "Any Address" entry never gets full access).
//
// Exit status: 0 success, 1 the service refused the operation, 2 bad
// usage, 3 the service could not be reached.
#ifndef QUENSARIA_CONFIGURATOR_CLIENT_CLI_H_
#define QUENSARIA_CONFIGURATOR_CLIENT_CLI_H_

#include <ostream>
#include <string>
#include <vector>

namespace quensaria::configurator {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;

// `args` without the program name.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_CLIENT_CLI_H_
