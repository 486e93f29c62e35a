// ludrane's command line and binding check:
//   ludrane [--runtime-dir DIR] [--help]
// DIR holds the service's management socket (default /run/quensaria); tests
// and non-default installs name another. BindingStatus is the check made
// once at start-up: 0, or the RPC status to exit with when the endpoint
// cannot even be named (an empty or too long socket path).
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_LUDRANE_OPTIONS_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_LUDRANE_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quensaria::configurator {

struct LudraneOptions {
  std::string runtime_directory;
  bool help = false;  // "--help" or "-h": print kLudraneUsage to standard output, exit 0
};

inline constexpr char kLudraneUsage[] =
    "usage: ludrane [--runtime-dir DIR] [--help]\n"
    "  --runtime-dir DIR  the service's runtime directory (default /run/quensaria)\n"
    "  --help             print this text and exit\n";

// `args` without the program name; nullopt on bad usage (print the usage,
// exit 2).
std::optional<LudraneOptions> ParseLudraneArguments(const std::vector<std::string>& args);

uint32_t BindingStatus(const std::string& runtime_directory);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_LUDRANE_OPTIONS_H_
