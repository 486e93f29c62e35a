// Starting and stopping engines: the start-up wait, a second start, the
// stop that waits for the engine (and for its source's close no longer than
// the close wait), and hooks of engines that are stopping.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/console_capture_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "service/registry/registry_fixture_for_testing.h"
#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

using std::chrono::seconds;

// Runs `step` on another thread; a step that has not finished after a
// generous while is a deadlock, and a deadlocked test cannot end cleanly.
template <typename Step>
auto FinishesOrDie(const char* what, Step step) {
  auto done = std::async(std::launch::async, step);
  if (done.wait_for(seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "DEADLOCK: %s did not return within 30 s\n", what);
    std::_Exit(1);
  }
  return done.get();
}

class EngineRunTest : public RegistryFixture {};

// Starts that wait for their engine a time of the test's own.
class EngineStartWaitTest : public ::testing::Test {
 protected:
  // The export on port 9001, its engine run as `mode`, its starts waiting
  // `start_wait` for the engine to listen.
  void AddServer(FakeMode mode,
                 std::chrono::milliseconds start_wait = std::chrono::milliseconds(50)) {
    engines_.SetMode(9001, mode);
    RegistryEnvironment environment;
    environment.start_wait = start_wait;
    registry_.emplace(engines_.Factory(), environment);
    ASSERT_EQ(registry_->AddServer(MakeConfig(9001), server_), 0);
  }
  void ExpectStarted(int started) {
    ServerConfig read{};
    ASSERT_EQ(registry_->GetServer(server_, read), 0);
    EXPECT_EQ(read.Started, started);
  }

  FakeEngines engines_;
  std::optional<ServerRegistry> registry_;  // goes before the engines it ran
  Handle server_ = 0;
};

TEST_F(EngineRunTest, StartRunsTheEngineWithHooksInstalledBeforeRun) {
  ServerConfig config = MakeConfig(9001, "/srv/a.img");
  Handle server = 0;
  ASSERT_EQ(registry_.AddServer(config, server), 0);
  ASSERT_EQ(registry_.StartServer(server), 0);

  const auto engine = engines_.Latest(9001);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->IsRunning());
  EXPECT_TRUE(engine->hooks_before_run);
  EXPECT_STREQ(engine->config.Source, "/srv/a.img");
  EXPECT_EQ(engine->config.SizeBytes, config.SizeBytes);
  ServerConfig read{};
  ASSERT_EQ(registry_.GetServer(server, read), 0);
  EXPECT_EQ(read.Started, 1);
}

TEST_F(EngineRunTest, SecondStartIsRefusedAndKeepsTheRunningEngine) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  EXPECT_EQ(registry_.StartServer(server), -1);
  ASSERT_EQ(engines_.Built(9001).size(), 1u) << "no second engine was built";
  const auto engine = engines_.Latest(9001);
  EXPECT_TRUE(engine->IsRunning());
  EXPECT_EQ(engine->StopCalls(), 0);

  // The registry still knows the engine: its hooks work, and stop reaches it.
  uint8_t access = 9;
  AddStatic(server, MakeClient(Ip("10.0.0.1"), ACCESS_FULL));
  EXPECT_TRUE(engine->Admit(Ip("10.0.0.1"), access));
  EXPECT_EQ(access, ACCESS_FULL);
  ASSERT_EQ(registry_.StopServer(server), 0);
  EXPECT_EQ(engine->StopCalls(), 1);
  EXPECT_TRUE(engine->HasEnded());
}

// Exports come up one after another at service start: each start waits only
// until its engine listens (at most its start wait), so a hundred exports
// are up in moments rather than a hundred seconds.
TEST_F(EngineStartWaitTest, AStartWaitsOnlyUntilItsEngineListens) {
  FakeEngines engines;
  RegistryEnvironment environment;
  environment.start_wait = std::chrono::minutes(10);  // never reached: each engine says it listens
  ServerRegistry registry(engines.Factory(), environment);
  std::vector<Handle> servers;
  for (uint16_t port = 9001; port <= 9100; ++port) {
    Handle server = 0;
    ASSERT_EQ(registry.AddServer(MakeConfig(port), server), 0);
    servers.push_back(server);
  }
  auto starts = std::async(std::launch::async, [&] {
    int started = 0;
    for (Handle server : servers) started += registry.StartServer(server) == 0 ? 1 : 0;
    return started;
  });
  ASSERT_EQ(starts.wait_for(seconds(60)), std::future_status::ready)
      << "a start waited out its whole wait";
  EXPECT_EQ(starts.get(), 100);
  EXPECT_TRUE(engines.Latest(9100)->IsRunning());

  // An engine that ends before it listens fails its start at once.
  engines.SetMode(9200, FakeMode::kEndAtOnce);
  Handle failing = 0;
  ASSERT_EQ(registry.AddServer(MakeConfig(9200), failing), 0);
  auto failed = std::async(std::launch::async, [&] { return registry.StartServer(failing); });
  ASSERT_EQ(failed.wait_for(seconds(60)), std::future_status::ready);
  EXPECT_EQ(failed.get(), -1);
}

TEST_F(EngineStartWaitTest, AnEngineStillComingUpAfterTheWaitCountsAsStarted) {
  ASSERT_NO_FATAL_FAILURE(AddServer(FakeMode::kServeUnheard));
  EXPECT_EQ(registry_->StartServer(server_), 0);
  // The wait may have run out before the engine thread ran at all.
  EXPECT_TRUE(quensaria::testing::Eventually([&] { return engines_.Latest(9001)->IsRunning(); },
                                             seconds(30)));
  ExpectStarted(1);
}

// An engine that ended before it listened (its port taken) failed, however
// long closing its source takes: the start does not count it as still
// coming up.
TEST_F(EngineStartWaitTest, AnEngineThatEndedBeforeListeningFailsThoughItsTeardownIsSlow) {
  // Long enough for the engine thread to have run on a loaded machine: a
  // start that waited less counts the engine as still coming up. The start
  // waits all of it, for the teardown.
  ASSERT_NO_FATAL_FAILURE(AddServer(FakeMode::kEndAtOnceSlowTeardown, seconds(2)));
  EXPECT_EQ(FinishesOrDie("StartServer", [&] { return registry_->StartServer(server_); }), -1);
  ASSERT_NO_FATAL_FAILURE(ExpectStarted(0));

  const auto engine = engines_.Latest(9001);
  engine->Release();
  EXPECT_TRUE(engine->EndsWithin(seconds(30)));
  engines_.SetMode(9001, FakeMode::kServe);
  EXPECT_EQ(FinishesOrDie("StartServer", [&] { return registry_->StartServer(server_); }), 0);
}

TEST_F(EngineRunTest, EngineThatCannotComeUpFailsTheStart) {
  const FakeMode modes[] = {FakeMode::kEndAtOnce, FakeMode::kThrowOnBuild, FakeMode::kNullOnBuild};
  uint16_t port = 9100;
  for (FakeMode mode : modes) {
    SCOPED_TRACE(static_cast<int>(mode));
    engines_.SetMode(++port, mode);
    const Handle server = AddServer(port);
    EXPECT_EQ(registry_.StartServer(server), -1);
    ServerConfig read{};
    ASSERT_EQ(registry_.GetServer(server, read), 0);
    EXPECT_EQ(read.Started, 0);
    ASSERT_EQ(engines_.Built(port).size(), 1u);
    EXPECT_EQ(engines_.Latest(port)->StopCalls(), 0);

    // Nothing half started is left: the server starts once the engine can.
    engines_.SetMode(port, FakeMode::kServe);
    EXPECT_EQ(registry_.StartServer(server), 0);
    EXPECT_TRUE(engines_.Latest(port)->IsRunning());
  }
}

TEST_F(EngineRunTest, StopWaitsForTheEngineAndKeepsTheOnlineList) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  uint8_t access = 0;
  EXPECT_FALSE(engine->Admit(Ip("10.0.0.9"), access));  // listed as refused
  ASSERT_EQ(OnlineClients(server).size(), 1u);

  ASSERT_EQ(registry_.StopServer(server), 0);
  EXPECT_TRUE(engine->HasEnded()) << "the engine is torn down when StopServer returns";
  EXPECT_EQ(engine->StopCalls(), 1);
  ServerConfig read{};
  ASSERT_EQ(registry_.GetServer(server, read), 0);
  EXPECT_EQ(read.Started, 0);
  EXPECT_EQ(OnlineClients(server).size(), 1u) << "stopping does not touch the online list";
}

TEST_F(EngineRunTest, StartedServersLoadStartedAndStopAllKeepsStarted) {
  engines_.SetMode(9002, FakeMode::kEndAtOnce);
  ServerConfig config = MakeConfig(9001);
  config.Started = 1;
  registry_.LoadServer(config, {});
  config = MakeConfig(9002);
  config.Started = 1;
  registry_.LoadServer(config, {});
  registry_.LoadServer(MakeConfig(9003), {});

  auto snapshot = registry_.Snapshot();
  ASSERT_EQ(snapshot.size(), 3u);
  EXPECT_EQ(snapshot[0].config.Started, 1);
  EXPECT_EQ(snapshot[1].config.Started, 0) << "its start failed";
  EXPECT_EQ(snapshot[2].config.Started, 0);
  const auto engine = engines_.Latest(9001);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->IsRunning());
  EXPECT_TRUE(engines_.Built(9003).empty());

  registry_.StopAllServers();
  EXPECT_TRUE(engine->HasEnded());
  snapshot = registry_.Snapshot();
  EXPECT_EQ(snapshot[0].config.Started, 1) << "comes back at the next service start";

  // The next service start, from what this one saved.
  FakeEngines next_engines;
  ServerRegistry next(next_engines.Factory());
  for (const StoredServer& stored : snapshot) next.LoadServer(stored.config, stored.static_clients);
  ASSERT_NE(next_engines.Latest(9001), nullptr);
  EXPECT_TRUE(next_engines.Latest(9001)->IsRunning());
  next.StopAllServers();
  next.FreeRegistry();
  EXPECT_TRUE(next_engines.Latest(9001)->HasEnded());
  Handle first = 1;
  EXPECT_EQ(next.EnumServers(0, first), 0);
  EXPECT_EQ(first, 0u) << "freed";
}

// An engine may end by itself once it serves (its listener broke): the
// figures then say it no longer runs, and a stop and a start bring it back.
TEST_F(EngineRunTest, AnEngineThatEndedOnItsOwnIsNotReportedRunning) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  ServerStats stats{};
  ASSERT_EQ(registry_.GetServerStats(server, stats), 0);
  EXPECT_EQ(stats.Running, 1);

  engine->EndOnItsOwn();
  ASSERT_TRUE(engine->EndsWithin(seconds(30)));
  stats = ServerStats{};
  ASSERT_EQ(registry_.GetServerStats(server, stats), 0);
  EXPECT_EQ(stats.Running, 0) << "no engine serves the server any more";

  ASSERT_EQ(registry_.StopServer(server), 0);
  ASSERT_EQ(registry_.StartServer(server), 0);
  ASSERT_EQ(registry_.GetServerStats(server, stats), 0);
  EXPECT_EQ(stats.Running, 1);
  EXPECT_TRUE(engines_.Latest(9001)->IsRunning());
}

TEST_F(EngineRunTest, DeletingAStartedServerStopsItsEngine) {
  const Handle server = AddServer(9001);
  ASSERT_EQ(registry_.StartServer(server), 0);
  const auto engine = engines_.Latest(9001);
  ASSERT_EQ(registry_.DeleteServer(server), 0);
  EXPECT_TRUE(engine->HasEnded());
  EXPECT_TRUE(Servers().empty());
}

TEST_F(EngineRunTest, DestroyingTheRegistryStopsEveryEngine) {
  std::shared_ptr<FakeEngine> a, b;
  {
    FakeEngines engines;
    ServerRegistry registry(engines.Factory());
    Handle first = 0, second = 0;
    ASSERT_EQ(registry.AddServer(MakeConfig(9001), first), 0);
    ASSERT_EQ(registry.AddServer(MakeConfig(9002), second), 0);
    ASSERT_EQ(registry.StartServer(first), 0);
    ASSERT_EQ(registry.StartServer(second), 0);
    a = engines.Latest(9001);
    b = engines.Latest(9002);
  }
  EXPECT_TRUE(a->HasEnded());
  EXPECT_TRUE(b->HasEnded());
}

// The stopper holds the registry lock while the engine's workers, woken by
// Stop, report their connections reset through ClientDisconnected (one of
// them from Stop itself) and still ask for admissions and log-ons. None may
// wait for the lock; the disconnects reach the online list afterwards.
TEST_F(EngineRunTest, HooksOfAStoppingEngineDoNotDeadlockTheStop) {
  const std::vector<uint32_t> workers = {Ip("10.0.0.1"), Ip("10.0.0.2"), Ip("10.0.0.3"),
                                         Ip("10.0.0.4")};
  const uint32_t reset_in_stop = Ip("10.0.0.5");
  const uint32_t refused = Ip("10.0.0.99");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const uint16_t port = static_cast<uint16_t>(9200 + round);
    engines_.SetResetAddresses(port, workers, reset_in_stop);
    const Handle server = AddServer(port);
    AddStatic(server, MakeClient(0, ACCESS_VIRTUAL_WRITE));
    AddStatic(server, MakeClient(refused, ACCESS_REFUSED));
    ASSERT_EQ(registry_.StartServer(server), 0);
    const auto engine = engines_.Latest(port);
    for (uint32_t address : workers) engine->LogOn(address, ACCESS_VIRTUAL_WRITE);
    engine->LogOn(reset_in_stop, ACCESS_VIRTUAL_WRITE);
    ASSERT_EQ(OnlineClients(server).size(), workers.size() + 1);
    const ClientEntry outsider = MakeClient(Ip("10.0.0.200"), ACCESS_REFUSED);
    AddOnline(server, outsider);

    EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_.StopServer(server); }), 0);
    EXPECT_TRUE(engine->HasEnded());
    EXPECT_EQ(OnlineAddresses(server), std::vector<uint32_t>{outsider.address})
        << "every reset connection is gone from the online list, nothing else";
  }
}

TEST_F(EngineRunTest, StopAllAndDeleteDoNotDeadlockWithBusyEngines) {
  const std::vector<uint32_t> workers = {Ip("10.0.1.1"), Ip("10.0.1.2"), Ip("10.0.1.3")};
  std::vector<Handle> servers;
  for (uint16_t port = 9300; port < 9303; ++port) {
    engines_.SetResetAddresses(port, workers, 0);
    servers.push_back(AddServer(port));
    ASSERT_EQ(registry_.StartServer(servers.back()), 0);
  }
  // Other engines' hooks keep knocking while one engine is stopped.
  FinishesOrDie("DeleteServer", [&] { return registry_.DeleteServer(servers[1]); });
  FinishesOrDie("StopAllServers", [&] {
    registry_.StopAllServers();
    return 0;
  });
  for (uint16_t port = 9300; port < 9303; ++port) EXPECT_TRUE(engines_.Latest(port)->HasEnded());
}

// A source whose open does not answer (a file on a dead hard NFS mount, a
// device that never replies) fails its own start once the open wait is over
// and holds up nothing else: management calls, the exports loaded after it
// and the service's stop all go on while its engine thread still hangs.
class EngineOpenWaitTest : public ::testing::Test {
 protected:
  EngineOpenWaitTest() : registry_(engines_.Factory(), Environment()) {}
  ~EngineOpenWaitTest() override {
    // The opens given up on end by themselves once their source answers.
    for (const auto& engine : engines_.Built(9001)) {
      engine->Release();
      EXPECT_TRUE(engine->EndsWithin(seconds(30))) << "the late endpoint is torn down";
    }
  }

  static RegistryEnvironment Environment() {
    RegistryEnvironment environment;
    environment.open_wait = std::chrono::milliseconds(200);
    return environment;
  }

  static ServerConfig Started(uint16_t port) {
    ServerConfig config = MakeConfig(port);
    config.Started = 1;
    return config;
  }

  void StopLikeTheService() {
    FinishesOrDie("the service's stop", [&] {
      registry_.StopAllServers();
      registry_.FreeRegistry();
      return 0;
    });
  }

  FakeEngines engines_;  // before registry_: outlives it
  ServerRegistry registry_;
};

TEST_F(EngineOpenWaitTest, AStartWhoseSourceDoesNotAnswerFailsAndHoldsUpNothing) {
  engines_.SetMode(9001, FakeMode::kHangOnBuild);
  Handle hung = 0, other = 0;
  ASSERT_EQ(registry_.AddServer(MakeConfig(9001), hung), 0);
  ASSERT_EQ(registry_.AddServer(MakeConfig(9002), other), 0);
  auto start = std::async(std::launch::async, [&] { return registry_.StartServer(hung); });
  FinishesOrDie("the source's open", [&] {
    while (engines_.Built(9001).empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  });

  // A management call made meanwhile is answered once the start gives up.
  ServerConfig read{};
  EXPECT_EQ(FinishesOrDie("GetServer", [&] { return registry_.GetServer(hung, read); }), 0);
  EXPECT_EQ(FinishesOrDie("StartServer", [&] { return start.get(); }), -1);
  ASSERT_EQ(registry_.GetServer(hung, read), 0);
  EXPECT_EQ(read.Started, 0);
  ServerStats stats{};
  ASSERT_EQ(registry_.GetServerStats(hung, stats), 0);
  EXPECT_EQ(stats.Running, 0);

  EXPECT_EQ(FinishesOrDie("StartServer", [&] { return registry_.StartServer(other); }), 0);
  EXPECT_TRUE(engines_.Latest(9002)->IsRunning());
  EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_.StopServer(hung); }), 0);
  StopLikeTheService();
  EXPECT_TRUE(engines_.Latest(9002)->HasEnded());
}

TEST_F(EngineOpenWaitTest, ALoadedServerWhoseSourceDoesNotAnswerLetsTheOthersStart) {
  engines_.SetMode(9001, FakeMode::kHangOnBuild);
  FinishesOrDie("LoadServer", [&] {
    registry_.LoadServer(Started(9001), {});
    registry_.LoadServer(Started(9002), {});
    return 0;
  });
  const auto snapshot = registry_.Snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].config.Started, 0) << "its start failed";
  EXPECT_EQ(snapshot[1].config.Started, 1);
  ASSERT_NE(engines_.Latest(9002), nullptr);
  EXPECT_TRUE(engines_.Latest(9002)->IsRunning());
  StopLikeTheService();
  EXPECT_TRUE(engines_.Latest(9002)->HasEnded());
}

// A source whose close does not return (a file on a dead hard NFS mount, a
// device that stops answering) ends its own stop once the close wait is
// over, said on the console, and holds up nothing else: management calls,
// a delete and the service's stop all go on while its engine thread still
// hangs in the close.
class EngineCloseWaitTest : public ::testing::Test {
 protected:
  EngineCloseWaitTest() : registry_(engines_.Factory(), Environment()) {
    engines_.SetMode(9001, FakeMode::kServeSlowTeardown);
  }
  ~EngineCloseWaitTest() override {
    // The closes given up on end by themselves once their source answers.
    for (const auto& engine : engines_.Built(9001)) {
      engine->Release();
      EXPECT_TRUE(engine->EndsWithin(seconds(30))) << "the late close ends its thread";
    }
  }

  static RegistryEnvironment Environment() {
    RegistryEnvironment environment;
    environment.close_wait = std::chrono::milliseconds(200);
    return environment;
  }

  Handle Started(uint16_t port) {
    Handle server = 0;
    EXPECT_EQ(registry_.AddServer(MakeConfig(port, "/srv/dead-nfs/disk.img"), server), 0);
    EXPECT_EQ(registry_.StartServer(server), 0);
    return server;
  }

  FakeEngines engines_;  // before registry_: outlives it
  ServerRegistry registry_;
};

TEST_F(EngineCloseWaitTest, AStopWhoseSourceDoesNotCloseEndsAndHoldsUpNothing) {
  const Handle hung = Started(9001);
  const Handle other = Started(9002);
  ::quensaria::testing::ConsoleCapture console;
  EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_.StopServer(hung); }), 0);
  console.Stop();
  EXPECT_FALSE(engines_.Latest(9001)->HasEnded()) << "its close still hangs";
  const auto lines = console.lines();
  ASSERT_EQ(lines.size(), 1u) << "nothing said";
  EXPECT_EQ(lines[0].first, platform::ConsolePriority::kError);
  EXPECT_EQ(lines[0].second.rfind("/srv/dead-nfs/disk.img: ", 0), 0u) << lines[0].second;

  ServerConfig read{};
  ASSERT_EQ(FinishesOrDie("GetServer", [&] { return registry_.GetServer(hung, read); }), 0);
  EXPECT_EQ(read.Started, 0);
  ServerStats stats{};
  ASSERT_EQ(registry_.GetServerStats(hung, stats), 0);
  EXPECT_EQ(stats.Running, 0);
  EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_.StopServer(other); }), 0);
  EXPECT_TRUE(engines_.Latest(9002)->HasEnded());

  // Started again, it serves from a new engine; a delete and the service's
  // stop meet the same close and go on too.
  EXPECT_EQ(FinishesOrDie("StartServer", [&] { return registry_.StartServer(hung); }), 0);
  EXPECT_EQ(engines_.Built(9001).size(), 2u);
  EXPECT_TRUE(engines_.Latest(9001)->IsRunning());
  EXPECT_EQ(FinishesOrDie("DeleteServer", [&] { return registry_.DeleteServer(hung); }), 0);
  Handle next = 0;
  ASSERT_EQ(registry_.EnumServers(0, next), 0);
  EXPECT_EQ(next, other) << "the deleted server is gone";

  const Handle loaded = Started(9001);
  ASSERT_NE(loaded, 0u);
  EXPECT_EQ(FinishesOrDie("the service's stop",
                          [&] {
                            registry_.StopAllServers();
                            registry_.FreeRegistry();
                            return 0;
                          }),
            0);
  EXPECT_EQ(engines_.Built(9001).size(), 3u);
  for (const auto& engine : engines_.Built(9001)) EXPECT_FALSE(engine->HasEnded());
}

// The service's stop under systemd's TimeoutStopSec: every engine is asked
// to stop before any close is waited for, so exports whose sources do not
// close cost one close wait together, not one each.
TEST(EngineStopAllTest, EveryEngineIsAskedToStopBeforeAnyCloseIsWaitedFor) {
  constexpr uint16_t kFirst = 9001;
  constexpr int kExports = 7;
  FakeEngines engines;
  RegistryEnvironment environment;
  environment.close_wait = std::chrono::minutes(10);  // never reached: all are released
  ServerRegistry registry(engines.Factory(), environment);
  for (int i = 0; i < kExports; ++i) {
    const auto port = static_cast<uint16_t>(kFirst + i);
    engines.SetMode(port, FakeMode::kServeSlowTeardown);
    Handle server = 0;
    ASSERT_EQ(registry.AddServer(MakeConfig(port, "/srv/dead-nfs/disk.img"), server), 0);
    ASSERT_EQ(registry.StartServer(server), 0);
  }
  const auto asked = [&] {
    int count = 0;
    for (int i = 0; i < kExports; ++i)
      count += engines.Latest(static_cast<uint16_t>(kFirst + i))->StopCalls();
    return count;
  };

  auto stop = std::async(std::launch::async, [&] { registry.StopAllServers(); });
  // No close has returned yet: each engine still tears down.
  const auto bound = std::chrono::steady_clock::now() + seconds(10);
  while (asked() < kExports && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(asked(), kExports) << "engines asked to stop while the first close hangs";

  for (int i = 0; i < kExports; ++i) engines.Latest(static_cast<uint16_t>(kFirst + i))->Release();
  FinishesOrDie("the service's stop", [&] {
    stop.get();
    return 0;
  });
  for (int i = 0; i < kExports; ++i) {
    const auto engine = engines.Latest(static_cast<uint16_t>(kFirst + i));
    EXPECT_TRUE(engine->HasEnded());
    EXPECT_EQ(engine->StopCalls(), 1);
  }
  const auto snapshot = registry.Snapshot();
  ASSERT_EQ(snapshot.size(), static_cast<size_t>(kExports));
  for (const StoredServer& stored : snapshot) EXPECT_EQ(stored.config.Started, 1);
  registry.FreeRegistry();
}

// Sources that do not close at all: the stop ends after the close wait with
// each of them said once, and their threads end once the closes return.
TEST_F(EngineCloseWaitTest, TheServicesStopOfManyHungSourcesSaysEachAndEnds) {
  constexpr int kExports = 7;
  std::vector<Handle> servers;
  for (int i = 0; i < kExports; ++i) {
    engines_.SetMode(static_cast<uint16_t>(9101 + i), FakeMode::kServeSlowTeardown);
    servers.push_back(Started(static_cast<uint16_t>(9101 + i)));
  }
  ::quensaria::testing::ConsoleCapture console;
  FinishesOrDie("the service's stop", [&] {
    registry_.StopAllServers();
    return 0;
  });
  console.Stop();
  EXPECT_EQ(console.lines().size(), static_cast<size_t>(kExports)) << "each hung close said";
  for (int i = 0; i < kExports; ++i) {
    const auto engine = engines_.Latest(static_cast<uint16_t>(9101 + i));
    EXPECT_FALSE(engine->HasEnded()) << "its close still hangs";
    EXPECT_EQ(engine->StopCalls(), 1);
    engine->Release();
    EXPECT_TRUE(engine->EndsWithin(seconds(30)));
  }
  FinishesOrDie("FreeRegistry", [&] {
    registry_.FreeRegistry();
    return 0;
  });
}

}  // namespace
}  // namespace quensaria::registry::testing
