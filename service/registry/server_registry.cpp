// The management operations: each holds the registry lock for its whole
// run, validates its handles by search before touching anything, and saves
// where persisted data changed.
#include "service/registry/server_registry.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

#include "service/registry/host_name_resolver.h"
#include "service/registry/registry_state.h"

namespace quensaria::registry {
namespace {

template <typename Items>
Handle NextAfter(const Items& items, Handle current) {
  if (current == 0) return items.empty() ? 0 : items.front().handle;
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (it->handle == current) return ++it == items.end() ? 0 : it->handle;
  }
  return 0;
}

// Copies the fields a modify operation may change; the address stays.
void Overwrite(ClientEntry& target, const ClientEntry& given) {
  const ClientEntry source = SanitizedClient(given);
  target.access = source.access;
  target.state = source.state;
  target.nameState = source.nameState;
  std::copy(std::begin(source.hostName), std::end(source.hostName), std::begin(target.hostName));
}

}  // namespace

ServerRegistry::ServerRegistry(engine::EndpointFactory factory, RegistryEnvironment environment)
    : state_(std::make_shared<RegistryState>(std::move(factory), std::move(environment))) {}

ServerRegistry::~ServerRegistry() { FreeRegistry(); }

void ServerRegistry::SetSaveHook(SaveHook hook) {
  std::scoped_lock lock(state_->lock);
  state_->save = std::move(hook);
}

int32_t ServerRegistry::AddServer(const ServerConfig& config, Handle& server) {
  std::scoped_lock lock(state_->lock);
  const Handle handle = state_->NewHandle();
  ServerEntry& entry = state_->servers.emplace_back();
  entry.handle = handle;
  entry.config = SanitizedConfig(config);
  entry.config.Started = 0;
  if (!state_->Save()) {
    state_->servers.pop_back();
    return -1;
  }
  server = handle;
  return 0;
}

int32_t ServerRegistry::EnumServers(Handle server, Handle& next) {
  std::scoped_lock lock(state_->lock);
  next = NextAfter(state_->servers, server);
  return 0;
}

int32_t ServerRegistry::GetServer(Handle server, ServerConfig& config) {
  std::scoped_lock lock(state_->lock);
  const ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  config = entry->config;
  return 0;
}

int32_t ServerRegistry::StartServer(Handle server) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  // A second engine would lose track of the one that serves.
  if (entry->engine) return -1;
  if (!state_->StartEngine(*entry)) return -1;
  entry->config.Started = 1;
  state_->Save();
  return 0;
}

int32_t ServerRegistry::StopServer(Handle server) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  state_->StopEngine(*entry);
  entry->config.Started = 0;
  state_->Save();
  return 0;
}

int32_t ServerRegistry::DeleteServer(Handle server) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return 0;
  const auto index = entry - state_->servers.data();
  // Saved first: a server that came back at the next start would serve again.
  std::vector<StoredServer> kept = state_->Snapshot();
  kept.erase(kept.begin() + index);
  if (!state_->Save(kept)) return -1;
  // An engine left running would serve a deleted export that nothing can stop.
  state_->StopEngine(*entry);
  state_->servers.erase(state_->servers.begin() + index);
  return 0;
}

int32_t ServerRegistry::AddStaticClient(Handle server, const ClientEntry& client) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  ClientEntry stored = client;
  stored.state = kClientStatic;
  if (stored.nameState != kNameKnown) stored.nameState = kNameUnknown;
  if (state_->AddClient(*entry, ListKind::kStatic, stored) != 0) return -1;
  if (!state_->Save()) {
    entry->static_clients.erase(std::prev(entry->static_clients.end()));
    state_->last_error = kNotSavedText;
    return -1;
  }
  return 0;
}

int32_t ServerRegistry::EnumStaticClients(Handle server, Handle client, Handle& next) {
  std::scoped_lock lock(state_->lock);
  next = 0;
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  next = entry->static_clients.NextAfter(client);
  return 0;
}

int32_t ServerRegistry::GetStaticClient(Handle client, ClientEntry& entry) {
  std::scoped_lock lock(state_->lock);
  const auto place = state_->FindClient(client, ListKind::kStatic);
  if (place.server == nullptr) return -1;
  entry = place.client->entry;
  return 0;
}

int32_t ServerRegistry::DeleteStaticClient(Handle server, Handle client) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  const auto place = state_->FindClient(client, ListKind::kStatic);
  if (entry == nullptr || place.server == nullptr) return -1;
  if (place.server != entry) return 0;  // another server's client: nothing to do
  std::vector<StoredServer> kept = state_->Snapshot();
  auto& clients = kept[static_cast<size_t>(entry - state_->servers.data())].static_clients;
  clients.erase(clients.begin() + std::distance(entry->static_clients.begin(), place.client));
  if (!state_->Save(kept)) return -1;
  entry->static_clients.erase(place.client);
  return 0;
}

int32_t ServerRegistry::ModifyStaticClient(Handle client, const ClientEntry& entry) {
  std::scoped_lock lock(state_->lock);
  const auto place = state_->FindClient(client, ListKind::kStatic);
  if (place.server == nullptr) return -1;
  const ClientEntry before = place.client->entry;
  Overwrite(place.client->entry, entry);
  if (!state_->Save()) {
    place.client->entry = before;
    return -1;
  }
  return 0;
}

int32_t ServerRegistry::AddOnlineClient(Handle server, const ClientEntry& client) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  return state_->AddClient(*entry, ListKind::kOnline, client);
}

int32_t ServerRegistry::EnumOnlineClients(Handle server, Handle client, Handle& next) {
  std::scoped_lock lock(state_->lock);
  next = 0;
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  next = entry->online_clients.NextAfter(client);
  return 0;
}

int32_t ServerRegistry::GetOnlineClient(Handle client, ClientEntry& entry) {
  std::scoped_lock lock(state_->lock);
  const auto place = state_->FindClient(client, ListKind::kOnline);
  if (place.server == nullptr) return -1;
  entry = place.client->entry;
  return 0;
}

int32_t ServerRegistry::DeleteOnlineClient(Handle server, Handle client) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  const auto place = state_->FindClient(client, ListKind::kOnline);
  if (entry == nullptr || place.server == nullptr) return -1;
  if (place.server != entry) return 0;
  entry->online_clients.erase(place.client);
  return 0;
}

int32_t ServerRegistry::ModifyOnlineClient(Handle client, const ClientEntry& entry) {
  std::scoped_lock lock(state_->lock);
  const auto place = state_->FindClient(client, ListKind::kOnline);
  if (place.server == nullptr) return -1;
  Overwrite(place.client->entry, entry);
  // The refused cap counts what is refused now: a client changed to logged
  // on is not pushed out by later refusals.
  ClientList& online = place.server->online_clients;
  online.StateChanged(place.client);
  online.TrimRefused(kMaxRefusedClients);
  return 0;
}

int32_t ServerRegistry::GetServerStats(Handle server, ServerStats& stats) {
  std::scoped_lock lock(state_->lock);
  ServerEntry* entry = state_->FindServer(server);
  if (entry == nullptr) return -1;
  ServerStats figures{};
  figures.RecordSize = sizeof figures;
  for (const ListedClient& client : entry->online_clients) {
    if (client.entry.state == kClientLoggedOn) ++figures.OnlineClients;
  }
  // An engine that ended by itself (its listener broke) serves nobody.
  if (entry->engine && entry->engine->ReadFigures(figures)) figures.Running = 1;
  stats = figures;
  return 0;
}

std::string ServerRegistry::LastErrorText() const {
  std::scoped_lock lock(state_->lock);
  return state_->last_error;
}

void ServerRegistry::LoadServer(const ServerConfig& config,
                                const std::vector<ClientEntry>& static_clients, bool start) {
  std::scoped_lock lock(state_->lock);
  const Handle handle = state_->NewHandle();
  ServerEntry& entry = state_->servers.emplace_back();
  entry.handle = handle;
  entry.config = SanitizedConfig(config);
  for (const ClientEntry& client : static_clients) {
    entry.static_clients.push_back({state_->NewHandle(), SanitizedClient(client)});
  }
  if (start && entry.config.Started != 0) entry.config.Started = state_->StartEngine(entry) ? 1 : 0;
}

std::vector<StoredServer> ServerRegistry::Snapshot() const {
  std::scoped_lock lock(state_->lock);
  return state_->Snapshot();
}

void ServerRegistry::StopAllServers() {
  std::scoped_lock lock(state_->lock);
  // Started stays as it is, so the final save brings these back next time.
  state_->StopAllEngines();
}

void ServerRegistry::FreeRegistry() {
  std::scoped_lock lock(state_->lock);
  state_->StopAllEngines();
  state_->servers.clear();
}

void ServerRegistry::RunHostNameResolver() { HostNameResolver(*this, *state_).Run(); }

void ServerRegistry::RequestStop() {
  {
    std::scoped_lock lock(state_->stop_mutex);
    state_->stop_requested = true;
  }
  state_->stop_changed.notify_all();
}

}  // namespace quensaria::registry
