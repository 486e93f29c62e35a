#include "driver/side_by_side.h"

#include <exception>
#include <new>
#include <thread>

namespace quensaria::driver {

void RunSideBySide(const std::vector<std::function<void()>>& tasks) {
  std::vector<std::thread> threads;
  std::vector<bool> started;
  try {
    threads.reserve(tasks.size());
    started.assign(tasks.size(), false);
  } catch (const std::bad_alloc&) {
    for (const auto& task : tasks) task();
    return;
  }
  // The last one runs on this thread, as do those no thread could be made
  // for, once the others run.
  for (size_t i = 0; i + 1 < tasks.size(); ++i) {
    try {
      threads.emplace_back(std::cref(tasks[i]));
      started[i] = true;
    } catch (const std::exception&) {
      // Run here below.
    }
  }
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (!started[i]) tasks[i]();
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace quensaria::driver
