#include "platform/socket_timeout.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/unique_fd.h"

namespace quensaria::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::chrono::microseconds ReceiveTimeout(int fd) {
  timeval tv{};
  socklen_t length = sizeof tv;
  EXPECT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &length));
  return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// The time-out follows the deadline, set again only when it has moved by
// more than the slack; a deadline that has passed sets nothing. A call sets
// the time left when it reads the clock, so each step is judged by the clock
// read just before it and by how long it took.
TEST(ArmSocketTimeoutTest, FollowsTheDeadlineWithinItsSlack) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd.valid());
  Clock::duration armed{};
  Clock::duration took{};
  const auto arm = [&](Clock::duration from_now) {
    const Clock::time_point before = Clock::now();
    const TimeoutArmed result = ArmSocketTimeout(fd.get(), SO_RCVTIMEO, before + from_now, &armed);
    took = Clock::now() - before;
    return result;
  };
  ASSERT_EQ(TimeoutArmed::kArmed, arm(2s));
  const auto first = ReceiveTimeout(fd.get());
  EXPECT_GE(first, 2s - took - 1us);
  EXPECT_LE(first, 2000ms);

  // 5 ms further off: within the slack, left as it is. A step that took
  // more than 5 ms (its thread put aside) may rightly set it again, and is
  // played again.
  for (int tries = 1;; ++tries) {
    ASSERT_LE(tries, 100) << "no step took less than 5 ms";
    const auto kept = ReceiveTimeout(fd.get());
    ASSERT_EQ(TimeoutArmed::kArmed, arm(armed + 5ms));
    if (took > 5ms) continue;
    EXPECT_EQ(kept, ReceiveTimeout(fd.get()));
    break;
  }

  // Half a second nearer: set again.
  ASSERT_EQ(TimeoutArmed::kArmed, arm(1500ms));
  const auto second = ReceiveTimeout(fd.get());
  EXPECT_GE(second, 1500ms - took - 1us);
  EXPECT_LE(second, 1500ms);

  EXPECT_EQ(TimeoutArmed::kNoTimeLeft, arm(-1ms));
  EXPECT_EQ(second, ReceiveTimeout(fd.get()));
  EXPECT_EQ(TimeoutArmed::kFailed, ArmSocketTimeout(-1, SO_RCVTIMEO, Clock::now() + 1s, &armed));
}

}  // namespace
}  // namespace quensaria::platform
