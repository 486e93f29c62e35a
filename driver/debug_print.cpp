#include "driver/debug_print.h"

#include <unistd.h>

#include <cerrno>
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
  // A signal while standard error is full ends the write with nothing
  // written; the line is made again rather than lost.
  const size_t size = static_cast<size_t>(length) + 1;
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(STDERR_FILENO, line + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void SetDebugSinkForTesting(std::function<void(std::string_view)> sink) {
  std::scoped_lock lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace quensaria::driver
