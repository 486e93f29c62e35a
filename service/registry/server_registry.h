// ServerRegistry: the service's in-memory model of what it serves and to
// whom. Every export (a server) has a ServerConfig, a static client list
// (persisted) and an online client list (never persisted). Outside the
// registry servers and clients are named by nonzero 32-bit handles, valid
// until the entry is deleted; every handle is validated before any use.
//
// Threads: management calls, engine hooks, the host name resolver and the
// service host all call in. One registry lock guards everything; each public
// operation holds it for its whole run, including the save hook and, for
// StartServer, the whole engine start (up to its 1000 ms wait, after a
// source open of up to kOpenWait) and, for a stop, the engine's stop (its
// source's close up to kCloseWait).
//
// Results: 0 success, -1 failure (unknown handle, refused insertion, failed
// start), as the management interface passes them on. A change of servers or
// static clients that the save hook cannot keep is not made (-1): a caller
// must not take it as kept; a start or stop is made and kept in memory
// (the engine's state is what was asked for), its save failure on the
// console. Records are copied in
// and out; nothing inside the registry is ever handed out by reference.
#ifndef QUENSARIA_SERVICE_REGISTRY_SERVER_REGISTRY_H_
#define QUENSARIA_SERVICE_REGISTRY_SERVER_REGISTRY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/engine/endpoint.h"
#include "shared/management_operations.h"
#include "shared/management_records.h"
#include "shared/stored_server.h"

namespace quensaria::registry {

class RegistryState;

using Handle = ManagementHandle;  // 0 = none

inline constexpr char kDuplicateClientText[] =
    "A client with same address is already in the static client list";

// The text of a client insertion refused because the save failed.
inline constexpr char kNotSavedText[] = "The service could not save the change";

// Called under the registry lock for every change of persisted data, with
// the whole registry in list order; false when it could not keep them.
using SaveHook = std::function<bool(const std::vector<StoredServer>& servers)>;

// What the registry needs of the machine besides engines. Empty members mean
// the real ones (getnameinfo; a pause that RequestStop cuts short); tests
// inject their own so that they need neither DNS nor real time.
struct RegistryEnvironment {
  // The host name of an IPv4 address (network byte order), or nothing.
  std::function<std::optional<std::string>(uint32_t address)> look_up_host_name;
  // One pause of the host name resolver.
  std::function<void(std::chrono::milliseconds duration)> pause;
  // Runs between a look-up of the resolver and the writing of its name
  // (tests: what a change made meanwhile meets). Empty: nothing.
  std::function<void()> before_name_written;
  // The longest a start waits for its engine to listen (0: one second).
  std::chrono::milliseconds start_wait{0};
  // The longest a start waits for its engine's source to open (0: kOpenWait).
  std::chrono::milliseconds open_wait{0};
  // The longest a stop waits for its engine's source to close (0: kCloseWait).
  std::chrono::milliseconds close_wait{0};
};

class ServerRegistry final : public ServerOperations {
 public:
  explicit ServerRegistry(engine::EndpointFactory factory, RegistryEnvironment environment = {});
  // Stops every running engine. REQUIRES: RunHostNameResolver has returned.
  ~ServerRegistry() override;
  ServerRegistry(const ServerRegistry&) = delete;
  ServerRegistry& operator=(const ServerRegistry&) = delete;

  void SetSaveHook(SaveHook hook);

  // Management operations, in the order of their operation numbers.
  // StartServer refuses (-1) a server that is started already; DeleteServer
  // of a started server stops its engine first.
  int32_t AddServer(const ServerConfig& config, Handle& server) override;
  int32_t EnumServers(Handle server, Handle& next) override;
  int32_t GetServer(Handle server, ServerConfig& config) override;
  int32_t StartServer(Handle server) override;
  int32_t StopServer(Handle server) override;
  int32_t DeleteServer(Handle server) override;
  int32_t AddStaticClient(Handle server, const ClientEntry& client) override;
  int32_t EnumStaticClients(Handle server, Handle client, Handle& next) override;
  int32_t GetStaticClient(Handle client, ClientEntry& entry) override;
  int32_t DeleteStaticClient(Handle server, Handle client) override;
  int32_t ModifyStaticClient(Handle client, const ClientEntry& entry) override;
  int32_t AddOnlineClient(Handle server, const ClientEntry& client) override;
  int32_t EnumOnlineClients(Handle server, Handle client, Handle& next) override;
  int32_t GetOnlineClient(Handle client, ClientEntry& entry) override;
  int32_t DeleteOnlineClient(Handle server, Handle client) override;
  int32_t ModifyOnlineClient(Handle client, const ClientEntry& entry) override;
  // The live figures: the online list's logged-on clients and what the
  // server's engine counts (all 0 while stopped).
  int32_t GetServerStats(Handle server, ServerStats& stats) override;
  // The text of the last refused client insertion; empty at start.
  std::string LastErrorText() const;

  // Load support: appends a server with its static clients exactly as read
  // (no validation); when config.Started is nonzero and `start` holds its
  // engine is started first and Started becomes 1 or 0 by the outcome
  // (without `start`, Started stays as read). Does not save.
  void LoadServer(const ServerConfig& config, const std::vector<ClientEntry>& static_clients,
                  bool start = true);
  // The persisted part of every server, in list order.
  std::vector<StoredServer> Snapshot() const;

  // Service stop: stops every started engine, leaving Started as it is (so
  // the final save brings those servers back at the next start). The
  // engines stop side by side: sources that do not close cost one close
  // wait in all (FreeRegistry too).
  void StopAllServers();
  // Frees every server with both client lists (engines must be stopped).
  void FreeRegistry();

  // Runs the host name resolver on the calling thread until RequestStop;
  // every pause in it ends promptly when stop is requested.
  void RunHostNameResolver();
  void RequestStop();

 private:
  std::shared_ptr<RegistryState> state_;  // shared with running hooks
};

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_SERVER_REGISTRY_H_
