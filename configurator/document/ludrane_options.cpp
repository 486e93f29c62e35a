#include "configurator/document/ludrane_options.h"

#include <sys/un.h>

#include "configurator/client/management_client.h"
#include "shared/dcerpc.h"
#include "shared/management_interface.h"

namespace quensaria::configurator {

std::optional<LudraneOptions> ParseLudraneArguments(const std::vector<std::string>& args) {
  LudraneOptions options{kDefaultRuntimeDirectory};
  // Wherever it stands, and whatever else is there.
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--runtime-dir" && i + 1 < args.size()) {
      options.runtime_directory = args[++i];
    } else if (arg.rfind("--runtime-dir=", 0) == 0) {
      options.runtime_directory = arg.substr(14);
    } else {
      return std::nullopt;
    }
  }
  if (options.runtime_directory.empty()) return std::nullopt;
  return options;
}

uint32_t BindingStatus(const std::string& runtime_directory) {
  const std::string path = ManagementEndpointPath(runtime_directory);
  if (runtime_directory.empty() || path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    return rpc::RPC_S_INVALID_STRING_BINDING;
  }
  return rpc::RPC_S_OK;
}

}  // namespace quensaria::configurator
