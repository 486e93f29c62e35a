#include "service/registry/engine_hooks.h"

#include <cstring>

#include "platform/console.h"
#include "shared/block_protocol.h"

namespace quensaria::registry {
namespace {

constexpr uint32_t kAnyAddress = 0;

// Only the two serving levels admit; a stored level beyond them (the
// management interface takes any byte) grants nothing.
bool Admits(uint8_t level) { return level == ACCESS_FULL || level == ACCESS_VIRTUAL_WRITE; }

const ClientEntry* FindStatic(const ClientList& list, uint32_t address) {
  const ListedClient* client = list.FindAddress(address);
  return client == nullptr ? nullptr : &client->entry;
}

// An engine's event lists an address only once; one listed already is no
// failed call, so it leaves the last error text, which is the management
// calls'.
bool ListedOnline(ServerEntry& server, uint32_t address) {
  return server.online_clients.FindAddress(address) != server.online_clients.end();
}

void LogHookException(const char* hook) {
  platform::ConsoleLog(platform::ConsolePriority::kError, "%s failed\n", hook);
}

// The admission decision over one static list: true with `access` for an
// admitted address. `listed` tells whether an entry decided (a refusal by an
// entry is not recorded as a refused client).
bool DecideAccess(const ClientList& static_clients, uint32_t address, uint8_t& access,
                  bool& listed) {
  access = ACCESS_REFUSED;
  listed = false;
  if (const ClientEntry* exact = FindStatic(static_clients, address)) {
    listed = true;
    if (!Admits(exact->access)) return false;
    access = exact->access;
    return true;
  }
  if (const ClientEntry* any = FindStatic(static_clients, kAnyAddress)) {
    listed = true;
    if (!Admits(any->access)) return false;
    access = ACCESS_VIRTUAL_WRITE;  // "Any Address" never grants full access
    return true;
  }
  return false;
}

bool CheckClientAccess(RegistryState& state, const EngineLink& link, uint32_t address,
                       uint8_t& access) {
  access = ACCESS_REFUSED;
  auto lock = state.LockFor(link);
  if (!lock.owns_lock()) return false;
  ServerEntry* server = state.FindServerOf(link);
  if (server == nullptr) return false;
  bool listed = false;
  if (DecideAccess(server->static_clients, address, access, listed)) return true;
  if (!listed && !ListedOnline(*server, address)) {
    ClientEntry refused{};
    refused.address = address;
    refused.access = ACCESS_REFUSED;
    refused.state = kClientRefused;
    refused.nameState = kNameUnknown;
    static_cast<void>(state.AddClient(*server, ListKind::kOnline, refused));
  }
  return false;
}

void ClientDisconnected(RegistryState& state, EngineLink& link, uint32_t address) {
  auto lock = state.LockFor(link);
  if (!lock.owns_lock()) {
    link.RecordDisconnect(address);
    return;
  }
  if (ServerEntry* server = state.FindServerOf(link)) state.RemoveOnline(*server, address);
}

// Listed at once with its name still to be found: the look-up (seconds,
// where reverse DNS times out) is the resolver's, never the engine's.
void ClientLoggedOn(RegistryState& state, const EngineLink& link, uint32_t address,
                    uint8_t access) {
  if (link.stopping()) return;
  ClientEntry online{};
  online.address = address;
  online.access = access;
  online.state = kClientLoggedOn;
  online.nameState = kNameUnknown;
  {
    auto lock = state.LockFor(link);
    if (!lock.owns_lock()) return;
    ServerEntry* server = state.FindServerOf(link);
    if (server == nullptr || ListedOnline(*server, address) ||
        state.AddClient(*server, ListKind::kOnline, online) != 0) {
      return;
    }
  }
  state.RequestNames();
}

}  // namespace

engine::EngineHooks MakeEngineHooks(std::weak_ptr<RegistryState> weak_state,
                                    std::shared_ptr<EngineLink> link) {
  engine::EngineHooks hooks;
  // A registry that is gone admits nobody and records nothing.
  hooks.CheckClientAccess = [weak_state, link](engine::Endpoint*, uint32_t address,
                                               uint8_t& access) {
    access = ACCESS_REFUSED;
    try {
      const std::shared_ptr<RegistryState> state = weak_state.lock();
      return state != nullptr && CheckClientAccess(*state, *link, address, access);
    } catch (...) {
      LogHookException("CheckClientAccess");
      access = ACCESS_REFUSED;
      return false;
    }
  };
  hooks.ClientDisconnected = [weak_state, link](engine::Endpoint*, uint32_t address) {
    try {
      if (const std::shared_ptr<RegistryState> state = weak_state.lock()) {
        ClientDisconnected(*state, *link, address);
      }
    } catch (...) {
      LogHookException("ClientDisconnected");
    }
  };
  hooks.ClientLoggedOn = [weak_state, link](engine::Endpoint*, uint32_t address, uint8_t access) {
    try {
      if (const std::shared_ptr<RegistryState> state = weak_state.lock()) {
        ClientLoggedOn(*state, *link, address, access);
      }
    } catch (...) {
      LogHookException("ClientLoggedOn");
    }
  };
  return hooks;
}

}  // namespace quensaria::registry
