// The common fixture of the registry tests: a registry over fake engines,
// host names from a table instead of DNS, a pause that only records, and a
// save hook that keeps every snapshot it is given.
#ifndef QUENSARIA_SERVICE_REGISTRY_REGISTRY_FIXTURE_FOR_TESTING_H_
#define QUENSARIA_SERVICE_REGISTRY_REGISTRY_FIXTURE_FOR_TESTING_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/registry/engines_for_testing.h"
#include "service/registry/server_registry.h"

namespace quensaria::registry::testing {

class RegistryFixture : public ::testing::Test {
 protected:
  RegistryFixture() : registry_(engines_.Factory(), Environment()) {
    registry_.SetSaveHook([this](const std::vector<StoredServer>& servers) {
      std::scoped_lock lock(mutex_);
      saves_.push_back(servers);
      return true;
    });
  }

  Handle AddServer(uint16_t port) {
    Handle server = 0;
    EXPECT_EQ(registry_.AddServer(MakeConfig(port), server), 0);
    EXPECT_NE(server, 0u);
    return server;
  }

  // Adds and returns the handle of the entry just added (the last one).
  Handle AddStatic(Handle server, const ClientEntry& client) {
    EXPECT_EQ(registry_.AddStaticClient(server, client), 0);
    return LastOf(server, /*online=*/false);
  }
  Handle AddOnline(Handle server, const ClientEntry& client) {
    EXPECT_EQ(registry_.AddOnlineClient(server, client), 0);
    return LastOf(server, /*online=*/true);
  }

  std::vector<ClientEntry> StaticClients(Handle server) { return Clients(server, false); }
  std::vector<ClientEntry> OnlineClients(Handle server) { return Clients(server, true); }
  std::vector<uint32_t> OnlineAddresses(Handle server) {
    std::vector<uint32_t> addresses;
    for (const ClientEntry& client : OnlineClients(server)) addresses.push_back(client.address);
    return addresses;
  }
  std::vector<Handle> Servers() {
    std::vector<Handle> servers;
    Handle server = 0;
    while (registry_.EnumServers(server, server) == 0 && server != 0) servers.push_back(server);
    return servers;
  }

  size_t SaveCount() {
    std::scoped_lock lock(mutex_);
    return saves_.size();
  }
  std::vector<StoredServer> LastSave() {
    std::scoped_lock lock(mutex_);
    return saves_.empty() ? std::vector<StoredServer>{} : saves_.back();
  }

  // Host names the fake look-up knows; others fail.
  void SetHostName(uint32_t address, std::string name) {
    std::scoped_lock lock(mutex_);
    host_names_[address] = std::move(name);
  }
  std::vector<uint32_t> LookedUp() {
    std::scoped_lock lock(mutex_);
    return looked_up_;
  }
  // Runs inside every look-up, without the fixture's mutex.
  std::function<void(uint32_t)> during_look_up_;
  // Runs inside every pause of the resolver, after it was recorded.
  std::function<void(std::chrono::milliseconds)> during_pause_;
  // Runs after a look-up, when its name is about to be written.
  std::function<void()> before_name_written_;
  // Look-ups ("lookup") and pauses ("pause <ms>") in the order they came.
  std::vector<std::string> Events() {
    std::scoped_lock lock(mutex_);
    return events_;
  }

  FakeEngines engines_;  // before registry_: outlives it
  std::mutex mutex_;
  std::vector<std::vector<StoredServer>> saves_;
  std::map<uint32_t, std::string> host_names_;
  std::vector<uint32_t> looked_up_;
  std::vector<std::string> events_;
  ServerRegistry registry_;

 private:
  RegistryEnvironment Environment() {
    RegistryEnvironment environment;
    environment.look_up_host_name = [this](uint32_t address) -> std::optional<std::string> {
      {
        std::scoped_lock lock(mutex_);
        looked_up_.push_back(address);
        events_.push_back("lookup");
      }
      if (during_look_up_) during_look_up_(address);
      std::scoped_lock lock(mutex_);
      auto found = host_names_.find(address);
      if (found == host_names_.end()) return std::nullopt;
      return found->second;
    };
    environment.pause = [this](std::chrono::milliseconds duration) {
      {
        std::scoped_lock lock(mutex_);
        events_.push_back("pause " + std::to_string(duration.count()));
      }
      if (during_pause_) during_pause_(duration);
    };
    environment.before_name_written = [this] {
      if (before_name_written_) before_name_written_();
    };
    return environment;
  }

  Handle LastOf(Handle server, bool online) {
    Handle client = 0, last = 0;
    for (;;) {
      const int32_t result = online ? registry_.EnumOnlineClients(server, client, client)
                                    : registry_.EnumStaticClients(server, client, client);
      if (result != 0 || client == 0) return last;
      last = client;
    }
  }

  std::vector<ClientEntry> Clients(Handle server, bool online) {
    std::vector<ClientEntry> clients;
    Handle client = 0;
    for (;;) {
      const int32_t result = online ? registry_.EnumOnlineClients(server, client, client)
                                    : registry_.EnumStaticClients(server, client, client);
      if (result != 0 || client == 0) return clients;
      ClientEntry entry{};
      EXPECT_EQ(online ? registry_.GetOnlineClient(client, entry)
                       : registry_.GetStaticClient(client, entry),
                0);
      clients.push_back(entry);
    }
  }
};

}  // namespace quensaria::registry::testing

#endif  // QUENSARIA_SERVICE_REGISTRY_REGISTRY_FIXTURE_FOR_TESTING_H_
