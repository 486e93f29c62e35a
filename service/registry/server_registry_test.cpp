// The management operations: copies, validation of every handle, results.
#include "service/registry/server_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/registry/registry_fixture_for_testing.h"
#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

class OperationsTest : public RegistryFixture {};

bool SameConfig(const ServerConfig& a, const ServerConfig& b) {
  return std::strcmp(a.Source, b.Source) == 0 && a.IpAddress == b.IpAddress && a.Port == b.Port &&
         a.SizeBytes == b.SizeBytes && a.Cache == b.Cache &&
         std::memcmp(a.Password, b.Password, sizeof a.Password) == 0 &&
         std::memcmp(a.ManagePassword, b.ManagePassword, sizeof a.ManagePassword) == 0 &&
         a.Started == b.Started && a.AuthMode == b.AuthMode;
}

TEST_F(OperationsTest, AddServerCopiesTheConfigStopped) {
  ServerConfig config = MakeConfig(9001, "/dev/sdb");
  config.Started = 1;
  config.IpAddress = Ip("192.168.1.5");
  Handle server = 0;
  ASSERT_EQ(registry_.AddServer(config, server), 0);
  config.Port = 1;  // the registry holds its own copy

  ServerConfig read{};
  ASSERT_EQ(registry_.GetServer(server, read), 0);
  ServerConfig expected = MakeConfig(9001, "/dev/sdb");
  expected.IpAddress = Ip("192.168.1.5");
  EXPECT_TRUE(SameConfig(read, expected));
  EXPECT_EQ(read.Started, 0);
  EXPECT_TRUE(engines_.Built(9001).empty()) << "adding must not start an engine";
}

TEST_F(OperationsTest, AddServerTerminatesAnUnterminatedSource) {
  ServerConfig config = MakeConfig(9001);
  std::memset(config.Source, 'x', sizeof config.Source);
  const Handle server = [&] {
    Handle handle = 0;
    EXPECT_EQ(registry_.AddServer(config, handle), 0);
    return handle;
  }();
  ServerConfig read{};
  ASSERT_EQ(registry_.GetServer(server, read), 0);
  EXPECT_EQ(std::strlen(read.Source), sizeof read.Source - 1);
}

TEST_F(OperationsTest, EnumServersWalksInInsertionOrder) {
  Handle next = 123;
  EXPECT_EQ(registry_.EnumServers(0, next), 0);
  EXPECT_EQ(next, 0u) << "empty registry";

  const Handle a = AddServer(9001), b = AddServer(9002), c = AddServer(9003);
  EXPECT_EQ(Servers(), (std::vector<Handle>{a, b, c}));
  EXPECT_EQ(registry_.EnumServers(c, next), 0);
  EXPECT_EQ(next, 0u) << "after the last";
  next = 123;
  EXPECT_EQ(registry_.EnumServers(0xDEAD, next), 0);
  EXPECT_EQ(next, 0u) << "unknown handle";

  ASSERT_EQ(registry_.DeleteServer(b), 0);
  EXPECT_EQ(Servers(), (std::vector<Handle>{a, c}));
  EXPECT_EQ(registry_.EnumServers(b, next), 0);
  EXPECT_EQ(next, 0u) << "deleted handle";
}

TEST_F(OperationsTest, DeleteServerOfUnknownHandleChangesNothing) {
  EXPECT_EQ(registry_.DeleteServer(0x1234), 0) << "empty registry";
  const Handle server = AddServer(9001);
  const size_t saves = SaveCount();
  EXPECT_EQ(registry_.DeleteServer(server + 1000), 0);
  EXPECT_EQ(registry_.DeleteServer(0), 0);
  EXPECT_EQ(Servers(), std::vector<Handle>{server});
  EXPECT_EQ(SaveCount(), saves);
}

TEST_F(OperationsTest, DeleteServerTakesBothClientListsWithIt) {
  const Handle server = AddServer(9001);
  const Handle keep = AddServer(9002);
  const Handle fixed = AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle online = AddOnline(server, MakeClient(Ip("10.0.0.2"), ACCESS_REFUSED));
  const Handle other = AddStatic(keep, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  ASSERT_EQ(registry_.DeleteServer(server), 0);

  ClientEntry entry{};
  ServerConfig config{};
  EXPECT_EQ(registry_.GetServer(server, config), -1);
  EXPECT_EQ(registry_.GetStaticClient(fixed, entry), -1);
  EXPECT_EQ(registry_.GetOnlineClient(online, entry), -1);
  EXPECT_EQ(registry_.GetStaticClient(other, entry), 0);
}

TEST_F(OperationsTest, HandlesAreNonzeroAndUniqueAcrossKinds) {
  std::vector<Handle> handles;
  for (uint16_t port = 9001; port < 9004; ++port) {
    const Handle server = AddServer(port);
    handles.push_back(server);
    handles.push_back(AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL)));
    handles.push_back(AddOnline(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL)));
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    EXPECT_NE(handles[i], 0u);
    for (size_t j = i + 1; j < handles.size(); ++j) EXPECT_NE(handles[i], handles[j]);
  }
}

TEST_F(OperationsTest, EveryHandleIsCheckedForItsKind) {
  const Handle server = AddServer(9001);
  const ClientEntry fixed_entry =
      MakeClient(Ip("10.0.0.1"), ACCESS_VIRTUAL_WRITE, kNameKnown, "fixed");
  const ClientEntry online_entry = MakeClient(Ip("10.0.0.2"), ACCESS_FULL, kNameKnown, "online");
  const Handle fixed = AddStatic(server, fixed_entry);
  const Handle online = AddOnline(server, online_entry);
  const Handle unknown = 0x7777;
  const ClientEntry change = MakeClient(Ip("10.9.9.9"), ACCESS_REFUSED, kNameFailed, "changed");
  ClientEntry entry{};
  ServerConfig config{};
  Handle next = 55;

  struct Case {
    const char* what;
    int32_t result;
  };
  const Case cases[] = {
      {"GetServer(static client)", registry_.GetServer(fixed, config)},
      {"GetServer(online client)", registry_.GetServer(online, config)},
      {"GetServer(0)", registry_.GetServer(0, config)},
      {"StartServer(static client)", registry_.StartServer(fixed)},
      {"StopServer(online client)", registry_.StopServer(online)},
      {"StopServer(unknown)", registry_.StopServer(unknown)},
      {"AddStaticClient(client as server)", registry_.AddStaticClient(fixed, change)},
      {"AddOnlineClient(unknown server)", registry_.AddOnlineClient(unknown, change)},
      {"EnumStaticClients(client as server)", registry_.EnumStaticClients(fixed, 0, next)},
      {"EnumOnlineClients(unknown server)", registry_.EnumOnlineClients(unknown, 0, next)},
      {"GetStaticClient(online client)", registry_.GetStaticClient(online, entry)},
      {"GetStaticClient(server)", registry_.GetStaticClient(server, entry)},
      {"GetOnlineClient(static client)", registry_.GetOnlineClient(fixed, entry)},
      {"GetOnlineClient(0)", registry_.GetOnlineClient(0, entry)},
      {"ModifyStaticClient(online client)", registry_.ModifyStaticClient(online, change)},
      {"ModifyOnlineClient(static client)", registry_.ModifyOnlineClient(fixed, change)},
      {"ModifyOnlineClient(server)", registry_.ModifyOnlineClient(server, change)},
      {"DeleteStaticClient(online client)", registry_.DeleteStaticClient(server, online)},
      {"DeleteOnlineClient(static client)", registry_.DeleteOnlineClient(server, fixed)},
      {"DeleteStaticClient(unknown server)", registry_.DeleteStaticClient(unknown, fixed)},
      {"DeleteOnlineClient(client as server)", registry_.DeleteOnlineClient(fixed, online)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, -1) << c.what;
  EXPECT_EQ(next, 0u);

  // Nothing changed underneath.
  ASSERT_EQ(StaticClients(server).size(), 1u);
  ASSERT_EQ(OnlineClients(server).size(), 1u);
  EXPECT_EQ(StaticClients(server)[0].access, ACCESS_VIRTUAL_WRITE);
  EXPECT_STREQ(StaticClients(server)[0].hostName, "fixed");
  EXPECT_EQ(OnlineClients(server)[0].access, ACCESS_FULL);
  EXPECT_STREQ(OnlineClients(server)[0].hostName, "online");
  EXPECT_TRUE(engines_.Built(9001).empty());
}

TEST_F(OperationsTest, StaticClientNameStateOnAdd) {
  struct Case {
    uint8_t given;
    uint8_t stored;
  };
  const Case cases[] = {{kNameUnknown, kNameUnknown},
                        {kNameKnown, kNameKnown},
                        {kNameFailed, kNameUnknown},
                        {9, kNameUnknown}};
  const Handle server = AddServer(9001);
  uint8_t octet = 1;
  for (const Case& c : cases) {
    ClientEntry client =
        MakeClient(Ip("10.0.0.0") + (uint32_t{octet++} << 24), ACCESS_FULL, c.given, "given");
    client.state = kClientRefused;
    const Handle handle = AddStatic(server, client);
    ClientEntry read{};
    ASSERT_EQ(registry_.GetStaticClient(handle, read), 0);
    EXPECT_EQ(read.nameState, c.stored) << "given " << int{c.given};
    EXPECT_EQ(read.state, kClientStatic);
    EXPECT_EQ(read.address, client.address);
    EXPECT_STREQ(read.hostName, "given");
  }
}

TEST_F(OperationsTest, DuplicateAddressIsRefusedInEitherListWithTheText) {
  EXPECT_EQ(registry_.LastErrorText(), "");
  const Handle a = AddServer(9001), b = AddServer(9002);
  AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const size_t saves = SaveCount();

  EXPECT_EQ(registry_.AddStaticClient(a, MakeClient(Ip("10.0.0.1"), ACCESS_VIRTUAL_WRITE)), -1);
  EXPECT_EQ(registry_.LastErrorText(),
            "A client with same address is already in the static client list");
  EXPECT_EQ(SaveCount(), saves) << "a refused insertion saves nothing";
  EXPECT_EQ(StaticClients(a).size(), 1u);
  EXPECT_EQ(StaticClients(a)[0].access, ACCESS_FULL);

  // The same address on another server, and in the online list, is fine.
  EXPECT_EQ(registry_.AddStaticClient(b, MakeClient(Ip("10.0.0.1"), ACCESS_FULL)), 0);
  EXPECT_EQ(registry_.AddOnlineClient(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL)), 0);
  EXPECT_EQ(registry_.AddOnlineClient(a, MakeClient(Ip("10.0.0.1"), ACCESS_REFUSED)), -1);
  EXPECT_EQ(registry_.LastErrorText(),
            "A client with same address is already in the static client list");
  EXPECT_EQ(OnlineClients(a).size(), 1u);
}

TEST_F(OperationsTest, OnlineClientIsStoredUnchanged) {
  const Handle server = AddServer(9001);
  ClientEntry client = MakeClient(Ip("10.0.0.7"), ACCESS_REFUSED, kNameFailed, "seen");
  client.state = kClientRefused;
  AddOnline(server, client);
  const ClientEntry read = OnlineClients(server).at(0);
  EXPECT_EQ(read.address, client.address);
  EXPECT_EQ(read.access, ACCESS_REFUSED);
  EXPECT_EQ(read.state, kClientRefused);
  EXPECT_EQ(read.nameState, kNameFailed);
  EXPECT_STREQ(read.hostName, "seen");
}

TEST_F(OperationsTest, EnumClientsFollowsTheListOfThatServer) {
  const Handle a = AddServer(9001), b = AddServer(9002);
  const Handle a1 = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle a2 = AddStatic(a, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  const Handle b1 = AddStatic(b, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle o1 = AddOnline(a, MakeClient(Ip("10.0.0.3"), ACCESS_FULL));
  Handle next = 0;
  ASSERT_EQ(registry_.EnumStaticClients(a, 0, next), 0);
  EXPECT_EQ(next, a1);
  ASSERT_EQ(registry_.EnumStaticClients(a, a1, next), 0);
  EXPECT_EQ(next, a2);
  ASSERT_EQ(registry_.EnumStaticClients(a, a2, next), 0);
  EXPECT_EQ(next, 0u);
  next = 9;
  ASSERT_EQ(registry_.EnumStaticClients(a, b1, next), 0) << "a client of another server";
  EXPECT_EQ(next, 0u);
  next = 9;
  ASSERT_EQ(registry_.EnumStaticClients(a, o1, next), 0) << "an online client";
  EXPECT_EQ(next, 0u);
  ASSERT_EQ(registry_.EnumOnlineClients(a, 0, next), 0);
  EXPECT_EQ(next, o1);
  ASSERT_EQ(registry_.EnumOnlineClients(b, 0, next), 0);
  EXPECT_EQ(next, 0u) << "empty online list";
}

TEST_F(OperationsTest, DeleteClientOfAnotherServerChangesNothing) {
  const Handle a = AddServer(9001), b = AddServer(9002);
  const Handle fixed = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle online = AddOnline(a, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  const size_t saves = SaveCount();
  EXPECT_EQ(registry_.DeleteStaticClient(b, fixed), 0);
  EXPECT_EQ(registry_.DeleteOnlineClient(b, online), 0);
  EXPECT_EQ(StaticClients(a).size(), 1u);
  EXPECT_EQ(OnlineClients(a).size(), 1u);
  EXPECT_EQ(SaveCount(), saves);

  EXPECT_EQ(registry_.DeleteStaticClient(a, fixed), 0);
  EXPECT_EQ(registry_.DeleteOnlineClient(a, online), 0);
  EXPECT_TRUE(StaticClients(a).empty());
  EXPECT_TRUE(OnlineClients(a).empty());
  EXPECT_EQ(registry_.DeleteStaticClient(a, fixed), -1) << "already gone";
}

TEST_F(OperationsTest, DeletingTheMiddleClientKeepsTheOthersInOrder) {
  const Handle server = AddServer(9001);
  AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle middle = AddStatic(server, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  AddStatic(server, MakeClient(Ip("10.0.0.3"), ACCESS_FULL));
  ASSERT_EQ(registry_.DeleteStaticClient(server, middle), 0);
  const auto clients = StaticClients(server);
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].address, Ip("10.0.0.1"));
  EXPECT_EQ(clients[1].address, Ip("10.0.0.3"));
}

TEST_F(OperationsTest, ModifyOverwritesAllButTheAddress) {
  const Handle server = AddServer(9001);
  const Handle fixed =
      AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL, kNameKnown, "old-name"));
  const Handle online =
      AddOnline(server, MakeClient(Ip("10.0.0.2"), ACCESS_FULL, kNameKnown, "old"));
  ClientEntry change = MakeClient(Ip("10.9.9.9"), ACCESS_REFUSED, kNameFailed, "new");
  change.state = kClientRefused;
  // The whole name field is taken, so nothing of the old, longer name stays.
  ASSERT_EQ(registry_.ModifyStaticClient(fixed, change), 0);
  ASSERT_EQ(registry_.ModifyOnlineClient(online, change), 0);

  for (const ClientEntry& read : {StaticClients(server).at(0), OnlineClients(server).at(0)}) {
    EXPECT_EQ(read.access, ACCESS_REFUSED);
    EXPECT_EQ(read.state, kClientRefused);
    EXPECT_EQ(read.nameState, kNameFailed);
    EXPECT_EQ(std::string(read.hostName, sizeof read.hostName),
              std::string("new") + std::string(125, '\0'));
  }
  EXPECT_EQ(StaticClients(server)[0].address, Ip("10.0.0.1"));
  EXPECT_EQ(OnlineClients(server)[0].address, Ip("10.0.0.2"));
}

TEST_F(OperationsTest, HostNameFieldsComeBackTerminated) {
  const Handle server = AddServer(9001);
  ClientEntry client = MakeClient(Ip("10.0.0.1"), ACCESS_FULL, kNameKnown);
  std::memset(client.hostName, 'h', sizeof client.hostName);
  const Handle fixed = AddStatic(server, client);
  ClientEntry read{};
  ASSERT_EQ(registry_.GetStaticClient(fixed, read), 0);
  EXPECT_EQ(std::strlen(read.hostName), 127u);
  ASSERT_EQ(registry_.ModifyStaticClient(fixed, client), 0);
  ASSERT_EQ(registry_.GetStaticClient(fixed, read), 0);
  EXPECT_EQ(std::strlen(read.hostName), 127u);
}

// How many saves each operation makes: the configuration store is written
// exactly when persisted data changed.
TEST_F(OperationsTest, SavesExactlyWherePersistedDataChanges) {
  engines_.SetMode(9009, FakeMode::kEndAtOnce);
  const Handle server = AddServer(9001);
  const Handle failing = AddServer(9009);
  const Handle fixed = AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle online = AddOnline(server, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  const ClientEntry change = MakeClient(0, ACCESS_VIRTUAL_WRITE);
  ClientEntry entry{};
  ServerConfig config{};
  Handle next = 0;

  struct Step {
    const char* what;
    std::function<int32_t()> run;
    int32_t result;
    size_t saves;
  };
  const Step steps[] = {
      {"AddServer", [&] { return registry_.AddServer(MakeConfig(9003), next); }, 0, 1},
      {"EnumServers", [&] { return registry_.EnumServers(0, next); }, 0, 0},
      {"GetServer", [&] { return registry_.GetServer(server, config); }, 0, 0},
      {"StartServer failing", [&] { return registry_.StartServer(failing); }, -1, 0},
      {"StartServer", [&] { return registry_.StartServer(server); }, 0, 1},
      {"StartServer again", [&] { return registry_.StartServer(server); }, -1, 0},
      {"StopServer", [&] { return registry_.StopServer(server); }, 0, 1},
      {"StopServer stopped", [&] { return registry_.StopServer(server); }, 0, 1},
      {"AddStaticClient",
       [&] { return registry_.AddStaticClient(server, MakeClient(Ip("10.0.0.5"), 0)); }, 0, 1},
      {"AddStaticClient duplicate",
       [&] { return registry_.AddStaticClient(server, MakeClient(Ip("10.0.0.5"), 0)); }, -1, 0},
      {"EnumStaticClients", [&] { return registry_.EnumStaticClients(server, 0, next); }, 0, 0},
      {"GetStaticClient", [&] { return registry_.GetStaticClient(fixed, entry); }, 0, 0},
      {"ModifyStaticClient", [&] { return registry_.ModifyStaticClient(fixed, change); }, 0, 1},
      {"ModifyStaticClient unknown", [&] { return registry_.ModifyStaticClient(0x9999, change); },
       -1, 0},
      {"AddOnlineClient",
       [&] { return registry_.AddOnlineClient(server, MakeClient(Ip("10.0.0.6"), 0)); }, 0, 0},
      {"EnumOnlineClients", [&] { return registry_.EnumOnlineClients(server, 0, next); }, 0, 0},
      {"GetOnlineClient", [&] { return registry_.GetOnlineClient(online, entry); }, 0, 0},
      {"ModifyOnlineClient", [&] { return registry_.ModifyOnlineClient(online, change); }, 0, 0},
      {"DeleteOnlineClient", [&] { return registry_.DeleteOnlineClient(server, online); }, 0, 0},
      {"DeleteStaticClient other server",
       [&] { return registry_.DeleteStaticClient(failing, fixed); }, 0, 0},
      {"DeleteStaticClient", [&] { return registry_.DeleteStaticClient(server, fixed); }, 0, 1},
      {"DeleteServer unknown", [&] { return registry_.DeleteServer(0x9999); }, 0, 0},
      {"DeleteServer", [&] { return registry_.DeleteServer(failing); }, 0, 1},
  };
  for (const Step& step : steps) {
    const size_t before = SaveCount();
    EXPECT_EQ(step.run(), step.result) << step.what;
    EXPECT_EQ(SaveCount() - before, step.saves) << step.what;
  }
}

TEST_F(OperationsTest, SaveSeesTheChangeItIsCalledFor) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(LastSave().size(), 1u);
  EXPECT_EQ(LastSave()[0].config.Port, 9001);
  AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_VIRTUAL_WRITE));
  AddOnline(server, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto saved = LastSave();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].config.Started, 1);
  ASSERT_EQ(saved[0].static_clients.size(), 1u) << "online clients are never persisted";
  EXPECT_EQ(saved[0].static_clients[0].address, Ip("10.0.0.1"));
  ASSERT_EQ(registry_.StopServer(server), 0);
  EXPECT_EQ(LastSave().at(0).config.Started, 0);
}

TEST_F(OperationsTest, LoadKeepsRecordsAsReadAndDoesNotSave) {
  const size_t saves = SaveCount();
  ServerConfig config = MakeConfig(9001);
  ClientEntry odd = MakeClient(Ip("10.0.0.1"), ACCESS_FULL, kNameFailed, "kept");
  odd.state = kClientLoggedOn;
  registry_.LoadServer(config, {odd, MakeClient(0, ACCESS_VIRTUAL_WRITE)});
  registry_.LoadServer(MakeConfig(9002), {});
  EXPECT_EQ(SaveCount(), saves);

  const auto snapshot = registry_.Snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_TRUE(SameConfig(snapshot[0].config, config));
  ASSERT_EQ(snapshot[0].static_clients.size(), 2u);
  EXPECT_EQ(snapshot[0].static_clients[0].state, kClientLoggedOn);
  EXPECT_EQ(snapshot[0].static_clients[0].nameState, kNameFailed);
  EXPECT_STREQ(snapshot[0].static_clients[0].hostName, "kept");
  EXPECT_EQ(snapshot[0].static_clients[1].address, 0u);
  EXPECT_EQ(snapshot[1].config.Port, 9002);
  EXPECT_TRUE(engines_.Built(9001).empty());
}

}  // namespace
}  // namespace quensaria::registry::testing
