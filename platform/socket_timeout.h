// ArmSocketTimeout: the receive or send time-out of a blocking socket kept
// near a deadline, for waits that block in the one recv(2) or send(2).
#ifndef QUENSARIA_PLATFORM_SOCKET_TIMEOUT_H_
#define QUENSARIA_PLATFORM_SOCKET_TIMEOUT_H_

#include <chrono>

namespace quensaria::platform {

enum class TimeoutArmed { kArmed, kNoTimeLeft, kFailed };

// Points the socket's `option` (SO_RCVTIMEO or SO_SNDTIMEO) at the time
// left before `deadline`. `*armed` is what it was set to last (zero: never);
// within 10 ms of the time left it stays as it is, so that a steady stream
// of waits costs no extra system calls. A wait under it may therefore end
// up to that much off the deadline.
TimeoutArmed ArmSocketTimeout(int socket, int option,
                              std::chrono::steady_clock::time_point deadline,
                              std::chrono::steady_clock::duration* armed);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SOCKET_TIMEOUT_H_
