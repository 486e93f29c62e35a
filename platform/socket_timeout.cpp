#include "platform/socket_timeout.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>

namespace quensaria::platform {
namespace {

constexpr auto kRearmSlack = std::chrono::milliseconds(10);

}  // namespace

TimeoutArmed ArmSocketTimeout(int socket, int option,
                              std::chrono::steady_clock::time_point deadline,
                              std::chrono::steady_clock::duration* armed) {
  using std::chrono::steady_clock;
  const steady_clock::duration left = deadline - steady_clock::now();
  if (left <= steady_clock::duration::zero()) return TimeoutArmed::kNoTimeLeft;
  const steady_clock::duration off = left > *armed ? left - *armed : *armed - left;
  if (*armed == steady_clock::duration::zero() || off > kRearmSlack) {
    const auto us =
        std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
    const timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    if (::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) != 0) return TimeoutArmed::kFailed;
    *armed = left;
  }
  return TimeoutArmed::kArmed;
}

}  // namespace quensaria::platform
