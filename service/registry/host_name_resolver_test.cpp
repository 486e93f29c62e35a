// The background host name walk: which clients it looks up, how it paces
// itself, and that it ends promptly on stop.
#include "service/registry/host_name_resolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/registry/registry_fixture_for_testing.h"
#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

using Log = std::vector<std::string>;

class ResolverTest : public RegistryFixture {
 protected:
  // Runs the resolver until it has begun its `passes`-th closing 10 s pause.
  void RunPasses(int passes) {
    int seen = 0;
    during_pause_ = [this, passes, seen](std::chrono::milliseconds duration) mutable {
      if (duration == std::chrono::milliseconds(10000) && ++seen == passes) registry_.RequestStop();
    };
    registry_.RunHostNameResolver();
  }
  ClientEntry Static(Handle client) {
    ClientEntry entry{};
    EXPECT_EQ(registry_.GetStaticClient(client, entry), 0);
    return entry;
  }
};

TEST_F(ResolverTest, WithoutServersItWaitsFifteenSecondsAPass) {
  RunPasses(2);
  EXPECT_EQ(Events(), (Log{"pause 5000", "pause 10000", "pause 5000", "pause 10000"}));
}

TEST_F(ResolverTest, LooksUpOnlyUnnamedClientsOnceAtAPaceOfOneASecond) {
  const Handle a = AddServer(9001);
  AddServer(9002);  // no clients
  SetHostName(Ip("10.0.0.1"), "one.example");
  const Handle named = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle given = AddStatic(a, MakeClient(Ip("10.0.0.2"), ACCESS_FULL, kNameKnown, "given"));
  const Handle any = AddStatic(a, MakeClient(0, ACCESS_VIRTUAL_WRITE));
  // Added as "look-up failed", stored as "not looked up": it is tried.
  const Handle failing = AddStatic(a, MakeClient(Ip("10.0.0.4"), ACCESS_FULL, kNameFailed));
  const size_t saves = SaveCount();

  RunPasses(2);
  const Log server_a_first = {"lookup", "pause 1000", "pause 1000", "pause 1000",
                              "lookup", "pause 1000", "pause 1000", "pause 5000"};
  const Log server_a_again = {"pause 1000", "pause 1000", "pause 1000",
                              "pause 1000", "pause 1000", "pause 5000"};
  const Log empty_server = {"pause 1000", "pause 5000"};
  const Log pass_end = {"pause 5000", "pause 10000"};
  Log expected;
  for (const Log* part :
       {&server_a_first, &empty_server, &pass_end, &server_a_again, &empty_server, &pass_end}) {
    expected.insert(expected.end(), part->begin(), part->end());
  }
  EXPECT_EQ(Events(), expected);
  EXPECT_EQ(LookedUp(), (std::vector<uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.4")}))
      << "a failed look-up is not retried";

  EXPECT_EQ(Static(named).nameState, kNameKnown);
  EXPECT_STREQ(Static(named).hostName, "one.example");
  EXPECT_EQ(Static(named).access, ACCESS_FULL);
  EXPECT_EQ(Static(given).nameState, kNameKnown);
  EXPECT_STREQ(Static(given).hostName, "given");
  EXPECT_EQ(Static(any).nameState, kNameUnknown);
  EXPECT_EQ(Static(failing).nameState, kNameFailed);
  EXPECT_EQ(SaveCount() - saves, 2u) << "each written-back name is saved";
  EXPECT_EQ(LastSave().at(0).static_clients.at(0).nameState, kNameKnown);
}

TEST_F(ResolverTest, ClientDeletedDuringItsLookUpSkipsTheRestOfItsServer) {
  const Handle a = AddServer(9001);
  const Handle b = AddServer(9002);
  const Handle doomed = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  AddStatic(a, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  AddStatic(b, MakeClient(Ip("10.0.0.3"), ACCESS_FULL));
  during_look_up_ = [&](uint32_t address) {
    if (address == Ip("10.0.0.1")) {
      EXPECT_EQ(registry_.DeleteStaticClient(a, doomed), 0);
    }
  };
  RunPasses(1);
  EXPECT_EQ(Events(), (Log{"lookup", "pause 5000",                              // server a
                           "lookup", "pause 1000", "pause 1000", "pause 5000",  // server b
                           "pause 5000", "pause 10000"}));
  EXPECT_EQ(LookedUp(), (std::vector<uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.3")}));
  EXPECT_EQ(StaticClients(a).at(0).nameState, kNameUnknown) << "10.0.0.2 waits for the next pass";
}

TEST_F(ResolverTest, ServerDeletedMeanwhileEndsThePass) {
  const Handle a = AddServer(9001);
  AddServer(9002);
  AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  during_look_up_ = [&](uint32_t) { EXPECT_EQ(registry_.DeleteServer(a), 0); };
  RunPasses(1);
  // The walk cannot go on from a server that is gone; the next pass starts
  // again at the first server.
  EXPECT_EQ(Events(), (Log{"lookup", "pause 5000", "pause 5000", "pause 10000"}));
}

TEST_F(ResolverTest, NameGivenDuringTheLookUpIsKept) {
  const Handle a = AddServer(9001);
  const Handle client = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  SetHostName(Ip("10.0.0.1"), "dns.example");
  during_look_up_ = [&](uint32_t) {
    EXPECT_EQ(registry_.ModifyStaticClient(
                  client, MakeClient(0, ACCESS_VIRTUAL_WRITE, kNameKnown, "admin")),
              0);
  };
  RunPasses(1);
  EXPECT_STREQ(Static(client).hostName, "admin");
  EXPECT_EQ(Static(client).access, ACCESS_VIRTUAL_WRITE);
}

// The look-up's name goes in with the entry as it is then: what the
// administrator changed while it was being written (the access, or a name
// of his own) stays, on the list and in the saved file.
TEST_F(ResolverTest, AChangeMadeWhileTheNameIsWrittenIsKept) {
  const Handle a = AddServer(9001);
  const Handle refused = AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  const Handle named = AddStatic(a, MakeClient(Ip("10.0.0.2"), ACCESS_FULL));
  SetHostName(Ip("10.0.0.1"), "one.example");
  SetHostName(Ip("10.0.0.2"), "two.example");
  before_name_written_ = [&] {
    if (LookedUp().back() == Ip("10.0.0.1")) {
      EXPECT_EQ(registry_.ModifyStaticClient(refused, MakeClient(0, ACCESS_REFUSED)), 0);
    } else {
      EXPECT_EQ(registry_.ModifyStaticClient(
                    named, MakeClient(0, ACCESS_VIRTUAL_WRITE, kNameKnown, "admin")),
                0);
    }
  };
  RunPasses(1);
  EXPECT_EQ(Static(refused).access, ACCESS_REFUSED);
  EXPECT_STREQ(Static(refused).hostName, "one.example");
  EXPECT_EQ(Static(named).access, ACCESS_VIRTUAL_WRITE);
  EXPECT_STREQ(Static(named).hostName, "admin");
  const std::vector<StoredServer> saved = LastSave();
  ASSERT_EQ(saved.size(), 1u);
  ASSERT_EQ(saved.at(0).static_clients.size(), 2u);
  EXPECT_EQ(saved.at(0).static_clients.at(0).access, ACCESS_REFUSED) << "as saved";
  EXPECT_STREQ(saved.at(0).static_clients.at(1).hostName, "admin") << "as saved";
}

TEST_F(ResolverTest, LooksUpWithoutTheRegistryLock) {
  const Handle a = AddServer(9001);
  AddStatic(a, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  bool lock_was_free = false;
  Handle added = 0;
  during_look_up_ = [&](uint32_t) {
    auto other = std::async(std::launch::async,
                            [&] { return registry_.AddServer(MakeConfig(9002), added); });
    lock_was_free = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  RunPasses(1);
  EXPECT_TRUE(lock_was_free);
}

TEST_F(ResolverTest, StopBeforeStartReturnsAtOnce) {
  registry_.RequestStop();
  registry_.RunHostNameResolver();
  EXPECT_TRUE(Events().empty());
}

// With the real pauses (1 s after a client, 5 s when there is no server): a
// stop that comes while the resolver walks or pauses ends it. How soon is for
// a benchmark; the generous bound only keeps a resolver that never ends from
// hanging the test.
TEST(ResolverStopTest, RealPausesEndOnStop) {
  for (const int clients : {0, 1}) {
    SCOPED_TRACE(clients);
    FakeEngines engines;
    RegistryEnvironment environment;
    std::promise<void> looked_up;
    bool told = false;
    environment.look_up_host_name = [&](uint32_t) {
      if (!std::exchange(told, true)) looked_up.set_value();
      return std::optional<std::string>("host");
    };
    ServerRegistry registry(engines.Factory(), environment);
    if (clients == 1) {
      Handle server = 0;
      ASSERT_EQ(registry.AddServer(MakeConfig(9001), server), 0);
      ASSERT_EQ(registry.AddStaticClient(server, MakeClient(Ip("10.0.0.1"), 0)), 0);
    }
    auto resolver = std::async(std::launch::async, [&] { registry.RunHostNameResolver(); });
    // With a client, the stop comes in the pause after its look-up.
    if (clients == 1) looked_up.get_future().wait();
    registry.RequestStop();
    EXPECT_EQ(resolver.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  }
}

}  // namespace
}  // namespace quensaria::registry::testing
