// Waiting in tests: for state another thread or process makes, with a
// generous bound, never for a fixed time.
#ifndef QUENSARIA_PLATFORM_EVENTUALLY_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_EVENTUALLY_FOR_TESTING_H_

#include <chrono>
#include <thread>

namespace quensaria::testing {

// Asks `condition` every `step` until it holds (true) or `bound` has passed
// (false, after one last look).
template <typename Condition>
bool Eventually(Condition&& condition, std::chrono::milliseconds bound,
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_EVENTUALLY_FOR_TESTING_H_
