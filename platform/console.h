// The service's console log: printf-style lines formatted into one
// zero-filled 512-byte buffer and written to standard output when the
// formatting succeeds. Thread-safe: each line is one write(2), so lines of
// concurrent threads do not interleave.
//
// Each line has a priority, numbered as syslog(3) numbers them. When
// standard output is the journal's stream (systemd says so in
// JOURNAL_STREAM), every line goes out with its "<N>" prefix, so the
// journal keeps the priority and `journalctl -p warning` shows what an
// administrator must see; on a terminal or a file the lines are written as
// formatted.
#ifndef QUENSARIA_PLATFORM_CONSOLE_H_
#define QUENSARIA_PLATFORM_CONSOLE_H_

#include <functional>
#include <string_view>

namespace quensaria::platform {

inline constexpr int kConsoleLineSize = 512;

enum class ConsolePriority : int {
  kCritical = 2,  // data is being lost, or will be
  kError = 3,     // something failed: an export cannot serve, a save did not happen
  kWarning = 4,   // something is wrong and wants a look; serving goes on
  kNotice = 5,    // normal but worth knowing: a client cut off, a file kept aside
  kInfo = 6,      // the service's own news
  kDebug = 7,     // only for someone following one client: its connection reset
};

// Formats and writes one console line (the format carries its own "\n").
// A line that does not fit the 512-byte buffer is not written.
void ConsoleLog(ConsolePriority priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// ConsoleLog at kInfo.
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether standard output is the journal's stream: JOURNAL_STREAM names its
// device and inode.
bool ConsoleIsJournal();

// Tests capture console lines by installing a sink; an empty function
// restores standard output. Not for concurrent use with ConsoleLog.
void SetConsoleSinkForTesting(std::function<void(std::string_view)> sink);
// The same with each line's priority.
void SetConsoleLogSinkForTesting(std::function<void(ConsolePriority, std::string_view)> sink);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_CONSOLE_H_
