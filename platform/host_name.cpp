#include "platform/host_name.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quensaria::platform {

std::optional<std::string> LookUpHostName(uint32_t address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  char name[NI_MAXHOST];
  // NI_NAMEREQD: an address without a name is a failure, not its own text.
  const int result = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, name,
                                 sizeof name, nullptr, 0, NI_NAMEREQD);
  if (result != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

}  // namespace quensaria::platform
