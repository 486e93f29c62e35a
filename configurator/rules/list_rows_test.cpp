#include "configurator/rules/list_rows.h"

#include <gtest/gtest.h>

#include <map>

#include "configurator/rules/configurator_rules.h"
#include "shared/block_protocol.h"
#include "shared/dcerpc.h"

namespace quensaria::configurator {
namespace {

// A service whose lists are scripted as "the handle after": every handle in
// them can be read. After `give_up_after` enumeration calls it answers as an
// unreachable service would, so a walk that never ends on its own still does.
class ScriptedLists : public ManagementOperations {
 public:
  std::map<Handle, Handle> servers, static_clients, online_clients;
  int enumerations = 0;
  int give_up_after = 1000;

  int32_t EnumServers(Handle server, Handle& next) override { return Next(servers, server, next); }
  int32_t GetServer(Handle server, ServerConfig& config) override {
    if (!Listed(servers, server)) return -1;
    config = ServerConfig{};
    config.Port = static_cast<uint16_t>(60000 + server);
    return 0;
  }
  int32_t EnumStaticClients(Handle, Handle client, Handle& next) override {
    return Next(static_clients, client, next);
  }
  int32_t GetStaticClient(Handle client, ClientEntry& entry) override {
    if (!Listed(static_clients, client)) return -1;
    entry = AddressClient(client, ACCESS_VIRTUAL_WRITE);
    return 0;
  }
  int32_t EnumOnlineClients(Handle, Handle client, Handle& next) override {
    return Next(online_clients, client, next);
  }
  int32_t GetOnlineClient(Handle client, ClientEntry& entry) override {
    if (!Listed(online_clients, client)) return -1;
    entry = AddressClient(client, ACCESS_VIRTUAL_WRITE);
    entry.state = kClientLoggedOn;
    return 0;
  }

  int32_t GetServiceName(int32_t, std::string&) override { return -1; }
  int32_t GetLastErrorText(int32_t, std::string&) override { return -1; }
  int32_t AddServer(const ServerConfig&, Handle&) override { return -1; }
  int32_t StartServer(Handle) override { return -1; }
  int32_t StopServer(Handle) override { return -1; }
  int32_t DeleteServer(Handle) override { return -1; }
  int32_t AddStaticClient(Handle, const ClientEntry&) override { return -1; }
  int32_t DeleteStaticClient(Handle, Handle) override { return -1; }
  int32_t ModifyStaticClient(Handle, const ClientEntry&) override { return -1; }
  int32_t AddOnlineClient(Handle, const ClientEntry&) override { return -1; }
  int32_t DeleteOnlineClient(Handle, Handle) override { return -1; }
  int32_t ModifyOnlineClient(Handle, const ClientEntry&) override { return -1; }
  int32_t GetServerStats(Handle, ServerStats&) override { return -1; }

 private:
  int32_t Next(const std::map<Handle, Handle>& list, Handle at, Handle& next) {
    next = 0;
    if (++enumerations > give_up_after) {
      return static_cast<int32_t>(rpc::RPC_S_SERVER_UNAVAILABLE);
    }
    const auto found = list.find(at);
    if (found != list.end()) next = found->second;
    return 0;
  }
  static bool Listed(const std::map<Handle, Handle>& list, Handle handle) {
    for (const auto& [at, next] : list) {
      if (next == handle) return true;
    }
    return false;
  }
};

std::vector<Handle> HandlesOf(const std::vector<ServerRow>& rows) {
  std::vector<Handle> handles;
  for (const ServerRow& row : rows) handles.push_back(row.handle);
  return handles;
}

std::vector<Handle> HandlesOf(const std::vector<ClientRow>& rows) {
  std::vector<Handle> handles;
  for (const ClientRow& row : rows) handles.push_back(row.handle);
  return handles;
}

// A broken service that leads a walk back to a handle it gave before
// (1, 2, 1, ... or 1, 2, 3, 2, ...) gets each row once, and the walk ends
// there as at the end of the list.
TEST(ListRowsTest, AWalkLedBackToAnEarlierHandleEndsThere) {
  ScriptedLists ops;
  ops.servers = {{0, 1}, {1, 2}, {2, 1}};
  int32_t status = -2;
  std::vector<ServerRow> rows = ReadServerRows(ops, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(HandlesOf(rows), (std::vector<Handle>{1, 2}));

  ops.enumerations = 0;
  ops.servers = {{0, 1}, {1, 2}, {2, 3}, {3, 2}};
  rows = ReadServerRows(ops, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(HandlesOf(rows), (std::vector<Handle>{1, 2, 3}));
  ops.enumerations = 0;
  EXPECT_EQ(ReadTreeEntries(ops).size(), 3u);

  ops.enumerations = 0;
  ops.static_clients = {{0, 11}, {11, 12}, {12, 11}};
  ops.online_clients = {{0, 21}, {21, 22}, {22, 23}, {23, 22}};
  const std::vector<ClientRow> clients = ReadClientRows(ops, 1, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(HandlesOf(clients), (std::vector<Handle>{11, 12, 21, 22, 23}));
}

}  // namespace
}  // namespace quensaria::configurator
