// RegistryState: the data behind ServerRegistry and the steps its
// operations, the engine hooks and the resolver share. Members marked
// "lock held" REQUIRE `lock`; nothing here takes it except LockFor.
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
#include "service/registry/engine_run.h"
#include "service/registry/registry_lock.h"
#include "service/registry/server_registry.h"
#include "shared/management_records.h"

namespace quensaria::registry {

struct ListedClient {
  Handle handle;
  ClientEntry entry;
};
using ClientList = std::vector<ListedClient>;

enum class ListKind { kStatic, kOnline };

struct ServerEntry {
  Handle handle;
  ServerConfig config;
  std::unique_ptr<EngineRun> engine;  // present while started
  ClientList static_clients;
  ClientList online_clients;

  ClientList& List(ListKind kind) { return kind == ListKind::kStatic ? static_clients : online_clients; }
};

class RegistryState {
 public:
  RegistryState(engine::EndpointFactory factory, RegistryEnvironment environment);

  mutable RegistryLock lock;

  // Takes the lock for a hook of `run`; returns it unowned once `run` is
  // stopping (the holder of the lock is then waiting for that engine).
  std::unique_lock<RegistryLock> LockFor(const EngineRun& run) const;

  // Lock held.
  ServerEntry* FindServer(Handle server);
  ServerEntry* FindServerOf(const EngineRun& run);
  struct ClientPlace {
    ServerEntry* server = nullptr;
    ClientList::iterator client;
  };
  // The entry named by `client` in any server's list of `kind`.
  ClientPlace FindClient(Handle client, ListKind kind);
  // Appends `entry` under a new handle unless its address is listed already
  // (then sets the last error text and returns -1).
  int32_t AddClient(ServerEntry& server, ListKind kind, const ClientEntry& entry);
  // Removes the online entry of `address`, if any.
  void RemoveOnline(ServerEntry& server, uint32_t address);
  Handle NewHandle();
  bool StartEngine(ServerEntry& server);
  // Stops the engine, if any, and applies the disconnects it left behind.
  void StopEngine(ServerEntry& server);
  std::vector<StoredServer> Snapshot() const;
  // Calls the save hook with the whole registry.
  void Save() const;

  // Lock held.
  std::vector<ServerEntry> servers;
  std::string last_error;
  SaveHook save;

  const engine::EndpointFactory factory;
  const RegistryEnvironment environment;  // both members filled in

  // The resolver's stop, apart from the registry lock.
  mutable std::mutex stop_mutex;
  std::condition_variable stop_changed;
  bool stop_requested = false;

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
