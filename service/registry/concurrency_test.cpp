// Everything that enters the registry at once: management calls, the hooks
// of several engines, the resolver and engine starts and stops. Run under
// ThreadSanitizer this shows the lock covers every shared field; the checks
// at the end show the lists stayed consistent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "service/registry/registry_fixture_for_testing.h"
#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

using std::chrono::milliseconds;

class ConcurrencyTest : public RegistryFixture {};

uint32_t Client(int n) { return Ip("10.2.0.0") + (static_cast<uint32_t>(n % 250 + 1) << 24); }

TEST_F(ConcurrencyTest, ManagementHooksResolverAndStopsTogether) {
  during_pause_ = [](milliseconds) { std::this_thread::sleep_for(milliseconds(1)); };
  const Handle served = AddServer(9001);
  const Handle cycled = AddServer(9002);
  AddStatic(served, MakeClient(0, ACCESS_VIRTUAL_WRITE));
  ASSERT_EQ(registry_.StartServer(served), 0);
  const auto engine = engines_.Latest(9001);

  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int worker = 0; worker < 3; ++worker) {  // engine workers
    threads.emplace_back([&, worker] {
      for (int i = 0; !done; ++i) {
        const uint32_t address = Client(worker * 7 + i % 7);
        uint8_t access = 0;
        if (engine->Admit(address, access)) engine->LogOn(address, access);
        if (i % 3 == 0) engine->Disconnect(address);
      }
    });
  }
  threads.emplace_back([&] {  // an administrator
    for (int i = 0; !done; ++i) {
      Handle client = 0;
      if (registry_.AddStaticClient(served, MakeClient(Client(i), ACCESS_FULL)) == 0 &&
          registry_.EnumStaticClients(served, 0, client) == 0) {
        Handle next = client;
        while (registry_.EnumStaticClients(served, next, next) == 0 && next != 0) client = next;
        ClientEntry entry{};
        if (registry_.GetStaticClient(client, entry) == 0 && entry.address != 0) {
          static_cast<void>(
              registry_.ModifyStaticClient(client, MakeClient(0, ACCESS_VIRTUAL_WRITE)));
          static_cast<void>(registry_.DeleteStaticClient(served, client));
        }
      }
      Handle online = 0;
      if (registry_.EnumOnlineClients(served, 0, online) == 0 && online != 0 && i % 5 == 0) {
        static_cast<void>(registry_.DeleteOnlineClient(served, online));
      }
    }
  });
  threads.emplace_back([&] {  // starts and stops of another export
    while (!done) {
      static_cast<void>(registry_.StartServer(cycled));
      static_cast<void>(registry_.StopServer(cycled));
    }
  });
  std::thread resolver([&] { registry_.RunHostNameResolver(); });

  std::this_thread::sleep_for(milliseconds(3000));  // how long the load runs; waits for nothing
  done = true;
  for (std::thread& thread : threads) thread.join();
  registry_.RequestStop();
  resolver.join();

  EXPECT_TRUE(engine->IsRunning());
  std::set<uint32_t> addresses;
  for (const ClientEntry& client : OnlineClients(served)) {
    EXPECT_TRUE(addresses.insert(client.address).second) << "an address listed twice";
    EXPECT_EQ(client.state, kClientLoggedOn) << "\"Any Address\" admits everyone";
  }
  EXPECT_FALSE(engines_.Built(9002).empty());
  ASSERT_EQ(registry_.StopServer(served), 0);
}

}  // namespace
}  // namespace quensaria::registry::testing
