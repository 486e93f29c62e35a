// Operations: what the management interface asks of the service, one method
// per registry operation in operation-number order, with the registry's
// results (0 success, -1 failure) and handles (nonzero 32-bit, 0 = none).
// Called concurrently from the interface's call threads; the implementation
// serialises them. Implemented over the registry by RegistryOperations.
#ifndef QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_
#define QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "shared/management_records.h"

namespace quensaria::management {

using Handle = uint32_t;

class Operations {
 public:
  virtual ~Operations() = default;

  virtual int32_t AddServer(const ServerConfig& config, Handle& server) = 0;
  virtual int32_t EnumServers(Handle server, Handle& next) = 0;
  virtual int32_t GetServer(Handle server, ServerConfig& config) = 0;
  virtual int32_t StartServer(Handle server) = 0;
  virtual int32_t StopServer(Handle server) = 0;
  virtual int32_t DeleteServer(Handle server) = 0;
  virtual int32_t AddStaticClient(Handle server, const ClientEntry& client) = 0;
  virtual int32_t EnumStaticClients(Handle server, Handle client, Handle& next) = 0;
  virtual int32_t GetStaticClient(Handle client, ClientEntry& entry) = 0;
  virtual int32_t DeleteStaticClient(Handle server, Handle client) = 0;
  virtual int32_t ModifyStaticClient(Handle client, const ClientEntry& entry) = 0;
  virtual int32_t AddOnlineClient(Handle server, const ClientEntry& client) = 0;
  virtual int32_t EnumOnlineClients(Handle server, Handle client, Handle& next) = 0;
  virtual int32_t GetOnlineClient(Handle client, ClientEntry& entry) = 0;
  virtual int32_t DeleteOnlineClient(Handle server, Handle client) = 0;
  virtual int32_t ModifyOnlineClient(Handle client, const ClientEntry& entry) = 0;
  // The text of the last refused client insertion; empty at start.
  virtual std::string LastErrorText() = 0;
};

// Operations forwarded to a registry object with the same member functions.
// The registry must outlive this adapter.
template <typename Registry>
class RegistryOperations final : public Operations {
 public:
  explicit RegistryOperations(Registry& registry) : registry_(registry) {}

  int32_t AddServer(const ServerConfig& c, Handle& s) override { return registry_.AddServer(c, s); }
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
  int32_t GetStaticClient(Handle c, ClientEntry& e) override { return registry_.GetStaticClient(c, e); }
  int32_t DeleteStaticClient(Handle s, Handle c) override { return registry_.DeleteStaticClient(s, c); }
  int32_t ModifyStaticClient(Handle c, const ClientEntry& e) override {
    return registry_.ModifyStaticClient(c, e);
  }
  int32_t AddOnlineClient(Handle s, const ClientEntry& e) override {
    return registry_.AddOnlineClient(s, e);
  }
  int32_t EnumOnlineClients(Handle s, Handle c, Handle& n) override {
    return registry_.EnumOnlineClients(s, c, n);
  }
  int32_t GetOnlineClient(Handle c, ClientEntry& e) override { return registry_.GetOnlineClient(c, e); }
  int32_t DeleteOnlineClient(Handle s, Handle c) override { return registry_.DeleteOnlineClient(s, c); }
  int32_t ModifyOnlineClient(Handle c, const ClientEntry& e) override {
    return registry_.ModifyOnlineClient(c, e);
  }
  std::string LastErrorText() override { return registry_.LastErrorText(); }

 private:
  Registry& registry_;
};

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_OPERATIONS_H_
