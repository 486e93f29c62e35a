// A test double of Operations: servers and client lists in memory with the
// registry's validation and results, plus counters and switches that tests
// use to inject failures. Thread-safe (one lock, like the registry).
#ifndef QUENSARIA_SERVICE_MANAGEMENT_FAKE_OPERATIONS_FOR_TESTING_H_
#define QUENSARIA_SERVICE_MANAGEMENT_FAKE_OPERATIONS_FOR_TESTING_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "service/management/operations.h"

namespace quensaria::management {

class FakeOperations : public Operations {
 public:
  struct Client {
    Handle handle;
    ClientEntry entry;
  };
  struct Server {
    Handle handle;
    ServerConfig config;
    std::list<Client> static_clients;
    std::list<Client> online_clients;
    ServerStats stats{};
  };

  // Switches for fault injection.
  std::atomic<bool> fail_starts{false};
  std::atomic<bool> throw_in_calls{false};
  std::atomic<int> call_delay_ms{0};
  std::atomic<int> calls{0};

  int32_t AddServer(const ServerConfig& config, Handle& server) override {
    auto lock = Enter();
    Server& added = servers_.emplace_back(Server{++last_handle_, config, {}, {}, {}});
    added.config.Started = 0;
    server = added.handle;
    return 0;
  }
  int32_t EnumServers(Handle server, Handle& next) override {
    auto lock = Enter();
    next = 0;
    auto it = servers_.begin();
    if (server != 0) {
      it = Find(server);
      if (it == servers_.end()) return 0;
      ++it;
    }
    if (it != servers_.end()) next = it->handle;
    return 0;
  }
  int32_t GetServer(Handle server, ServerConfig& config) override {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    config = it->config;
    return 0;
  }
  int32_t StartServer(Handle server) override {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end() || fail_starts) return -1;
    it->config.Started = 1;
    return 0;
  }
  int32_t StopServer(Handle server) override {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    it->config.Started = 0;
    return 0;
  }
  int32_t DeleteServer(Handle server) override {
    auto lock = Enter();
    auto it = Find(server);
    if (it != servers_.end()) servers_.erase(it);
    return 0;
  }
  int32_t AddStaticClient(Handle server, const ClientEntry& client) override {
    return Add(server, client, &Server::static_clients, true);
  }
  int32_t EnumStaticClients(Handle server, Handle client, Handle& next) override {
    return Enum(server, client, next, &Server::static_clients);
  }
  int32_t GetStaticClient(Handle client, ClientEntry& entry) override {
    return Get(client, entry, &Server::static_clients);
  }
  int32_t DeleteStaticClient(Handle server, Handle client) override {
    return Delete(server, client, &Server::static_clients);
  }
  int32_t ModifyStaticClient(Handle client, const ClientEntry& entry) override {
    return Modify(client, entry, &Server::static_clients);
  }
  int32_t AddOnlineClient(Handle server, const ClientEntry& client) override {
    return Add(server, client, &Server::online_clients, false);
  }
  int32_t EnumOnlineClients(Handle server, Handle client, Handle& next) override {
    return Enum(server, client, next, &Server::online_clients);
  }
  int32_t GetOnlineClient(Handle client, ClientEntry& entry) override {
    return Get(client, entry, &Server::online_clients);
  }
  int32_t DeleteOnlineClient(Handle server, Handle client) override {
    return Delete(server, client, &Server::online_clients);
  }
  int32_t ModifyOnlineClient(Handle client, const ClientEntry& entry) override {
    return Modify(client, entry, &Server::online_clients);
  }
  // The figures of a known server: those set with SetStats, else a
  // stopped server's.
  int32_t GetServerStats(Handle server, ServerStats& stats) override {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    stats = it->stats;
    stats.RecordSize = sizeof stats;
    return 0;
  }
  std::string LastErrorText() override {
    auto lock = Enter();
    return last_error_;
  }

  void SetStats(Handle server, const ServerStats& stats) {
    std::scoped_lock lock(mutex_);
    auto it = Find(server);
    if (it != servers_.end()) it->stats = stats;
  }

  void SetLastErrorText(std::string text) {
    std::scoped_lock lock(mutex_);
    last_error_ = std::move(text);
  }

 private:
  using List = std::list<Client> Server::*;

  std::unique_lock<std::mutex> Enter() {
    ++calls;
    if (call_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(call_delay_ms));
    if (throw_in_calls) throw std::runtime_error("injected failure");
    return std::unique_lock(mutex_);
  }
  std::list<Server>::iterator Find(Handle server) {
    return std::find_if(servers_.begin(), servers_.end(),
                        [&](const Server& s) { return s.handle == server && server != 0; });
  }
  // The list holding `client`, and the entry, among all servers.
  bool FindClient(Handle client, List list, std::list<Client>*& owner,
                  std::list<Client>::iterator& at) {
    for (Server& server : servers_) {
      auto& clients = server.*list;
      auto it = std::find_if(clients.begin(), clients.end(),
                             [&](const Client& c) { return c.handle == client && client != 0; });
      if (it != clients.end()) {
        owner = &clients;
        at = it;
        return true;
      }
    }
    return false;
  }
  int32_t Add(Handle server, const ClientEntry& client, List list, bool is_static) {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    auto& clients = (*it).*list;
    for (const Client& c : clients) {
      if (c.entry.address == client.address) {
        last_error_ = "A client with same address is already in the static client list";
        return -1;
      }
    }
    Client& added = clients.emplace_back(Client{++last_handle_, client});
    if (is_static) {
      added.entry.state = 0;
      if (added.entry.nameState != 1) added.entry.nameState = 0;
    }
    return 0;
  }
  int32_t Enum(Handle server, Handle client, Handle& next, List list) {
    auto lock = Enter();
    next = 0;
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    auto& clients = (*it).*list;
    auto at = clients.begin();
    if (client != 0) {
      at = std::find_if(clients.begin(), clients.end(),
                        [&](const Client& c) { return c.handle == client; });
      if (at == clients.end()) return 0;
      ++at;
    }
    if (at != clients.end()) next = at->handle;
    return 0;
  }
  int32_t Get(Handle client, ClientEntry& entry, List list) {
    auto lock = Enter();
    std::list<Client>* owner;
    std::list<Client>::iterator at;
    if (!FindClient(client, list, owner, at)) return -1;
    entry = at->entry;
    return 0;
  }
  int32_t Delete(Handle server, Handle client, List list) {
    auto lock = Enter();
    auto it = Find(server);
    if (it == servers_.end()) return -1;
    std::list<Client>* owner;
    std::list<Client>::iterator at;
    if (!FindClient(client, list, owner, at)) return -1;
    if (owner == &((*it).*list)) owner->erase(at);
    return 0;
  }
  int32_t Modify(Handle client, const ClientEntry& entry, List list) {
    auto lock = Enter();
    std::list<Client>* owner;
    std::list<Client>::iterator at;
    if (!FindClient(client, list, owner, at)) return -1;
    const uint32_t address = at->entry.address;
    at->entry = entry;
    at->entry.address = address;
    return 0;
  }

  std::mutex mutex_;
  std::list<Server> servers_;
  Handle last_handle_ = 0x100;
  std::string last_error_;
};

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_FAKE_OPERATIONS_FOR_TESTING_H_
