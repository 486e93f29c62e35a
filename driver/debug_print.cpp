#include "driver/debug_print.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace quensaria::driver {
namespace {

constexpr int kLineSize = 512;

std::mutex& SinkMutex() {
  static std::mutex mu;
  return mu;
}
std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

}  // namespace

void DebugPrint(const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > kLineSize - 2) length = kLineSize - 2;
  {
    std::scoped_lock lock(SinkMutex());
    if (Sink()) {
      Sink()(std::string_view(line, static_cast<size_t>(length)));
      return;
    }
  }
  line[length] = '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(length) + 1);
  (void)ignored;
}

void SetDebugSinkForTesting(std::function<void(std::string_view)> sink) {
  std::scoped_lock lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace quensaria::driver
