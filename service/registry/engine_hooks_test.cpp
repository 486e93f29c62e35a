// What engines learn and cause through their hooks: admission by address,
// the online list following log-ons, refusals and disconnects.
#include "service/registry/engine_hooks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "service/registry/registry_fixture_for_testing.h"
#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

constexpr uint8_t kFull = ACCESS_FULL;
constexpr uint8_t kVirtual = ACCESS_VIRTUAL_WRITE;
constexpr uint8_t kRefused = ACCESS_REFUSED;

struct StaticRow {
  const char* address;  // "0.0.0.0" is "Any Address"
  uint8_t access;
};

struct AdmissionCase {
  const char* what;
  std::vector<StaticRow> static_list;
  bool admitted;
  uint8_t access;
  bool listed_as_refused;
};

// The client is always 10.1.1.1.
const AdmissionCase kAdmissionCases[] = {
    {"exact full", {{"10.1.1.1", kFull}}, true, kFull, false},
    {"exact virtual write", {{"10.1.1.1", kVirtual}}, true, kVirtual, false},
    {"exact refused", {{"10.1.1.1", kRefused}}, false, kRefused, false},
    {"exact with an unknown level", {{"10.1.1.1", 7}}, false, kRefused, false},
    {"any full gives virtual write", {{"0.0.0.0", kFull}}, true, kVirtual, false},
    {"any virtual write", {{"0.0.0.0", kVirtual}}, true, kVirtual, false},
    {"any refused", {{"0.0.0.0", kRefused}}, false, kRefused, false},
    {"exact beats an earlier any",
     {{"0.0.0.0", kRefused}, {"10.1.1.1", kFull}},
     true,
     kFull,
     false},
    {"exact refusal beats any",
     {{"10.1.1.1", kRefused}, {"0.0.0.0", kFull}},
     false,
     kRefused,
     false},
    {"exact full beats a later any",
     {{"10.1.1.1", kFull}, {"0.0.0.0", kVirtual}},
     true,
     kFull,
     false},
    {"others only", {{"10.1.1.2", kFull}, {"10.1.1.10", kFull}}, false, kRefused, true},
    {"empty list", {}, false, kRefused, true},
};

class AdmissionTest : public RegistryFixture {
 protected:
  // Leaves the server with exactly `rows` as static list and no online one.
  void Reset(Handle server, const std::vector<StaticRow>& rows) {
    for (Handle client = 0; registry_.EnumStaticClients(server, 0, client) == 0 && client != 0;) {
      ASSERT_EQ(registry_.DeleteStaticClient(server, client), 0);
    }
    for (Handle client = 0; registry_.EnumOnlineClients(server, 0, client) == 0 && client != 0;) {
      ASSERT_EQ(registry_.DeleteOnlineClient(server, client), 0);
    }
    for (const StaticRow& row : rows) AddStatic(server, MakeClient(Ip(row.address), row.access));
  }
};

// One running engine; the static list changes between cases, as an
// administrator would change it while the export is served.
TEST_F(AdmissionTest, DecidesByAddress) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);

  for (const AdmissionCase& c : kAdmissionCases) {
    SCOPED_TRACE(c.what);
    Reset(server, c.static_list);
    for (int attempt = 0; attempt < 3; ++attempt) {
      uint8_t access = 77;
      EXPECT_EQ(engine->Admit(Ip("10.1.1.1"), access), c.admitted);
      EXPECT_EQ(access, c.access);
    }
    const auto online = OnlineClients(server);
    if (!c.listed_as_refused) {
      EXPECT_TRUE(online.empty());
      continue;
    }
    ASSERT_EQ(online.size(), 1u) << "listed once however often it tries";
    EXPECT_EQ(online[0].address, Ip("10.1.1.1"));
    EXPECT_EQ(online[0].access, kRefused);
    EXPECT_EQ(online[0].state, kClientRefused);
    EXPECT_EQ(online[0].nameState, kNameUnknown);
    EXPECT_STREQ(online[0].hostName, "");
  }
  EXPECT_TRUE(LookedUp().empty()) << "admission looks nothing up";
}

class OnlineListTest : public RegistryFixture {
 protected:
  void SetUp() override {
    server_ = AddServer(9001);
    AddStatic(server_, MakeClient(0, kFull));
    ASSERT_EQ(registry_.StartServer(server_), 0);
    engine_ = engines_.Latest(9001);
  }
  // Runs the resolver through its first pause, after which it names the
  // clients that logged on.
  void ResolveNames() {
    int pauses = 0;
    during_pause_ = [this, pauses](std::chrono::milliseconds) mutable {
      if (++pauses == 2) registry_.RequestStop();
    };
    registry_.RunHostNameResolver();
  }
  Handle server_ = 0;
  std::shared_ptr<FakeEngine> engine_;
};

// A log-on is listed at once, unnamed; a name look-up (seconds where
// reverse DNS times out) never holds up the engine's worker.
TEST_F(OnlineListTest, LogOnIsListedAtOnceAndTheResolverNamesIt) {
  SetHostName(Ip("10.0.0.1"), "alpha.example");
  SetHostName(Ip("10.0.0.3"), std::string(300, 'n'));
  engine_->LogOn(Ip("10.0.0.1"), kFull);
  engine_->LogOn(Ip("10.0.0.2"), kVirtual);  // no name known
  engine_->LogOn(Ip("10.0.0.3"), kVirtual);
  auto online = OnlineClients(server_);
  ASSERT_EQ(online.size(), 3u);
  EXPECT_EQ(online[0].address, Ip("10.0.0.1"));
  EXPECT_EQ(online[0].access, kFull);
  EXPECT_EQ(online[0].state, kClientLoggedOn);
  EXPECT_EQ(online[1].access, kVirtual);
  for (const ClientEntry& entry : online) {
    EXPECT_EQ(entry.nameState, kNameUnknown);
    EXPECT_STREQ(entry.hostName, "");
  }
  EXPECT_TRUE(LookedUp().empty());

  ResolveNames();
  online = OnlineClients(server_);
  ASSERT_EQ(online.size(), 3u);
  EXPECT_EQ(online[0].nameState, kNameKnown);
  EXPECT_STREQ(online[0].hostName, "alpha.example");
  EXPECT_EQ(online[1].nameState, kNameFailed);
  EXPECT_STREQ(online[1].hostName, "");
  EXPECT_EQ(std::string(online[2].hostName), std::string(127, 'n')) << "cut to 127 characters";
  EXPECT_EQ(LookedUp(), (std::vector<uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.2"), Ip("10.0.0.3")}));
  EXPECT_EQ(online[0].access, kFull) << "naming changes nothing else";
}

TEST_F(OnlineListTest, OnlineNamesAreLookedUpWithoutTheRegistryLock) {
  bool lock_was_free = false;
  during_look_up_ = [&](uint32_t) {
    auto other = std::async(std::launch::async, [&] {
      ServerConfig config{};
      return registry_.GetServer(server_, config);
    });
    lock_was_free = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  engine_->LogOn(Ip("10.0.0.1"), kVirtual);
  ResolveNames();
  EXPECT_TRUE(lock_was_free);
  EXPECT_EQ(OnlineClients(server_).size(), 1u);
}

// Refused and administrator-named entries are not looked up; an entry that
// leaves during its look-up is not brought back.
TEST_F(OnlineListTest, OnlyUnnamedLoggedOnEntriesAreLookedUp) {
  engine_->LogOn(Ip("10.0.0.1"), kVirtual);
  engine_->LogOn(Ip("10.0.0.2"), kVirtual);
  AddOnline(server_, MakeClient(Ip("10.0.0.3"), kVirtual, kNameKnown, "given"));
  ClientEntry refused = MakeClient(Ip("10.0.0.4"), ACCESS_REFUSED);
  refused.state = kClientRefused;
  AddOnline(server_, refused);
  during_look_up_ = [&](uint32_t address) {
    if (address == Ip("10.0.0.1")) engine_->Disconnect(address);
  };
  ResolveNames();
  EXPECT_EQ(LookedUp(), (std::vector<uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.2")}));
  EXPECT_EQ(OnlineAddresses(server_),
            (std::vector<uint32_t>{Ip("10.0.0.2"), Ip("10.0.0.3"), Ip("10.0.0.4")}));
}

TEST_F(OnlineListTest, DisconnectRemovesOnlyThatAddressInEitherOrder) {
  for (bool first_leaves : {true, false}) {
    SCOPED_TRACE(first_leaves ? "first leaves" : "second leaves");
    engine_->LogOn(Ip("10.0.0.1"), kVirtual);
    engine_->LogOn(Ip("10.0.0.2"), kVirtual);
    const uint32_t leaving = first_leaves ? Ip("10.0.0.1") : Ip("10.0.0.2");
    const uint32_t staying = first_leaves ? Ip("10.0.0.2") : Ip("10.0.0.1");
    engine_->Disconnect(leaving);
    EXPECT_EQ(OnlineAddresses(server_), std::vector<uint32_t>{staying});
    engine_->Disconnect(staying);
    EXPECT_TRUE(OnlineAddresses(server_).empty());
  }
  engine_->Disconnect(Ip("10.0.0.3"));  // never listed: nothing to do
  EXPECT_TRUE(OnlineAddresses(server_).empty());
}

TEST_F(OnlineListTest, SecondLogOnOfAnAddressAddsNoEntry) {
  SetHostName(Ip("10.0.0.1"), "first");
  engine_->LogOn(Ip("10.0.0.1"), kVirtual);
  ResolveNames();
  engine_->LogOn(Ip("10.0.0.1"), kFull);  // a second connection, management password
  const auto online = OnlineClients(server_);
  ASSERT_EQ(online.size(), 1u);
  EXPECT_EQ(online[0].access, kVirtual);
  EXPECT_STREQ(online[0].hostName, "first");
  EXPECT_EQ(LookedUp().size(), 1u);
}

class RefusedClientTest : public RegistryFixture {};

TEST_F(RefusedClientTest, RefusedEntryStaysUntilThatAddressDisconnects) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.2"), access));

  // While it stays, a log-on from that address adds no second entry.
  engine->LogOn(Ip("10.0.0.1"), kVirtual);
  auto online = OnlineClients(server);
  ASSERT_EQ(online.size(), 2u);
  EXPECT_EQ(online[0].state, kClientRefused);

  engine->Disconnect(Ip("10.0.0.1"));
  EXPECT_EQ(OnlineAddresses(server), std::vector<uint32_t>{Ip("10.0.0.2")});
}

// Refusals from ever new addresses: only the 256 most recent are listed,
// the oldest leaving first; logged-on clients and the other ways out of the
// list are untouched by the cap.
TEST_F(RefusedClientTest, RefusedEntriesAreCappedToTheMostRecent) {
  const Handle server = AddServer(9001);
  AddStatic(server, MakeClient(Ip("10.9.9.9"), kVirtual));
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  ASSERT_TRUE(engine->Admit(Ip("10.9.9.9"), access));
  engine->LogOn(Ip("10.9.9.9"), kVirtual);
  const auto refused = [](uint32_t i) { return htonl(0x0A000000u + i); };  // 10.0.x.y
  constexpr uint32_t kRefusals = 3000;
  for (uint32_t i = 0; i < kRefusals; ++i) {
    EXPECT_FALSE(engine->Admit(refused(i), access));
    if (i % 500 == 0) {
      EXPECT_FALSE(engine->Admit(refused(i), access)) << "listed once however often";
    }
  }
  engine->Disconnect(refused(kRefusals - 1));  // the newest leaves by itself

  std::vector<uint32_t> expected{Ip("10.9.9.9")};
  for (uint32_t i = kRefusals - 256; i < kRefusals - 1; ++i) expected.push_back(refused(i));
  EXPECT_EQ(OnlineAddresses(server), expected);
  // One more: the oldest still listed goes, the logged-on client stays.
  EXPECT_FALSE(engine->Admit(refused(kRefusals), access));
  EXPECT_FALSE(engine->Admit(refused(kRefusals + 1), access));
  const std::vector<uint32_t> now = OnlineAddresses(server);
  ASSERT_EQ(now.size(), 257u);
  EXPECT_EQ(now[0], Ip("10.9.9.9"));
  EXPECT_EQ(now[1], refused(kRefusals - 255));
  EXPECT_EQ(now.back(), refused(kRefusals + 1));
}

// The cap counts the entries that are refused now: one the administrator
// changed to logged on stays through later refusals, and one changed to
// refused counts towards the cap.
TEST_F(RefusedClientTest, TheCapFollowsStateChangesOfOnlineEntries) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  EXPECT_FALSE(engine->Admit(Ip("10.9.9.1"), access));
  const Handle admitted = AddOnline(server, MakeClient(Ip("10.9.9.2"), kVirtual));
  const Handle refused_first = [&] {
    Handle first = 0;
    EXPECT_EQ(registry_.EnumOnlineClients(server, 0, first), 0);
    return first;
  }();
  ClientEntry logged_on = MakeClient(Ip("10.9.9.1"), kFull);
  logged_on.state = kClientLoggedOn;
  ASSERT_EQ(registry_.ModifyOnlineClient(refused_first, logged_on), 0);
  ClientEntry refused = MakeClient(Ip("10.9.9.2"), kRefused);
  refused.state = kClientRefused;
  ASSERT_EQ(registry_.ModifyOnlineClient(admitted, refused), 0);

  const auto address = [](uint32_t i) { return htonl(0x0A000000u + i); };  // 10.0.x.y
  for (uint32_t i = 0; i < 256; ++i) EXPECT_FALSE(engine->Admit(address(i), access));
  const std::vector<uint32_t> online = OnlineAddresses(server);
  ASSERT_EQ(online.size(), 257u);
  EXPECT_EQ(online[0], Ip("10.9.9.1")) << "no longer refused: the cap leaves it";
  EXPECT_EQ(online[1], address(0)) << "refused since before these: the first to go";
  EXPECT_EQ(online.back(), address(255));
  size_t refused_now = 0;
  for (const ClientEntry& entry : OnlineClients(server)) {
    if (entry.state == kClientRefused) ++refused_now;
  }
  EXPECT_EQ(refused_now, 256u);
}

TEST_F(RefusedClientTest, EachEngineTouchesOnlyItsOwnServer) {
  const Handle open = AddServer(9001);
  const Handle closed = AddServer(9002);
  AddStatic(open, MakeClient(0, kVirtual));
  AddStatic(closed, MakeClient(Ip("10.0.0.1"), kFull));
  ASSERT_EQ(registry_.StartServer(open), 0);
  ASSERT_EQ(registry_.StartServer(closed), 0);
  const auto open_engine = engines_.Latest(9001);
  const auto closed_engine = engines_.Latest(9002);

  uint8_t access = 0;
  EXPECT_TRUE(open_engine->Admit(Ip("10.0.0.2"), access));
  EXPECT_EQ(access, kVirtual);
  EXPECT_FALSE(closed_engine->Admit(Ip("10.0.0.2"), access));
  EXPECT_TRUE(closed_engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_EQ(access, kFull);
  open_engine->LogOn(Ip("10.0.0.2"), kVirtual);

  EXPECT_EQ(OnlineAddresses(open), std::vector<uint32_t>{Ip("10.0.0.2")});
  ASSERT_EQ(OnlineClients(closed).size(), 1u);
  EXPECT_EQ(OnlineClients(closed)[0].state, kClientRefused);

  // Stopping one leaves the other's hooks working.
  ASSERT_EQ(registry_.StopServer(closed), 0);
  open_engine->Disconnect(Ip("10.0.0.2"));
  EXPECT_TRUE(OnlineAddresses(open).empty());
}

// The last error text is the management calls': a client refused again, or
// a second log-on of an address, changes nothing of it, also between a
// failed call and the text read after it.
TEST_F(RefusedClientTest, EntriesAlreadyListedLeaveTheLastErrorText) {
  const Handle server = AddServer(9001);
  AddStatic(server, MakeClient(Ip("10.0.0.2"), kVirtual));
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  ASSERT_TRUE(engine->Admit(Ip("10.0.0.2"), access));
  engine->LogOn(Ip("10.0.0.2"), kVirtual);
  engine->LogOn(Ip("10.0.0.2"), kVirtual);
  EXPECT_EQ(registry_.LastErrorText(), "") << "no call failed";

  registry_.SetSaveHook([](const std::vector<StoredServer>&) { return false; });
  EXPECT_EQ(registry_.AddStaticClient(server, MakeClient(Ip("10.0.0.3"), kFull)), -1);
  EXPECT_EQ(registry_.LastErrorText(), kNotSavedText);
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  engine->LogOn(Ip("10.0.0.2"), kVirtual);
  EXPECT_EQ(registry_.LastErrorText(), kNotSavedText);
  EXPECT_EQ(OnlineClients(server).size(), 2u);
}

TEST_F(RefusedClientTest, ChangesOfTheStaticListApplyToTheNextConnection) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  const Handle entry = AddStatic(server, MakeClient(Ip("10.0.0.1"), kFull));
  EXPECT_TRUE(engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_EQ(access, kFull);
  ASSERT_EQ(registry_.ModifyStaticClient(entry, MakeClient(0, kRefused)), 0);
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  ASSERT_EQ(registry_.DeleteStaticClient(server, entry), 0);
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_EQ(OnlineClients(server).size(), 1u) << "the first refusal's entry, still once";
}

}  // namespace
}  // namespace quensaria::registry::testing
