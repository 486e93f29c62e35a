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
// more than the slack; a deadline that has passed sets nothing.
TEST(ArmSocketTimeoutTest, FollowsTheDeadlineWithinItsSlack) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd.valid());
  Clock::duration armed{};
  const auto arm = [&](Clock::duration from_now) {
    return ArmSocketTimeout(fd.get(), SO_RCVTIMEO, Clock::now() + from_now, &armed);
  };
  ASSERT_EQ(TimeoutArmed::kArmed, arm(2s));
  const auto first = ReceiveTimeout(fd.get());
  EXPECT_GT(first, 1900ms);
  EXPECT_LE(first, 2000ms);

  // 5 ms further off: within the slack, left as it is.
  ASSERT_EQ(TimeoutArmed::kArmed, arm(2005ms));
  EXPECT_EQ(first, ReceiveTimeout(fd.get()));

  // Half a second nearer: set again.
  ASSERT_EQ(TimeoutArmed::kArmed, arm(1500ms));
  const auto second = ReceiveTimeout(fd.get());
  EXPECT_GT(second, 1400ms);
  EXPECT_LE(second, 1500ms);

  EXPECT_EQ(TimeoutArmed::kNoTimeLeft, arm(-1ms));
  EXPECT_EQ(second, ReceiveTimeout(fd.get()));
  EXPECT_EQ(TimeoutArmed::kFailed, ArmSocketTimeout(-1, SO_RCVTIMEO, Clock::now() + 1s, &armed));
}

}  // namespace
}  // namespace quensaria::platform
