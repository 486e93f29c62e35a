// For tests that must act only once another thread is blocked in a call (a
// Shutdown that must wake an Accept, a Cancel that must end a Wait): the
// thread publishes its id (ThreadIdForTesting) just before the call, and
// the test waits until the kernel says that thread sleeps. Tests only.
#ifndef QUENSARIA_PLATFORM_BLOCKED_THREAD_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_BLOCKED_THREAD_FOR_TESTING_H_

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace quensaria::platform {

// The calling thread's kernel id.
inline int ThreadIdForTesting() { return static_cast<int>(::gettid()); }

// Waits up to `timeout` until thread `id` of this process sleeps in the
// kernel (state S); false when it never did.
inline bool WaitUntilBlockedForTesting(int id, std::chrono::milliseconds timeout) {
  const std::string path = "/proc/self/task/" + std::to_string(id) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream stat(path);
    std::string line;
    std::getline(stat, line);
    // "pid (comm) S ...": the state follows the last ')' (comm may hold any).
    const size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_BLOCKED_THREAD_FOR_TESTING_H_
