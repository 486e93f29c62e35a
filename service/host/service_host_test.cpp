// The service main and its stop control over the real registry, store and
// management interface, with engines that only pretend to serve.
#include "service/host/service_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "configurator/client/management_client.h"
#include "platform/console.h"
#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/store/configuration_store.h"
#include "shared/block_protocol.h"

namespace quensaria::host {
namespace {

using namespace std::chrono_literals;
using configurator::ManagementClient;

// Engines that serve until stopped; port 1 stands for a port in use, whose
// engine ends at once.
struct FakeEngines {
  class Endpoint : public engine::Endpoint {
   public:
    Endpoint(FakeEngines& engines, const ServerConfig& config)
        : engines_(engines), config_(config) {}
    void SetHooks(engine::EngineHooks hooks) override { listening_ = std::move(hooks.Listening); }
    void Run() override {
      if (config_.Port == 1) return;
      ++engines_.running;
      if (listening_) listening_(this);
      std::unique_lock lock(mutex_);
      stopped_cv_.wait(lock, [this] { return stopped_; });
      --engines_.running;
    }
    void Stop() override {
      std::scoped_lock lock(mutex_);
      stopped_ = true;
      stopped_cv_.notify_all();
    }

   private:
    FakeEngines& engines_;
    ServerConfig config_;
    std::function<void(engine::Endpoint*)> listening_;
    std::mutex mutex_;
    std::condition_variable stopped_cv_;
    bool stopped_ = false;
  };

  engine::EndpointFactory Factory() {
    return [this](const ServerConfig& config) -> std::unique_ptr<engine::Endpoint> {
      ++builds;
      // A slow engine start (opening a large source), on purpose.
      if (build_delay.count() > 0) std::this_thread::sleep_for(build_delay);
      return std::make_unique<Endpoint>(*this, config);
    };
  }

  std::atomic<int> running{0};
  std::atomic<int> builds{0};  // endpoints whose building has begun
  std::chrono::milliseconds build_delay{0};
};

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = dir_ + "/state";
    std::filesystem::create_directory(state_);
  }
  void TearDown() override { StopHost(); }

  void StartHost(const std::string& runtime = "") {
    host_ = std::make_unique<ServiceHost>(
        HostOptions{state_, runtime.empty() ? dir_ + "/run" : runtime}, engines_.Factory());
    run_ = std::thread([this] { host_->Run(); });
  }
  void StopHost() {
    if (host_) host_->Stop();
    if (run_.joinable()) run_.join();
    host_.reset();
  }
  // A client once the interface answers.
  std::unique_ptr<ManagementClient> Client() {
    auto client = std::make_unique<ManagementClient>(dir_ + "/run", 10s);
    std::string name;
    EXPECT_TRUE(testing::Eventually([&] { return client->GetServiceName(16, name) == 0; }, 30s));
    EXPECT_EQ(name, "Velmoran Server");
    return client;
  }
  static ServerConfig Config(const char* source, uint16_t port) {
    ServerConfig config;
    std::memset(&config, 0, sizeof config);
    std::strcpy(config.Source, source);
    config.Port = port;
    config.SizeBytes = 1 << 20;
    return config;
  }
  std::vector<StoredServer> Stored() {
    std::ifstream in(state_ + "/Locals.xml");
    std::stringstream data;
    data << in.rdbuf();
    return store::ParseConfiguration(data.str()).value_or(std::vector<StoredServer>{});
  }
  void Seed(const std::vector<StoredServer>& servers) {
    std::ofstream(state_ + "/Locals.xml") << store::FormatConfiguration(servers).value();
  }
  static bool WaitFor(const std::function<bool()>& condition) {
    return testing::Eventually(condition, 30s);
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::string state_;
  FakeEngines engines_;
  std::unique_ptr<ServiceHost> host_;
  std::thread run_;
};

TEST_F(ServiceHostTest, ServersThatRanAtTheStopComeBackAtTheNextStart) {
  StartHost();
  auto client = Client();
  configurator::Handle serving = 0, busy_port = 0, idle = 0;
  ASSERT_EQ(client->AddServer(Config("/srv/a.img", 5000), serving), 0);
  ASSERT_EQ(client->AddServer(Config("/srv/b.img", 1), busy_port), 0);
  ASSERT_EQ(client->AddServer(Config("/srv/c.img", 5002), idle), 0);
  EXPECT_EQ(client->StartServer(serving), 0);
  EXPECT_EQ(client->StartServer(busy_port), -1);
  EXPECT_EQ(engines_.running, 1);
  StopHost();
  EXPECT_EQ(engines_.running, 0);

  std::vector<StoredServer> stored = Stored();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].config.Started, 1);  // still 1: it comes back
  EXPECT_EQ(stored[1].config.Started, 0);
  EXPECT_EQ(stored[2].config.Started, 0);

  StartHost();
  client = Client();
  EXPECT_TRUE(WaitFor([&] { return engines_.running == 1; }));
  configurator::Handle first = 0;
  ASSERT_EQ(client->EnumServers(0, first), 0);
  ServerConfig config;
  ASSERT_EQ(client->GetServer(first, config), 0);
  EXPECT_STREQ(config.Source, "/srv/a.img");
  EXPECT_EQ(config.Started, 1);
  StopHost();
}

TEST_F(ServiceHostTest, AServerThatCannotStartAtLoadIsKeptStopped) {
  ServerConfig busy = Config("/srv/busy.img", 1);
  busy.Started = 1;
  ServerConfig good = Config("/srv/good.img", 5000);
  good.Started = 1;
  Seed({{busy, {}}, {good, {}}});
  StartHost();
  auto client = Client();
  EXPECT_EQ(engines_.running, 1);
  StopHost();
  std::vector<StoredServer> stored = Stored();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].config.Started, 0);
  EXPECT_EQ(stored[1].config.Started, 1);
}

TEST_F(ServiceHostTest, StopBeforeRunBringsNothingUp) {
  ServerConfig started = Config("/srv/a.img", 5000);
  started.Started = 1;
  Seed({{started, {}}});
  std::ifstream in(state_ + "/Locals.xml");
  const std::string before((std::istreambuf_iterator<char>(in)), {});
  host_ = std::make_unique<ServiceHost>(HostOptions{state_, dir_ + "/run"}, engines_.Factory());
  host_->Stop();
  host_->Run();  // returns at once
  EXPECT_EQ(engines_.running, 0);
  std::ifstream again(state_ + "/Locals.xml");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), before);
}

TEST_F(ServiceHostTest, WithoutManagementTheServersKeepServingUntilTheStop) {
  ServerConfig started = Config("/srv/a.img", 5000);
  started.Started = 1;
  Seed({{started, {}}});
  std::ofstream(dir_ + "/run-file") << "not a directory";
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  StartHost(dir_ + "/run-file");
  run_.join();  // the service main returned: no management interface
  platform::SetConsoleSinkForTesting({});
  EXPECT_NE(console.find("RPC Err: 1718\nfile = .\\zeltosvcrpcs, line=50."), std::string::npos)
      << console;
  EXPECT_EQ(engines_.running, 1);
  StopHost();
  EXPECT_EQ(engines_.running, 0);
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].config.Started, 1);
}

TEST_F(ServiceHostTest, StopDuringStartUpWaitsForIt) {
  std::vector<StoredServer> seeded;
  for (uint16_t port = 5000; port < 5003; ++port) {
    ServerConfig config = Config("/srv/x.img", port);
    config.Started = 1;
    seeded.push_back({config, {}});
  }
  Seed(seeded);
  engines_.build_delay = 150ms;
  StartHost();
  // The load is bringing engines up.
  EXPECT_TRUE(WaitFor([&] { return engines_.builds.load() > 0; }));
  StopHost();
  EXPECT_EQ(engines_.running, 0);
  std::vector<StoredServer> stored = Stored();
  ASSERT_EQ(stored.size(), 3u);
  for (const auto& server : stored) EXPECT_EQ(server.config.Started, 1);
}

// A stop during the start-up waits for the export being started, and no
// further one is started: each may take up to the open wait (a source that
// does not answer), and all of them in turn would outlast systemd's stop
// time-out. Those not started keep Started, so they come back next time.
TEST_F(ServiceHostTest, AStopDuringStartUpStartsNoFurtherExports) {
  constexpr int kExports = 8;
  std::vector<StoredServer> seeded;
  for (int i = 0; i < kExports; ++i) {
    ServerConfig config = Config("/srv/x.img", static_cast<uint16_t>(5000 + i));
    config.Started = 1;
    seeded.push_back({config, {}});
  }
  Seed(seeded);
  engines_.build_delay = 200ms;
  StartHost();
  EXPECT_TRUE(WaitFor([&] { return engines_.builds.load() > 0; }));
  StopHost();
  EXPECT_LT(engines_.builds.load(), kExports) << "exports started after the stop began";
  EXPECT_EQ(engines_.running, 0);
  std::vector<StoredServer> stored = Stored();
  ASSERT_EQ(stored.size(), static_cast<size_t>(kExports));
  for (const auto& server : stored) EXPECT_EQ(server.config.Started, 1);
}

// A change Locals.xml cannot keep (a full disk, a read-only state
// directory) is refused and not made: answered success, the caller took it
// as kept and it was gone at the next start. A folder in the side file's
// place stops every save, as root too.
TEST_F(ServiceHostTest, ChangesThatCannotBeSavedAreRefusedAndNotMade) {
  StartHost();
  auto client = Client();
  configurator::Handle server = 0;
  ASSERT_EQ(client->AddServer(Config("/srv/a.img", 5000), server), 0);
  ClientEntry full{};
  full.address = 0x0100000a;  // 10.0.0.1
  full.access = ACCESS_FULL;
  ASSERT_EQ(client->AddStaticClient(server, full), 0);
  configurator::Handle fixed = 0;
  ASSERT_EQ(client->EnumStaticClients(server, 0, fixed), 0);
  ASSERT_NE(fixed, 0u);
  ASSERT_EQ(Stored().size(), 1u);

  std::filesystem::create_directory(state_ + "/Locals.bak.xml");
  configurator::Handle added = 0;
  EXPECT_EQ(client->AddServer(Config("/srv/b.img", 5001), added), -1) << "AddServer";
  ClientEntry other = full;
  other.address = 0x0200000a;  // 10.0.0.2
  EXPECT_EQ(client->AddStaticClient(server, other), -1) << "AddStaticClient";
  std::string reason;
  ASSERT_EQ(client->GetLastErrorText(1024, reason), 0);
  EXPECT_EQ(reason, "The service could not save the change") << "said to the caller";
  ClientEntry changed = full;
  changed.access = ACCESS_REFUSED;
  EXPECT_EQ(client->ModifyStaticClient(fixed, changed), -1) << "ModifyStaticClient";
  EXPECT_EQ(client->DeleteStaticClient(server, fixed), -1) << "DeleteStaticClient";
  EXPECT_EQ(client->DeleteServer(server), -1) << "DeleteServer";

  // Nothing changed, in the service as in the file.
  configurator::Handle next = 0;
  ASSERT_EQ(client->EnumServers(server, next), 0);
  EXPECT_EQ(next, 0u) << "no second server";
  ASSERT_EQ(client->EnumStaticClients(server, fixed, next), 0);
  EXPECT_EQ(next, 0u) << "no second client";
  ClientEntry read{};
  ASSERT_EQ(client->GetStaticClient(fixed, read), 0) << "the client is still there";
  EXPECT_EQ(read.access, ACCESS_FULL);
  std::vector<StoredServer> stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  ASSERT_EQ(stored[0].static_clients.size(), 1u);
  EXPECT_EQ(stored[0].static_clients[0].access, ACCESS_FULL);

  // Once saves work again, so do the changes.
  std::filesystem::remove(state_ + "/Locals.bak.xml");
  EXPECT_EQ(client->ModifyStaticClient(fixed, changed), 0);
  stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  ASSERT_EQ(stored[0].static_clients.size(), 1u);
  EXPECT_EQ(stored[0].static_clients[0].access, ACCESS_REFUSED);
  EXPECT_EQ(client->DeleteServer(server), 0);
  EXPECT_TRUE(Stored().empty());
  StopHost();
}

// Port 0 would listen on a port the kernel picks anew at each start, which
// no client is told; the configurators never ask for it.
TEST_F(ServiceHostTest, AServerOnPortZeroIsRefusedAndNotAdded) {
  StartHost();
  auto client = Client();
  configurator::Handle added = 7;
  EXPECT_EQ(client->AddServer(Config("/srv/a.img", 0), added), -1);
  configurator::Handle first = 0;
  ASSERT_EQ(client->EnumServers(0, first), 0);
  EXPECT_EQ(first, 0u) << "no server added";
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(engines_.builds, 0);

  ASSERT_EQ(client->AddServer(Config("/srv/a.img", 5000), added), 0) << "any other port is taken";
  ASSERT_EQ(Stored().size(), 1u);
  StopHost();
}

TEST_F(ServiceHostTest, CallsRacingTheStopFailCleanly) {
  StartHost();
  auto setup = Client();
  std::atomic<bool> go{true};
  std::atomic<int> answered{0};
  std::thread caller([&] {
    ManagementClient client(dir_ + "/run", 10s);
    while (go) {
      configurator::Handle handle = 0;
      if (client.AddServer(Config("/srv/race.img", 6000), handle) == 0) {
        ++answered;
        client.StartServer(handle);
      }
    }
  });
  ASSERT_TRUE(WaitFor([&] { return answered > 5; }));
  StopHost();
  go = false;
  caller.join();
  EXPECT_EQ(engines_.running, 0);  // no engine started behind the stop's back
  EXPECT_GE(Stored().size(), 5u);
}

}  // namespace
}  // namespace quensaria::host
