#include "service/source/write_order.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/eventually_for_testing.h"

namespace quensaria::source {
namespace {

using namespace std::chrono_literals;

TEST(WriteOrderTest, OnlyOverlappingRangesAreTaken) {
  WriteOrder order;
  WriteOrder::Held first = order.Try(4096, 4096);
  ASSERT_TRUE(first);
  EXPECT_FALSE(order.Try(4096, 4096));
  EXPECT_FALSE(order.Try(0, 4097)) << "its first byte";
  EXPECT_FALSE(order.Try(8191, 10)) << "its last byte";
  EXPECT_TRUE(order.Try(0, 4096)) << "the bytes just before";
  EXPECT_TRUE(order.Try(8192, 4096)) << "the bytes just after";
  first.reset();
  EXPECT_TRUE(order.Try(4096, 4096));
}

TEST(WriteOrderTest, AnOverlappingWriteWaitsUntilTheEarlierOneEnds) {
  WriteOrder order;
  WriteOrder::Held first = order.Wait(0, 65536);
  ASSERT_TRUE(first);
  std::atomic<bool> taken{false};
  std::thread second([&] {
    WriteOrder::Held held = order.Wait(32768, 4096);
    taken = static_cast<bool>(held);
  });
  ASSERT_TRUE(testing::Eventually([&] { return order.WaitingForTesting() == 1; }, 30s));
  EXPECT_FALSE(taken.load());
  WriteOrder::Held moved = std::move(first);
  EXPECT_EQ(order.WaitingForTesting(), 1) << "a moved range is still held";
  moved.reset();
  second.join();
  EXPECT_TRUE(taken.load());
  EXPECT_EQ(order.WaitingForTesting(), 0);
  EXPECT_TRUE(order.Try(0, 65536)) << "both released";
}

}  // namespace
}  // namespace quensaria::source
