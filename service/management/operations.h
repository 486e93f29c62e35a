// Operations: what the management interface asks of the service: the
// registry's sixteen operations and its figures (ServerOperations, shared
// with every caller of the interface) and the text of the last refused
// insertion.
// Called concurrently from the interface's call threads; the implementation
// serialises them. Implemented over the registry by RegistryOperations.
#ifndef QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_
#define QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "shared/management_operations.h"
#include "shared/management_records.h"

namespace quensaria::management {

using Handle = ManagementHandle;

class Operations : public ServerOperations {
 public:
  // The text of the last refused client insertion; empty at start.
  virtual std::string LastErrorText() = 0;
};

// Operations forwarded to a registry object with the same member functions;
// AddServer refuses (-1) port 0. The registry must outlive this adapter.
template <typename Registry>
class RegistryOperations final : public Operations {
 public:
  explicit RegistryOperations(Registry& registry) : registry_(registry) {}

  int32_t AddServer(const ServerConfig& c, Handle& s) override {
    // Port 0 would listen on a port picked anew at each start, told to no client.
    if (c.Port == 0) return -1;
    return registry_.AddServer(c, s);
  }
  int32_t EnumServers(Handle s, Handle& n) override { return registry_.EnumServers(s, n); }
  int32_t GetServer(Handle s, ServerConfig& c) override { return registry_.GetServer(s, c); }
  int32_t StartServer(Handle s) override { return registry_.StartServer(s); }
  int32_t StopServer(Handle s) override { return registry_.StopServer(s); }
  int32_t DeleteServer(Handle s) override { return registry_.DeleteServer(s); }
  int32_t AddStaticClient(Handle s, const ClientEntry& e) override {
    return registry_.AddStaticClient(s, e);
  }
  int32_t EnumStaticClients(Handle s, Handle c, Handle& n) override {
    return registry_.EnumStaticClients(s, c, n);
  }
  int32_t GetStaticClient(Handle c, ClientEntry& e) override {
    return registry_.GetStaticClient(c, e);
  }
  int32_t DeleteStaticClient(Handle s, Handle c) override {
    return registry_.DeleteStaticClient(s, c);
  }
  int32_t ModifyStaticClient(Handle c, const ClientEntry& e) override {
    return registry_.ModifyStaticClient(c, e);
  }
  int32_t AddOnlineClient(Handle s, const ClientEntry& e) override {
    return registry_.AddOnlineClient(s, e);
  }
  int32_t EnumOnlineClients(Handle s, Handle c, Handle& n) override {
    return registry_.EnumOnlineClients(s, c, n);
  }
  int32_t GetOnlineClient(Handle c, ClientEntry& e) override {
    return registry_.GetOnlineClient(c, e);
  }
  int32_t DeleteOnlineClient(Handle s, Handle c) override {
    return registry_.DeleteOnlineClient(s, c);
  }
  int32_t ModifyOnlineClient(Handle c, const ClientEntry& e) override {
    return registry_.ModifyOnlineClient(c, e);
  }
  int32_t GetServerStats(Handle s, ServerStats& stats) override {
    return registry_.GetServerStats(s, stats);
  }
  std::string LastErrorText() override { return registry_.LastErrorText(); }

 private:
  Registry& registry_;
};

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_
