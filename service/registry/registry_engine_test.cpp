// The registry and the real connection engine together, in one process:
// exports started through ServerRegistry with the engine factory the
// service uses, clients on loopback bound to 127.0.x.y to play machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "platform/host_name.h"
#include "platform/listener_for_testing.h"
#include "platform/socket.h"
#include "service/engine/connection_engine.h"
#include "service/registry/host_name_resolver.h"
#include "service/registry/server_registry.h"
#include "shared/password_digest.h"
#include "tests/block_client_for_testing.h"
#include "tests/pattern_image_for_testing.h"

namespace quensaria::testing {
namespace {

using platform::Ipv4;
using registry::Handle;
using registry::ServerRegistry;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kAnyAddress = 0;
// Bounds on things that must end: they catch hangs, they measure nothing.
// Generous: the suite runs beside emulated test guests that take the CPUs.
constexpr auto kLiveness = std::chrono::seconds(30);

ClientEntry Entry(uint32_t address, uint8_t access) {
  ClientEntry entry{};
  entry.address = address;
  entry.access = access;
  return entry;
}

// A name for every 127.x.y.z address without asking the system: "client-z".
std::string TableName(uint32_t address) { return "client-" + std::to_string(address >> 24); }

class ServedRegistryTest : public ::testing::Test {
 protected:
  ServedRegistryTest() {
    registry::RegistryEnvironment environment;
    environment.look_up_host_name = [this](uint32_t address) { return LookUp(address); };
    registry_ = std::make_unique<ServerRegistry>(
        [this](const ServerConfig& config) {
          std::unique_ptr<engine::Endpoint> endpoint = engine::CreateConnectionEngine(config);
          std::scoped_lock lock(mutex_);
          latest_ = dynamic_cast<engine::ConnectionEngine*>(endpoint.get());
          return endpoint;
        },
        environment);
    // As in the service: log-ons are named by the resolver, with its real pauses.
    resolver_ = std::thread([this] { registry_->RunHostNameResolver(); });
  }
  ~ServedRegistryTest() override {
    registry_->RequestStop();
    OpenLookUps();
    resolver_.join();
    registry_.reset();  // its engines stop before what they call back goes
  }

  Handle AddExport(const std::string& source, std::vector<ClientEntry> statics, uint16_t port = 0) {
    ServerConfig config{};
    std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
    config.Port = port;
    std::memcpy(config.Password, PasswordDigest("login").data(), kDigestSize);
    std::memcpy(config.ManagePassword, PasswordDigest("manage").data(), kDigestSize);
    Handle server = 0;
    EXPECT_EQ(registry_->AddServer(config, server), 0);
    for (const ClientEntry& entry : statics)
      EXPECT_EQ(registry_->AddStaticClient(server, entry), 0);
    return server;
  }
  // Starts the export and returns the port its engine listens on (0 when
  // it did not start).
  uint16_t Start(Handle server) {
    if (registry_->StartServer(server) != 0) return 0;
    std::scoped_lock lock(mutex_);
    return latest_->WaitUntilListening(kLiveness);
  }

  std::vector<ClientEntry> Online(Handle server) {
    std::vector<ClientEntry> entries;
    Handle client = 0;
    while (registry_->EnumOnlineClients(server, client, client) == 0 && client != 0) {
      ClientEntry entry{};
      if (registry_->GetOnlineClient(client, entry) == 0) entries.push_back(entry);
    }
    return entries;
  }
  std::vector<uint32_t> OnlineAddresses(Handle server) {
    std::vector<uint32_t> addresses;
    for (const ClientEntry& entry : Online(server)) addresses.push_back(entry.address);
    std::sort(addresses.begin(), addresses.end());
    return addresses;
  }
  // Waits until the latest engine has closed all but `count` connections,
  // each closing with its disconnect reported.
  bool WaitForLiveConnections(int count) {
    return testing::Eventually(
        [&] {
          std::scoped_lock lock(mutex_);
          return latest_->LiveConnectionsForTesting() == count;
        },
        kLiveness);
  }
  // The online list changes on engine threads: waits until it is `expected`.
  // Waits until the resolver has named (or failed to name) every client
  // online at `server`.
  bool WaitForNames(Handle server) {
    return testing::Eventually(
        [&] {
          const std::vector<ClientEntry> online = Online(server);
          return std::none_of(online.begin(), online.end(), [](const ClientEntry& entry) {
            return entry.nameState == kNameUnknown;
          });
        },
        kLiveness);
  }
  bool WaitForOnline(Handle server, std::vector<uint32_t> expected) {
    std::sort(expected.begin(), expected.end());
    return testing::Eventually([&] { return OnlineAddresses(server) == expected; }, kLiveness);
  }
  int32_t Started(Handle server) {
    ServerConfig config{};
    EXPECT_EQ(registry_->GetServer(server, config), 0);
    return config.Started;
  }

  static std::unique_ptr<BlockClient> Connected(uint16_t port, uint32_t local) {
    auto client = std::make_unique<BlockClient>();
    EXPECT_EQ(client->Connect(port, local), 0);
    return client;
  }
  static std::unique_ptr<BlockClient> LoggedOn(uint16_t port, uint32_t local,
                                               const char* password = "manage") {
    auto client = Connected(port, local);
    EXPECT_EQ(client->Login(password).reply.status, REPLY_OK);
    return client;
  }

  // Host names: the system's resolver, or the table; while held, every
  // look-up waits until OpenLookUps (a name server that does not answer).
  // Touches the fixture only under its lock: the look-up may come from a
  // worker that outlives its engine.
  std::optional<std::string> LookUp(uint32_t address) {
    bool real = false;
    {
      std::unique_lock lock(mutex_);
      ++look_ups_started_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !hold_look_ups_; });
      real = real_names_;
    }
    if (real) return platform::LookUpHostName(address);
    return TableName(address);
  }
  void HoldLookUps() {
    std::scoped_lock lock(mutex_);
    hold_look_ups_ = true;
  }
  void OpenLookUps() {
    std::scoped_lock lock(mutex_);
    hold_look_ups_ = false;
    changed_.notify_all();
  }
  bool WaitForLookUps(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLiveness, [&] { return look_ups_started_ >= count; });
  }

  // Runs `step` on another thread; one that has not returned after a
  // generous while is a deadlock, and a deadlocked test cannot end cleanly.
  template <typename Step>
  static auto FinishesOrDie(const char* what, Step step) {
    auto done = std::async(std::launch::async, step);
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      std::fprintf(stderr, "DEADLOCK: %s did not return within 60 s\n", what);
      std::_Exit(1);
    }
    return done.get();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  engine::ConnectionEngine* latest_ = nullptr;  // the endpoint built last
  bool real_names_ = false;
  bool hold_look_ups_ = false;
  int look_ups_started_ = 0;
  std::unique_ptr<ServerRegistry> registry_;
  std::thread resolver_;
};

TEST_F(ServedRegistryTest, SeveralExportsServeManyConcurrentClientsSideBySide) {
  constexpr int kExports = 3;
  constexpr int kClients = 8;         // per export
  constexpr uint64_t kRegion = kMiB;  // each client's own part of its export
  std::vector<std::unique_ptr<PatternImage>> images;
  std::vector<Handle> servers;
  std::vector<uint16_t> ports;
  for (int e = 0; e < kExports; ++e) {
    images.push_back(
        std::make_unique<PatternImage>(kClients * kRegion, static_cast<uint8_t>(e + 1)));
    servers.push_back(AddExport(images[e]->path(), {Entry(kAnyAddress, ACCESS_FULL)}));
    ports.push_back(Start(servers[e]));
    ASSERT_NE(ports[e], 0);
  }
  auto address = [](int e, int c) {
    return Ipv4(127, 0, static_cast<uint8_t>(10 + e), static_cast<uint8_t>(1 + c));
  };

  std::latch logged_on(kExports * kClients);
  std::latch go(1);
  std::atomic<int> failures{0};
  std::vector<Bytes> models(kExports * kClients);
  std::vector<std::thread> threads;
  for (int e = 0; e < kExports; ++e) {
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, e, c] {
        Bytes& mine = models[e * kClients + c];
        const uint64_t base = c * kRegion;
        mine = images[e]->ReadBack(base, kRegion);
        BlockClient client;
        QueryData query{};
        // "Any Address" admits at virtual write; the management password lifts it.
        const bool set_up =
            client.Connect(ports[e], address(e, c)) == 0 && client.Query(query).error == 0 &&
            query.access == ACCESS_VIRTUAL_WRITE && query.disk_size == kClients * kRegion &&
            client.Login("manage").reply.status == REPLY_OK;
        if (!set_up) ++failures;
        logged_on.count_down();
        go.wait();
        if (!set_up) return;
        std::mt19937 random(e * 100 + c);
        Bytes data;
        for (int i = 0; i < 80; ++i) {
          const uint32_t length = 512 * (1 + random() % 128);
          const uint64_t at = 512 * (random() % ((kRegion - length) / 512));
          if (random() % 3 == 0) {
            for (uint32_t k = 0; k < length; ++k) mine[at + k] = static_cast<uint8_t>(random());
            if (client.Write(base + at, mine.data() + at, length).reply.status != REPLY_OK) {
              ++failures;
            }
          } else {
            const Exchange x = client.Read(base + at, length, data);
            // Sector 0 carries the connection's stamp, not the image's bytes.
            if (base + at < 512) std::copy_n(mine.begin() + 440, 4, data.begin() + 440 - at);
            if (x.error != 0 || x.reply.status != REPLY_OK ||
                !std::equal(data.begin(), data.end(), mine.begin() + at)) {
              ++failures;
            }
          }
        }
      });
    }
  }
  logged_on.wait();
  // Every export lists exactly its own logged-on clients, each once.
  for (int e = 0; e < kExports; ++e) {
    std::vector<uint32_t> expected;
    for (int c = 0; c < kClients; ++c) expected.push_back(address(e, c));
    EXPECT_TRUE(WaitForOnline(servers[e], expected)) << "export " << e;
    EXPECT_TRUE(WaitForNames(servers[e])) << "export " << e;
    for (const ClientEntry& entry : Online(servers[e])) {
      EXPECT_EQ(entry.state, kClientLoggedOn);
      EXPECT_EQ(entry.access, ACCESS_FULL);  // lifted by the management password
      EXPECT_EQ(entry.nameState, kNameKnown);
      EXPECT_EQ(std::string(entry.hostName), TableName(entry.address));
    }
  }
  go.count_down();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int e = 0; e < kExports; ++e) {
    EXPECT_TRUE(WaitForOnline(servers[e], {})) << "export " << e << " after every client left";
    for (int c = 0; c < kClients; ++c) {
      EXPECT_EQ(images[e]->ReadBack(c * kRegion, kRegion), models[e * kClients + c])
          << "export " << e << " client " << c;
    }
  }
}

// Which clients get in, at which level, and which refusals are listed.
TEST_F(ServedRegistryTest, AdmissionFollowsEachExportsStaticList) {
  PatternImage image(kMiB);
  const uint32_t full = Ipv4(127, 0, 0, 2), virtual_write = Ipv4(127, 0, 0, 3),
                 refused = Ipv4(127, 0, 0, 4), unknown = Ipv4(127, 0, 0, 5);
  const Handle a =
      AddExport(image.path(), {Entry(full, ACCESS_FULL), Entry(virtual_write, ACCESS_VIRTUAL_WRITE),
                               Entry(refused, ACCESS_REFUSED), Entry(kAnyAddress, ACCESS_FULL)});
  const Handle b = AddExport(image.path(), {Entry(full, ACCESS_VIRTUAL_WRITE)});
  const Handle c = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_REFUSED)});
  const uint16_t port_a = Start(a), port_b = Start(b), port_c = Start(c);
  ASSERT_TRUE(port_a != 0 && port_b != 0 && port_c != 0);

  struct Row {
    const char* what;
    uint16_t port;
    uint32_t client;
    int access;  // -1: refused
  };
  const Row rows[] = {
      {"exact entry at full access", port_a, full, ACCESS_FULL},
      {"exact entry at virtual write", port_a, virtual_write, ACCESS_VIRTUAL_WRITE},
      {"exact entry refusing, before Any Address", port_a, refused, -1},
      {"Any Address at full admits at virtual write", port_a, unknown, ACCESS_VIRTUAL_WRITE},
      {"another export's list decides there", port_b, full, ACCESS_VIRTUAL_WRITE},
      {"no entry at all", port_b, unknown, -1},
      {"no entry at all, again", port_b, unknown, -1},
      {"no entry at all, a third time", port_b, unknown, -1},
      {"Any Address refusing", port_c, unknown, -1},
      {"Any Address refusing an address listed elsewhere", port_c, full, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    BlockClient client;
    ASSERT_EQ(client.Connect(row.port, row.client), 0);
    if (row.access < 0) {
      EXPECT_EQ(client.ExpectClosedWithoutBytes(30000), 0);
    } else {
      QueryData query{};
      ASSERT_EQ(client.Query(query).error, 0);
      EXPECT_EQ(query.access, row.access);
    }
  }
  // Only the address without any entry is listed, once, as refused.
  const std::vector<ClientEntry> listed = Online(b);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].address, unknown);
  EXPECT_EQ(listed[0].access, ACCESS_REFUSED);
  EXPECT_EQ(listed[0].state, kClientRefused);
  EXPECT_EQ(listed[0].nameState, kNameUnknown);
  EXPECT_STREQ(listed[0].hostName, "");
  EXPECT_TRUE(Online(a).empty()) << "a refusal by an entry is listed nowhere";
  EXPECT_TRUE(Online(c).empty()) << "a refusal by Any Address is listed nowhere";
}

TEST_F(ServedRegistryTest, OnlineListFollowsLogOnsAndLastDisconnects) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_VIRTUAL_WRITE)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  const uint32_t twice = Ipv4(127, 0, 0, 7), once = Ipv4(127, 0, 0, 8);
  auto first = LoggedOn(port, twice, "login");
  auto second = LoggedOn(port, twice, "login");
  auto other = LoggedOn(port, once, "login");
  ASSERT_TRUE(WaitForOnline(server, {twice, once}));

  first->Close();
  Bytes data;
  ASSERT_EQ(second->Read(4096, 4096, data).reply.status, REPLY_OK);
  ASSERT_TRUE(WaitForLiveConnections(2));  // the engine is done with the first
  EXPECT_EQ(OnlineAddresses(server), (std::vector<uint32_t>{twice, once}))
      << "the address stays while one of its connections is open";
  second->Close();
  EXPECT_TRUE(WaitForOnline(server, {once}));
  other->Close();
  EXPECT_TRUE(WaitForOnline(server, {}));
}

TEST_F(ServedRegistryTest, RefusedEntryStaysUntilAConnectionFromThatAddressEnds) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  const uint32_t address = Ipv4(127, 0, 0, 9);
  ASSERT_EQ(Connected(port, address)->ExpectClosedWithoutBytes(30000), 0);
  ASSERT_EQ(Online(server).size(), 1u);

  // Admitted now; its log-on adds no second entry, its disconnect removes it.
  ASSERT_EQ(registry_->AddStaticClient(server, Entry(address, ACCESS_VIRTUAL_WRITE)), 0);
  auto client = LoggedOn(port, address, "login");
  QueryData query{};
  ASSERT_EQ(client->Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);
  const std::vector<ClientEntry> listed = Online(server);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].state, kClientRefused);
  client->Close();
  EXPECT_TRUE(WaitForOnline(server, {}));
}

// Static entries added over addresses refused before, one by one as a range
// is added, decide each address's next log-on, and so do later changes of
// their access, as ludrane-cli sends them (the entry as read, its access
// changed); each address stays listed once in either list.
TEST_F(ServedRegistryTest, StaticEntriesAddedOverRefusedAddressesDecideTheNextLogOn) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  std::vector<uint32_t> range;
  for (uint8_t host = 21; host <= 24; ++host) range.push_back(Ipv4(127, 0, 0, host));
  for (const uint32_t address : range) {
    ASSERT_EQ(Connected(port, address)->ExpectClosedWithoutBytes(30000), 0);
  }
  ASSERT_EQ(Online(server).size(), range.size());

  for (const uint32_t address : range) {
    const uint8_t access = address == range[0] ? ACCESS_FULL : ACCESS_VIRTUAL_WRITE;
    ASSERT_EQ(registry_->AddStaticClient(server, Entry(address, access)), 0);
  }
  EXPECT_EQ(registry_->AddStaticClient(server, Entry(range[1], ACCESS_FULL)), -1);
  const auto access_of = [&](uint32_t address) {
    auto client = LoggedOn(port, address, "login");
    QueryData query{};
    EXPECT_EQ(client->Query(query).error, 0);
    client->Close();
    EXPECT_TRUE(WaitForLiveConnections(0));
    return query.access;
  };
  for (const uint32_t address : range) {
    SCOPED_TRACE("127.0.0." + std::to_string(address >> 24));
    EXPECT_EQ(access_of(address), address == range[0] ? ACCESS_FULL : ACCESS_VIRTUAL_WRITE);
  }

  std::vector<Handle> statics;
  for (Handle client = 0;
       registry_->EnumStaticClients(server, client, client) == 0 && client != 0;) {
    statics.push_back(client);
  }
  ASSERT_EQ(statics.size(), range.size()) << "one static entry for each address";
  const auto set_access = [&](Handle client, uint8_t access) {
    ClientEntry entry{};
    ASSERT_EQ(registry_->GetStaticClient(client, entry), 0);
    entry.access = access;
    ASSERT_EQ(registry_->ModifyStaticClient(client, entry), 0);
  };
  set_access(statics[1], ACCESS_REFUSED);
  EXPECT_EQ(Connected(port, range[1])->ExpectClosedWithoutBytes(30000), 0);
  set_access(statics[1], ACCESS_FULL);
  EXPECT_EQ(access_of(range[1]), ACCESS_FULL);
  EXPECT_LE(Online(server).size(), range.size()) << "never a second entry for an address";
}

TEST_F(ServedRegistryTest, HostNamesComeFromTheSystemResolver) {
  {
    std::scoped_lock lock(mutex_);
    real_names_ = true;
  }
  PatternImage image(kMiB);
  const uint32_t loopback = Ipv4(127, 0, 0, 1);
  const Handle server = AddExport(image.path(), {Entry(loopback, ACCESS_FULL)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  auto client = LoggedOn(port, loopback, "login");
  ASSERT_TRUE(WaitForOnline(server, {loopback}));
  ASSERT_TRUE(WaitForNames(server));
  const std::vector<ClientEntry> online = Online(server);
  ASSERT_EQ(online.size(), 1u);
  EXPECT_EQ(online[0].nameState, kNameKnown);
  EXPECT_STREQ(online[0].hostName, "localhost");  // /etc/hosts

  // The static entry too, by the same resolver thread.
  Handle entry_handle = 0;
  ASSERT_EQ(registry_->EnumStaticClients(server, 0, entry_handle), 0);
  ClientEntry entry{};
  // The resolver walks static entries once a pass: a pass that began before
  // this export existed ends with its two pauses before the next one looks.
  testing::Eventually(
      [&] {
        return registry_->GetStaticClient(entry_handle, entry) != 0 ||
               entry.nameState != kNameUnknown;
      },
      registry::kAfterServerPause + registry::kAfterPassPause + kLiveness);
  EXPECT_EQ(entry.nameState, kNameKnown);
  EXPECT_STREQ(entry.hostName, "localhost");
  const auto stop_asked = Clock::now();
  registry_->RequestStop();
  resolver_.join();
  EXPECT_LT(Clock::now() - stop_asked, kLiveness) << "the resolver's pause ends on stop";
  resolver_ = std::thread([] {});  // for the fixture to join
}

TEST_F(ServedRegistryTest, StopServerResetsOpenConnectionsAndTheirEntriesGo) {
  PatternImage image(4 * kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  std::vector<std::unique_ptr<BlockClient>> clients;
  std::vector<uint32_t> addresses;
  for (int i = 0; i < 6; ++i) {
    addresses.push_back(Ipv4(127, 0, 0, static_cast<uint8_t>(21 + i)));
    clients.push_back(LoggedOn(port, addresses.back()));
  }
  clients.push_back(Connected(port, Ipv4(127, 0, 0, 30)));  // admitted, never logged on
  // One mid-request: a write whose payload has not all come.
  uint8_t header[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, 0, 65536}, header);
  ASSERT_EQ(clients[0]->SendBytes(header, sizeof header), 0);
  ASSERT_EQ(clients[0]->SendBytes(Bytes(1000).data(), 1000), 0);
  ClientEntry outsider = Entry(Ipv4(10, 9, 8, 7), ACCESS_REFUSED);
  outsider.state = kClientRefused;
  ASSERT_EQ(registry_->AddOnlineClient(server, outsider), 0);
  ASSERT_TRUE(WaitForOnline(server, [&] {
    std::vector<uint32_t> all = addresses;
    all.push_back(outsider.address);
    return all;
  }()));

  const auto before = Clock::now();
  EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_->StopServer(server); }), 0);
  EXPECT_LT(Clock::now() - before, kLiveness);
  for (size_t i = 0; i < clients.size(); ++i) {
    uint8_t byte;
    EXPECT_EQ(clients[i]->ReceiveBytes(&byte, 1), ECONNRESET) << "client " << i;
  }
  EXPECT_EQ(OnlineAddresses(server), std::vector<uint32_t>{outsider.address})
      << "the entries of the reset connections go, nothing else";
  EXPECT_EQ(Started(server), 0);
  BlockClient late;
  EXPECT_NE(late.Connect(port, Ipv4(127, 0, 0, 31)), 0) << "nobody listens any more";

  // And it can be started again.
  const uint16_t again = Start(server);
  ASSERT_NE(again, 0);
  Bytes data;
  EXPECT_EQ(LoggedOn(again, addresses[0])->Read(0, 4096, data).reply.status, REPLY_OK);
}

// A name server that does not answer holds up neither a log-on's reply nor
// the clients behind it, nor a stop: the name is the resolver's to find.
TEST_F(ServedRegistryTest, LogOnIsAnsweredWhileItsNameLookUpHangs) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  HoldLookUps();
  std::vector<std::unique_ptr<BlockClient>> clients;
  for (uint8_t i = 0; i < 20; ++i) {
    auto client = Connected(port, Ipv4(127, 0, 0, static_cast<uint8_t>(40 + i)));
    auto login = std::async(std::launch::async, [&] { return client->Login("login"); });
    ASSERT_EQ(login.wait_for(kLiveness), std::future_status::ready)
        << "log-on " << int{i} << " waited for a name";
    EXPECT_EQ(login.get().reply.status, REPLY_OK);
    clients.push_back(std::move(client));
  }
  ASSERT_TRUE(WaitForLookUps(1));  // the resolver is stuck in one
  std::vector<uint32_t> expected;
  for (uint8_t i = 0; i < 20; ++i)
    expected.push_back(Ipv4(127, 0, 0, static_cast<uint8_t>(40 + i)));
  ASSERT_TRUE(WaitForOnline(server, expected));
  for (const ClientEntry& entry : Online(server))
    EXPECT_EQ(entry.nameState, kNameUnknown) << "shown resolving";
  Bytes data;
  EXPECT_EQ(clients.back()->Read(0, 4096, data).reply.status, REPLY_OK);

  EXPECT_EQ(FinishesOrDie("StopServer", [&] { return registry_->StopServer(server); }), 0);
  EXPECT_TRUE(Online(server).empty());
  OpenLookUps();  // the look-up returns for an entry that is gone: nothing is written back
  EXPECT_EQ(clients.front()->ExpectClosedWithoutBytes(30000), 0);
  EXPECT_TRUE(Online(server).empty());
}

// Clients that leave the moment their log-on is answered: the registry
// hears of each log-on before that connection's end, so none stays listed.
TEST_F(ServedRegistryTest, ClientsLeavingRightAfterTheirLogOnLeaveNoEntry) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  for (int i = 0; i < 200; ++i) {
    BlockClient client;
    ASSERT_EQ(client.Connect(port, Ipv4(127, 0, 5, static_cast<uint8_t>(1 + i % 50))), 0);
    ASSERT_EQ(client.Login("login").reply.status, REPLY_OK);
    if (i % 2 == 0) {
      EXPECT_TRUE(platform::SetAbortiveClose(client.fd()).ok());
    }
  }
  EXPECT_TRUE(WaitForOnline(server, {}));
  // Every connection closed: no late log-on report can bring one back.
  ASSERT_TRUE(WaitForLiveConnections(0));
  EXPECT_TRUE(Online(server).empty());
}

TEST_F(ServedRegistryTest, ExportWhosePortIsTakenDoesNotStartAndOthersServeOn) {
  PatternImage image(kMiB);
  const Handle serving = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(serving);
  ASSERT_NE(port, 0);
  auto client = LoggedOn(port, Ipv4(127, 0, 0, 50));

  Result<platform::UniqueFd> listening = testing::ListenOnFreePort();
  ASSERT_TRUE(listening.ok()) << listening.status().ToString();
  platform::UniqueFd holder = std::move(listening).value();
  const uint16_t taken = platform::LocalPort(holder.get());
  const Handle blocked = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)}, taken);
  EXPECT_EQ(registry_->StartServer(blocked), -1);
  EXPECT_EQ(Started(blocked), 0);
  EXPECT_EQ(registry_->StopServer(blocked), 0) << "no engine to stop, still a valid server";

  Bytes data;
  EXPECT_EQ(client->Read(0, 4096, data).reply.status, REPLY_OK);
  holder.Reset();
  EXPECT_EQ(Start(blocked), taken) << "the same export starts once its port is free";
}

TEST_F(ServedRegistryTest, SecondStartIsRefusedAndTheEngineServesOn) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(server);
  ASSERT_NE(port, 0);
  auto before = LoggedOn(port, Ipv4(127, 0, 0, 60));
  EXPECT_EQ(registry_->StartServer(server), -1);
  EXPECT_EQ(Started(server), 1);
  Bytes data;
  EXPECT_EQ(before->Read(0, 4096, data).reply.status, REPLY_OK);
  auto after = LoggedOn(port, Ipv4(127, 0, 0, 61));
  EXPECT_EQ(after->Read(8192, 4096, data).reply.status, REPLY_OK);
  // The registry still has the engine: stopping reaches it.
  ASSERT_EQ(registry_->StopServer(server), 0);
  uint8_t byte;
  EXPECT_EQ(before->ReceiveBytes(&byte, 1), ECONNRESET);
  EXPECT_EQ(after->ReceiveBytes(&byte, 1), ECONNRESET);
}

// Hooks take the registry lock under the engine lock while management calls
// hold the registry lock across whole engine starts and stops: clients come
// and go on one export while another starts and stops and the first one's
// static list changes, and finally the first stops under that churn.
// The figures as the management interface reads them: the online list's
// clients beside the engine's counts while it serves; zeros once stopped;
// from zero again after the next start.
TEST_F(ServedRegistryTest, FiguresFollowTheEngineFromStartToStop) {
  PatternImage image(4 * kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  ServerStats stats{};
  ASSERT_EQ(registry_->GetServerStats(server, stats), 0);
  EXPECT_EQ(stats.RecordSize, sizeof(ServerStats));
  EXPECT_EQ(stats.Running, 0);
  EXPECT_EQ(registry_->GetServerStats(server + 1000, stats), -1);

  for (int start = 0; start < 2; ++start) {
    const uint16_t port = Start(server);
    ASSERT_NE(port, 0);
    const uint32_t a = Ipv4(127, 0, 4, 1), b = Ipv4(127, 0, 4, 2);
    auto first = LoggedOn(port, a);
    auto second = LoggedOn(port, b);
    Bytes data;
    for (int i = 0; i < 3 + start; ++i) {
      ASSERT_EQ(first->Read(65536 * i, 65536, data).reply.status, REPLY_OK);
    }
    ASSERT_EQ(second->Write(0, Bytes(4096, 9).data(), 4096).reply.status, REPLY_OK);
    ASSERT_TRUE(WaitForOnline(server, {a, b}));
    const auto deadline = Clock::now() + kLiveness;
    do {
      ASSERT_EQ(registry_->GetServerStats(server, stats), 0);
    } while ((stats.Reads != 3u + start || stats.Writes != 1) && Clock::now() < deadline);
    EXPECT_EQ(stats.Running, 1);
    EXPECT_EQ(stats.OnlineClients, 2u);
    EXPECT_EQ(stats.Connections, 2u);
    EXPECT_EQ(stats.Reads, 3u + start) << "counted from this start on";
    EXPECT_EQ(stats.BytesRead, (3u + start) * 65536u);
    EXPECT_EQ(stats.Writes, 1u);
    EXPECT_EQ(stats.OtherRequests, 2u);
    EXPECT_GT(stats.StartedAt, 0);

    ASSERT_EQ(registry_->StopServer(server), 0);
    ASSERT_EQ(registry_->GetServerStats(server, stats), 0);
    ServerStats stopped{};
    stopped.RecordSize = sizeof stopped;
    EXPECT_EQ(std::memcmp(&stats, &stopped, sizeof stats), 0) << "a stopped server has no figures";
  }
}

// Figures asked for while the export starts, serves and stops: no call
// waits for another for good.
TEST_F(ServedRegistryTest, FiguresReadDuringStartsAndStopsNeverDeadlock) {
  PatternImage image(kMiB);
  const Handle server = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      ServerStats stats{};
      if (registry_->GetServerStats(server, stats) == 0) ++reads;
    }
  });
  FinishesOrDie("starts and stops with figures read", [&] {
    for (int round = 0; round < 5; ++round) {
      const uint16_t port = Start(server);
      EXPECT_NE(port, 0);
      auto client = LoggedOn(port, Ipv4(127, 0, 5, 1));
      Bytes data;
      EXPECT_EQ(client->Read(0, 4096, data).reply.status, REPLY_OK);
      EXPECT_EQ(registry_->StopServer(server), 0);
    }
    return 0;
  });
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
}

TEST_F(ServedRegistryTest, ChurnOfClientsAndManagementCallsNeitherDeadlocksNorLeavesEntries) {
  PatternImage image(4 * kMiB);
  const Handle busy = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const Handle other = AddExport(image.path(), {Entry(kAnyAddress, ACCESS_FULL)});
  const uint16_t port = Start(busy);
  ASSERT_NE(port, 0);

  std::atomic<bool> stopped{false};
  std::atomic<int> served{0};
  std::vector<std::thread> churn;
  for (int t = 0; t < 4; ++t) {
    churn.emplace_back([&, t] {
      for (int i = 0; !stopped.load(); ++i) {
        BlockClient client;
        const uint32_t local = Ipv4(127, 0, 3, static_cast<uint8_t>(1 + t * 10 + i % 5));
        if (client.Connect(port, local) != 0) continue;  // refused: after the stop
        Bytes data;
        if (client.Login("manage").reply.status == REPLY_OK &&
            client.Read(static_cast<uint64_t>(i % 64) * 65536, 65536, data).reply.status ==
                REPLY_OK) {
          ++served;
        }
        if (i % 3 == 0) {
          EXPECT_TRUE(platform::SetAbortiveClose(client.fd()).ok());
        }
      }
    });
  }
  FinishesOrDie("management calls", [&] {
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(registry_->AddStaticClient(busy, Entry(Ipv4(10, 0, 0, 1), ACCESS_FULL)), 0);
      EXPECT_NE(Start(other), 0);
      static_cast<void>(Online(busy));
      Handle entry = 0;
      EXPECT_EQ(registry_->EnumStaticClients(busy, 0, entry), 0);
      EXPECT_EQ(registry_->EnumStaticClients(busy, entry, entry), 0);
      EXPECT_EQ(registry_->DeleteStaticClient(busy, entry), 0);
      EXPECT_EQ(registry_->StopServer(other), 0);
    }
    return 0;
  });
  EXPECT_EQ(FinishesOrDie("StopServer under churn", [&] { return registry_->StopServer(busy); }),
            0);
  stopped = true;
  for (std::thread& t : churn) t.join();
  EXPECT_GT(served.load(), 0);
  EXPECT_TRUE(Online(busy).empty()) << "every connection is gone, and so is every entry";
}

}  // namespace
}  // namespace quensaria::testing
