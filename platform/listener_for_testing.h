// A port another program holds, for tests of what happens when an export's
// port is taken: a socket listening on a free port of every local address.
#ifndef QUENSARIA_PLATFORM_LISTENER_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_LISTENER_FOR_TESTING_H_

#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::testing {

// LocalPort of the socket tells the port it took.
inline Result<platform::UniqueFd> ListenOnFreePort(int backlog = 1) {
  platform::PassiveAddress any;
  if (Status resolved = any.Resolve("0"); !resolved.ok()) return resolved;
  Result<platform::UniqueFd> socket = platform::CreateSocket(any);
  if (!socket.ok()) return socket;
  if (Status bound = platform::BindSocket(socket->get(), any); !bound.ok()) return bound;
  if (Status listening = platform::ListenSocket(socket->get(), backlog); !listening.ok()) {
    return listening;
  }
  return socket;
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_LISTENER_FOR_TESTING_H_
