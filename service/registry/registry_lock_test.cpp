#include "service/registry/registry_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace quensaria::registry {
namespace {

using std::chrono::seconds;

TEST(RegistryLockTest, ExcludesEveryOtherHolder) {
  RegistryLock lock;
  long counter = 0;  // plain on purpose: ThreadSanitizer sees any overlap
  std::atomic<bool> give_up{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (t % 2 == 0) {
          std::scoped_lock held(lock);
          ++counter;
        } else if (lock.LockUnless([&] { return give_up.load(); })) {
          ++counter;
          lock.unlock();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, 8000);
}

TEST(RegistryLockTest, WaiterGivesUpWhenToldWhileTheLockIsHeld) {
  RegistryLock lock;
  std::atomic<bool> give_up{false};
  lock.lock();
  auto waiter = std::async(std::launch::async,
                           [&] { return lock.LockUnless([&] { return give_up.load(); }); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  give_up = true;
  lock.WakeWaiters();
  ASSERT_EQ(waiter.wait_for(seconds(10)), std::future_status::ready)
      << "the waiter did not give up";
  EXPECT_FALSE(waiter.get());
  lock.unlock();
}

}  // namespace
}  // namespace quensaria::registry
