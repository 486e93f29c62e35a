// ConsoleCapture: the console's lines (with their priorities) while it
// lives, from whichever thread writes them; the sink is removed when it
// goes. One at a time: the console has one sink.
#ifndef QUENSARIA_PLATFORM_CONSOLE_CAPTURE_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_CONSOLE_CAPTURE_FOR_TESTING_H_

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/console.h"

namespace quensaria::testing {

class ConsoleCapture {
 public:
  using Line = std::pair<platform::ConsolePriority, std::string>;

  ConsoleCapture() {
    platform::SetConsoleLogSinkForTesting(
        [this](platform::ConsolePriority priority, std::string_view line) {
          std::scoped_lock lock(mutex_);
          lines_.emplace_back(priority, line);
        });
  }
  ~ConsoleCapture() { Stop(); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Lines written after this are not kept.
  void Stop() { platform::SetConsoleLogSinkForTesting(nullptr); }

  std::vector<Line> lines() const {
    std::scoped_lock lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_CONSOLE_CAPTURE_FOR_TESTING_H_
