// HostNameResolver: the background walk that fills in the host names of
// static clients, at most one look-up a second, through the registry's own
// locked operations (so the lock is never held across a look-up). Clients
// that log on are listed unnamed and named here too, after every pause; a
// log-on ends the pause under way. Runs on the thread that calls Run until
// stop is requested; every pause ends early on stop.
#ifndef QUENSARIA_SERVICE_REGISTRY_HOST_NAME_RESOLVER_H_
#define QUENSARIA_SERVICE_REGISTRY_HOST_NAME_RESOLVER_H_

#include <chrono>
#include <optional>
#include <string>

#include "service/registry/registry_state.h"
#include "service/registry/server_registry.h"

namespace quensaria::registry {

inline constexpr std::chrono::milliseconds kAfterClientPause{1000};
inline constexpr std::chrono::milliseconds kAfterServerPause{5000};
inline constexpr std::chrono::milliseconds kAfterPassPause{10000};

class HostNameResolver {
 public:
  HostNameResolver(ServerRegistry& registry, RegistryState& state)
      : registry_(registry), state_(state) {}
  void Run();

 private:
  enum class Walk { kEnded, kVanished, kStopped };
  // Looks up the clients of one server that still need a name.
  Walk ResolveServer(Handle server);
  // Writes the look-up's outcome into the static entry, unless it was named
  // meanwhile; false when the entry is gone.
  bool WriteStaticName(Handle client, const std::optional<std::string>& name);
  // One paced pass over every server; false once stop is requested.
  bool Pass();
  // False once stop is requested.
  bool Pause(std::chrono::milliseconds duration);
  // Names every logged-on online client that has none yet.
  void ResolveOnlineClients();
  bool StopRequested() const;

  ServerRegistry& registry_;
  RegistryState& state_;
};

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_HOST_NAME_RESOLVER_H_
