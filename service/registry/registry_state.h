// RegistryState: the data behind ServerRegistry and the steps its
// operations, the engine hooks and the resolver share. Members marked
// "lock held" REQUIRE `lock`; nothing here takes it except LockFor.
// Shared: the hooks of an engine hold it while they run, so a hook that
// outlives the registry (service/engine/endpoint.h) finds it alive, with
// every engine gone.
#ifndef QUENSARIA_SERVICE_REGISTRY_REGISTRY_STATE_H_
#define QUENSARIA_SERVICE_REGISTRY_REGISTRY_STATE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/engine/endpoint.h"
#include "service/registry/client_list.h"
#include "service/registry/engine_run.h"
#include "service/registry/registry_lock.h"
#include "service/registry/server_registry.h"
#include "shared/management_records.h"

namespace quensaria::registry {

// At most this many refused clients are listed online per server; the
// oldest goes first.
inline constexpr size_t kMaxRefusedClients = 256;

enum class ListKind { kStatic, kOnline };

struct ServerEntry {
  Handle handle;
  ServerConfig config;
  std::unique_ptr<EngineRun> engine;  // present while started
  ClientList static_clients;
  ClientList online_clients;

  ClientList& List(ListKind kind) {
    return kind == ListKind::kStatic ? static_clients : online_clients;
  }
};

class RegistryState : public std::enable_shared_from_this<RegistryState> {
 public:
  RegistryState(engine::EndpointFactory factory, RegistryEnvironment environment);

  mutable RegistryLock lock;

  // Takes the lock for a hook of the engine of `link`; returns it unowned
  // once that engine is stopping (the holder of the lock is then waiting
  // for that engine).
  std::unique_lock<RegistryLock> LockFor(const EngineLink& link) const;

  // Lock held (this one and those down to Save).
  ServerEntry* FindServer(Handle server);
  ServerEntry* FindServerOf(const EngineLink& link);
  struct ClientPlace {
    ServerEntry* server = nullptr;
    ClientList::iterator client;
  };
  // The entry named by `client` in any server's list of `kind`.
  ClientPlace FindClient(Handle client, ListKind kind);
  // Appends `entry` under a new handle unless its address is listed already
  // (then sets the last error text and returns -1). A refused online entry
  // beyond kMaxRefusedClients pushes out the oldest.
  int32_t AddClient(ServerEntry& server, ListKind kind, const ClientEntry& entry);
  // Removes the online entry of `address`, if any.
  void RemoveOnline(ServerEntry& server, uint32_t address);
  Handle NewHandle();
  bool StartEngine(ServerEntry& server);
  // Stops the engine, if any, and applies the disconnects it left behind.
  void StopEngine(ServerEntry& server);
  // Stops every engine: all are asked first, then waited for until one
  // close wait from then, so that hung closes cost it once, not once each.
  void StopAllEngines();
  std::vector<StoredServer> Snapshot() const;
  // Calls the save hook with the whole registry, or with `stored`; false
  // when the save failed (true without a hook).
  bool Save() const;
  bool Save(const std::vector<StoredServer>& stored) const;

  // Lock held.
  std::vector<ServerEntry> servers;
  std::string last_error;
  SaveHook save;

  const engine::EndpointFactory factory;
  const RegistryEnvironment environment;  // both members filled in

  // Asks the resolver to name the clients that logged on (its pause ends).
  void RequestNames();
  // Whether names were asked for since the last call; clears the request.
  bool TakeNameRequest();
  // The first logged-on online client still without a name, not in
  // `skip`: false when there is none.
  bool NextUnnamedOnline(const std::vector<Handle>& skip, Handle& client, uint32_t& address);

  // The resolver's stop and wake-ups, apart from the registry lock.
  mutable std::mutex stop_mutex;
  std::condition_variable stop_changed;
  bool stop_requested = false;
  bool names_requested = false;

 private:
  bool HandleIsLive(Handle handle) const;
  Handle last_handle_ = 0;
};

// Records cross the boundary as copies whose text fields are terminated and
// whose list link means nothing.
ClientEntry SanitizedClient(const ClientEntry& entry);
ServerConfig SanitizedConfig(const ServerConfig& config);
// Fills the host name field with `name`, cut to 127 characters.
void SetHostName(ClientEntry& entry, std::string_view name);

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_REGISTRY_STATE_H_
