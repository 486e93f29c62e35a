#include "platform/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

std::function<void(ConsolePriority, std::string_view)>& LogSink() {
  static std::function<void(ConsolePriority, std::string_view)> sink;
  return sink;
}

void WriteAll(const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(STDOUT_FILENO, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;  // a signal while the stream was full
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The journal reads its stream line by line: each line of the text gets the
// prefix, and the last one an end, or it would run into the next write.
// Returns the length placed in `out`, which holds kJournalLineSize bytes.
constexpr size_t kJournalLineSize = 4 * kConsoleLineSize + 4;
size_t ForJournal(ConsolePriority priority, std::string_view text, char* out) {
  const char prefix[3] = {'<', static_cast<char>('0' + static_cast<int>(priority)), '>'};
  size_t used = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    std::memcpy(out + used, prefix, sizeof prefix);
    used += sizeof prefix;
    std::memcpy(out + used, line.data(), line.size());
    used += line.size();
    out[used++] = '\n';
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return used;
}

__attribute__((format(printf, 2, 0))) void Emit(ConsolePriority priority, const char* format,
                                                va_list args) {
  char line[kConsoleLineSize];
  std::memset(line, 0, sizeof line);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  if (length < 0 || length >= kConsoleLineSize) return;
  const std::string_view text(line, static_cast<size_t>(length));

  std::scoped_lock lock(SinkMutex());
  if (LogSink() || Sink()) {
    if (LogSink()) LogSink()(priority, text);
    if (Sink()) Sink()(text);
    return;
  }
  if (ConsoleIsJournal()) {
    char out[kJournalLineSize];
    WriteAll(out, ForJournal(priority, text, out));
  } else {
    WriteAll(text.data(), text.size());
  }
}

}  // namespace

bool ConsoleIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  uintmax_t device = 0;
  uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat st;
  if (::fstat(STDOUT_FILENO, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

void ConsoleLog(ConsolePriority priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(priority, format, args);
  va_end(args);
}

void ConsolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(ConsolePriority::kInfo, format, args);
  va_end(args);
}

void SetConsoleSinkForTesting(std::function<void(std::string_view)> sink) {
  std::scoped_lock lock(SinkMutex());
  Sink() = std::move(sink);
}

void SetConsoleLogSinkForTesting(std::function<void(ConsolePriority, std::string_view)> sink) {
  std::scoped_lock lock(SinkMutex());
  LogSink() = std::move(sink);
}

}  // namespace quensaria::platform
