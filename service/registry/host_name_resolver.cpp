#include "service/registry/host_name_resolver.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"

namespace quensaria::registry {

void HostNameResolver::Run() {
  while (!StopRequested()) {
    try {
      if (!Pass()) return;
    } catch (const std::exception& error) {
      platform::ConsoleLog(platform::ConsolePriority::kWarning, "HostNameResolver: %s\n",
                           error.what());
      if (!Pause(kAfterServerPause)) return;
    }
  }
}

bool HostNameResolver::Pass() {
  Handle server = 0;
  static_cast<void>(registry_.EnumServers(0, server));
  while (server != 0) {
    switch (ResolveServer(server)) {
      case Walk::kStopped:
        return false;
      case Walk::kVanished:
        if (!Pause(kAfterServerPause)) return false;
        break;
      case Walk::kEnded:
        if (!Pause(kAfterClientPause) || !Pause(kAfterServerPause)) return false;
        break;
    }
    Handle next = 0;
    static_cast<void>(registry_.EnumServers(server, next));
    server = next;
  }
  // Also the pause of a registry without servers.
  return Pause(kAfterServerPause) && Pause(kAfterPassPause);
}

HostNameResolver::Walk HostNameResolver::ResolveServer(Handle server) {
  Handle client = 0;
  for (;;) {
    Handle next = 0;
    if (registry_.EnumStaticClients(server, client, next) != 0 || next == 0) return Walk::kEnded;
    client = next;
    ClientEntry entry{};
    if (registry_.GetStaticClient(client, entry) != 0) return Walk::kVanished;
    if (entry.nameState == kNameUnknown && entry.address != 0) {
      const std::optional<std::string> name = state_.environment.look_up_host_name(entry.address);
      if (state_.environment.before_name_written) state_.environment.before_name_written();
      if (!WriteStaticName(client, name)) return Walk::kVanished;
    }
    if (!Pause(kAfterClientPause)) return Walk::kStopped;
  }
}

bool HostNameResolver::WriteStaticName(Handle client, const std::optional<std::string>& name) {
  // One lock hold from the check to the save: a copy written back would
  // undo what the administrator changed in between.
  std::scoped_lock lock(state_.lock);
  const RegistryState::ClientPlace place = state_.FindClient(client, ListKind::kStatic);
  if (place.server == nullptr) return false;
  ClientEntry& entry = place.client->entry;
  // A name given meanwhile by the administrator stays.
  if (entry.nameState != kNameUnknown) return true;
  entry.nameState = name ? kNameKnown : kNameFailed;
  if (name) SetHostName(entry, *name);
  state_.Save();
  return true;
}

bool HostNameResolver::Pause(std::chrono::milliseconds duration) {
  if (StopRequested()) return false;
  state_.environment.pause(duration);
  if (StopRequested()) return false;
  ResolveOnlineClients();
  return !StopRequested();
}

void HostNameResolver::ResolveOnlineClients() {
  static_cast<void>(state_.TakeNameRequest());
  std::vector<Handle> tried;  // each at most once a round, whatever happens to it
  while (!StopRequested()) {
    Handle client = 0;
    uint32_t address = 0;
    {
      std::scoped_lock lock(state_.lock);
      if (!state_.NextUnnamedOnline(tried, client, address)) return;
    }
    tried.push_back(client);
    const std::optional<std::string> name = state_.environment.look_up_host_name(address);
    std::scoped_lock lock(state_.lock);
    const RegistryState::ClientPlace place = state_.FindClient(client, ListKind::kOnline);
    // Gone meanwhile, or named by the administrator: nothing to write.
    if (place.server == nullptr || place.client->entry.nameState != kNameUnknown) continue;
    place.client->entry.nameState = name ? kNameKnown : kNameFailed;
    if (name) SetHostName(place.client->entry, *name);
  }
}

bool HostNameResolver::StopRequested() const {
  std::scoped_lock lock(state_.stop_mutex);
  return state_.stop_requested;
}

}  // namespace quensaria::registry
