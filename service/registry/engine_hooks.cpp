#include "service/registry/engine_hooks.h"

#include <cstring>
#include <optional>
#include <string>

#include "platform/console.h"
#include "shared/block_protocol.h"

namespace quensaria::registry {
namespace {

constexpr uint32_t kAnyAddress = 0;

// Only the two serving levels admit; a stored level beyond them (the
// management interface takes any byte) grants nothing.
bool Admits(uint8_t level) { return level == ACCESS_FULL || level == ACCESS_VIRTUAL_WRITE; }

const ClientEntry* FindStatic(const ClientList& list, uint32_t address) {
  for (const ListedClient& client : list) {
    if (client.entry.address == address) return &client.entry;
  }
  return nullptr;
}

void LogHookException(const char* hook) {
  platform::ConsolePrintf("%s failed\n", hook);
}

// The admission decision over one static list: true with `access` for an
// admitted address. `listed` tells whether an entry decided (a refusal by an
// entry is not recorded as a refused client).
bool DecideAccess(const ClientList& static_clients, uint32_t address, uint8_t& access, bool& listed) {
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

bool CheckClientAccess(RegistryState& state, EngineRun& run, uint32_t address, uint8_t& access) {
  access = ACCESS_REFUSED;
  auto lock = state.LockFor(run);
  if (!lock.owns_lock()) return false;
  ServerEntry* server = state.FindServerOf(run);
  if (server == nullptr) return false;
  bool listed = false;
  if (DecideAccess(server->static_clients, address, access, listed)) return true;
  if (!listed) {
    ClientEntry refused{};
    refused.address = address;
    refused.access = ACCESS_REFUSED;
    refused.state = kClientRefused;
    refused.nameState = kNameUnknown;
    static_cast<void>(state.AddClient(*server, ListKind::kOnline, refused));
  }
  return false;
}

void ClientDisconnected(RegistryState& state, EngineRun& run, uint32_t address) {
  auto lock = state.LockFor(run);
  if (!lock.owns_lock()) {
    run.RecordDisconnect(address);
    return;
  }
  if (ServerEntry* server = state.FindServerOf(run)) state.RemoveOnline(*server, address);
}

void ClientLoggedOn(RegistryState& state, EngineRun& run, uint32_t address, uint8_t access) {
  if (run.stopping()) return;
  // The look-up may take seconds: never under the registry lock.
  const std::optional<std::string> name = state.environment.look_up_host_name(address);
  ClientEntry online{};
  online.address = address;
  online.access = access;
  online.state = kClientLoggedOn;
  online.nameState = name ? kNameKnown : kNameFailed;
  if (name) SetHostName(online, *name);

  auto lock = state.LockFor(run);
  if (!lock.owns_lock()) return;
  if (ServerEntry* server = state.FindServerOf(run)) {
    static_cast<void>(state.AddClient(*server, ListKind::kOnline, online));
  }
}

}  // namespace

engine::EngineHooks MakeEngineHooks(RegistryState& state, EngineRun& run) {
  engine::EngineHooks hooks;
  hooks.CheckClientAccess = [&state, &run](engine::Endpoint*, uint32_t address, uint8_t& access) {
    try {
      return CheckClientAccess(state, run, address, access);
    } catch (...) {
      LogHookException("CheckClientAccess");
      access = ACCESS_REFUSED;
      return false;
    }
  };
  hooks.ClientDisconnected = [&state, &run](engine::Endpoint*, uint32_t address) {
    try {
      ClientDisconnected(state, run, address);
    } catch (...) {
      LogHookException("ClientDisconnected");
    }
  };
  hooks.ClientLoggedOn = [&state, &run](engine::Endpoint*, uint32_t address, uint8_t access) {
    try {
      ClientLoggedOn(state, run, address, access);
    } catch (...) {
      LogHookException("ClientLoggedOn");
    }
  };
  return hooks;
}

}  // namespace quensaria::registry
