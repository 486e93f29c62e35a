#include "platform/console.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace quensaria::platform {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

}  // namespace

void ConsolePrintf(const char* format, ...) {
  char line[kConsoleLineSize];
  std::memset(line, 0, sizeof line);
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0 || length >= kConsoleLineSize) return;

  std::scoped_lock lock(SinkMutex());
  if (Sink()) {
    Sink()(std::string_view(line, static_cast<size_t>(length)));
    return;
  }
  size_t done = 0;
  while (done < static_cast<size_t>(length)) {
    const ssize_t n = ::write(STDOUT_FILENO, line + done, static_cast<size_t>(length) - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void SetConsoleSinkForTesting(std::function<void(std::string_view)> sink) {
  std::scoped_lock lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace quensaria::platform
