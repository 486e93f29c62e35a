#include "driver/side_by_side.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quensaria::driver {
namespace {

// How long a task waits for the others to start: a bound against hangs
// only.
constexpr auto kPatience = std::chrono::seconds(10);

// Tasks that each wait for all of them to have started, as removals of
// block devices each wait for a silent server: run together, every one
// sees all started; one after the other, each sees only those before it.
TEST(RunSideBySideTest, TasksRunTogetherAndAllEndBeforeItReturns) {
  for (const int count : {1, 2, 4}) {
    SCOPED_TRACE(count);
    std::mutex mu;
    std::condition_variable changed;
    int started = 0;
    int saw_all = 0;
    int ended = 0;
    std::vector<std::function<void()>> tasks;
    for (int i = 0; i < count; ++i) {
      tasks.push_back([&] {
        std::unique_lock lock(mu);
        ++started;
        changed.notify_all();
        if (changed.wait_for(lock, kPatience, [&] { return started == count; })) ++saw_all;
        ++ended;
      });
    }
    RunSideBySide(tasks);
    std::scoped_lock lock(mu);
    EXPECT_EQ(ended, count) << "returned before every task had ended";
    EXPECT_EQ(saw_all, count) << "tasks that ran while not all had started";
  }
}

}  // namespace
}  // namespace quensaria::driver
