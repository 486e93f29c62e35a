#include "service/registry/registry_state.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/console.h"
#include "platform/host_name.h"
#include "service/registry/engine_hooks.h"

namespace quensaria::registry {
namespace {

RegistryEnvironment Completed(RegistryEnvironment environment, RegistryState& state) {
  if (!environment.look_up_host_name) environment.look_up_host_name = platform::LookUpHostName;
  if (environment.start_wait.count() <= 0) environment.start_wait = kStartWait;
  if (environment.open_wait.count() <= 0) environment.open_wait = kOpenWait;
  if (environment.close_wait.count() <= 0) environment.close_wait = kCloseWait;
  if (!environment.pause) {
    environment.pause = [&state](std::chrono::milliseconds duration) {
      std::unique_lock stop_lock(state.stop_mutex);
      state.stop_changed.wait_for(stop_lock, duration,
                                  [&] { return state.stop_requested || state.names_requested; });
    };
  }
  return environment;
}

}  // namespace

RegistryState::RegistryState(engine::EndpointFactory endpoint_factory, RegistryEnvironment env)
    : factory(std::move(endpoint_factory)), environment(Completed(std::move(env), *this)) {}

std::unique_lock<RegistryLock> RegistryState::LockFor(const EngineLink& link) const {
  if (!lock.LockUnless([&link] { return link.stopping(); })) return {};
  return std::unique_lock<RegistryLock>(lock, std::adopt_lock);
}

ServerEntry* RegistryState::FindServer(Handle server) {
  if (server == 0) return nullptr;
  for (ServerEntry& entry : servers) {
    if (entry.handle == server) return &entry;
  }
  return nullptr;
}

ServerEntry* RegistryState::FindServerOf(const EngineLink& link) {
  for (ServerEntry& entry : servers) {
    if (entry.engine && entry.engine->link().get() == &link) return &entry;
  }
  return nullptr;
}

RegistryState::ClientPlace RegistryState::FindClient(Handle client, ListKind kind) {
  if (client == 0) return {};
  for (ServerEntry& server : servers) {
    ClientList& list = server.List(kind);
    auto found = list.Find(client);
    if (found != list.end()) return {&server, found};
  }
  return {};
}

int32_t RegistryState::AddClient(ServerEntry& server, ListKind kind, const ClientEntry& entry) {
  ClientList& list = server.List(kind);
  if (list.FindAddress(entry.address) != list.end()) {
    last_error = kDuplicateClientText;
    return -1;
  }
  list.push_back({NewHandle(), SanitizedClient(entry)});
  if (kind == ListKind::kOnline) list.TrimRefused(kMaxRefusedClients);
  return 0;
}

void RegistryState::RemoveOnline(ServerEntry& server, uint32_t address) {
  ClientList& list = server.online_clients;
  auto found = list.FindAddress(address);
  if (found != list.end()) list.erase(found);
}

void RegistryState::RequestNames() {
  {
    std::scoped_lock stop_lock(stop_mutex);
    names_requested = true;
  }
  stop_changed.notify_all();
}

bool RegistryState::TakeNameRequest() {
  std::scoped_lock stop_lock(stop_mutex);
  return std::exchange(names_requested, false);
}

bool RegistryState::NextUnnamedOnline(const std::vector<Handle>& skip, Handle& client,
                                      uint32_t& address) {
  for (const ServerEntry& server : servers) {
    for (const ListedClient& listed : server.online_clients) {
      const ClientEntry& entry = listed.entry;
      if (entry.state != kClientLoggedOn || entry.nameState != kNameUnknown || entry.address == 0)
        continue;
      if (std::find(skip.begin(), skip.end(), listed.handle) != skip.end()) continue;
      client = listed.handle;
      address = entry.address;
      return true;
    }
  }
  return false;
}

bool RegistryState::HandleIsLive(Handle handle) const {
  for (const ServerEntry& server : servers) {
    if (server.handle == handle || server.static_clients.Contains(handle) ||
        server.online_clients.Contains(handle)) {
      return true;
    }
  }
  return false;
}

Handle RegistryState::NewHandle() {
  // One counter for servers and both lists, so that a handle of one kind
  // never names an entry of another; it wraps only after 2^32 entries.
  do {
    ++last_handle_;
  } while (last_handle_ == 0 || HandleIsLive(last_handle_));
  return last_handle_;
}

bool RegistryState::StartEngine(ServerEntry& server) {
  server.engine = EngineRun::StartEndpoint(
      factory, server.config,
      [this](EngineRun& run) { return MakeEngineHooks(weak_from_this(), run.link()); },
      environment.start_wait, environment.open_wait);
  return server.engine != nullptr;
}

void RegistryState::StopEngine(ServerEntry& server) {
  if (!server.engine) return;
  server.engine->BeginStop();
  lock.WakeWaiters();  // its hooks waiting for the lock now give up
  const std::vector<uint32_t> disconnects =
      EngineRun::StopWithin(std::move(server.engine), environment.close_wait);
  for (uint32_t address : disconnects) RemoveOnline(server, address);
}

void RegistryState::StopAllEngines() {
  for (ServerEntry& server : servers) {
    if (server.engine) server.engine->BeginStop();
  }
  lock.WakeWaiters();
  for (ServerEntry& server : servers) {
    if (server.engine) server.engine->AskToStop();
  }
  const auto deadline = std::chrono::steady_clock::now() + environment.close_wait;
  for (ServerEntry& server : servers) {
    if (!server.engine) continue;
    const std::vector<uint32_t> disconnects =
        EngineRun::WaitForStop(std::move(server.engine), deadline, environment.close_wait);
    for (uint32_t address : disconnects) RemoveOnline(server, address);
  }
}

std::vector<StoredServer> RegistryState::Snapshot() const {
  std::vector<StoredServer> stored;
  stored.reserve(servers.size());
  for (const ServerEntry& server : servers) {
    StoredServer& copy = stored.emplace_back();
    copy.config = server.config;
    copy.static_clients.reserve(server.static_clients.size());
    for (const ListedClient& client : server.static_clients)
      copy.static_clients.push_back(client.entry);
  }
  return stored;
}

bool RegistryState::Save() const {
  if (!save) return true;
  try {
    return Save(Snapshot());
  } catch (const std::exception& error) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "Saving the configuration failed: %s\n",
                         error.what());
    return false;
  }
}

bool RegistryState::Save(const std::vector<StoredServer>& stored) const {
  if (!save) return true;
  try {
    return save(stored);
  } catch (const std::exception& error) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "Saving the configuration failed: %s\n",
                         error.what());
    return false;
  }
}

ClientEntry SanitizedClient(const ClientEntry& entry) {
  ClientEntry copy = entry;
  copy.hostName[kHostNameCapacity - 1] = '\0';
  copy.padding = 0;
  copy.link = 0;
  return copy;
}

ServerConfig SanitizedConfig(const ServerConfig& config) {
  ServerConfig copy = config;
  copy.Source[kSourceCapacity - 1] = '\0';
  copy.reserved = 0;
  return copy;
}

void SetHostName(ClientEntry& entry, std::string_view name) {
  std::memset(entry.hostName, 0, sizeof entry.hostName);
  std::memcpy(entry.hostName, name.data(), std::min(name.size(), kHostNameCapacity - 1));
}

}  // namespace quensaria::registry
