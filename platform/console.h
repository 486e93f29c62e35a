// The service's console log: printf-style lines formatted into one
// zero-filled 512-byte buffer and written to standard output when the
// formatting succeeds. No files, no levels. Thread-safe: each line is one
// write(2), so lines of concurrent threads do not interleave.
#ifndef QUENSARIA_PLATFORM_CONSOLE_H_
#define QUENSARIA_PLATFORM_CONSOLE_H_

#include <functional>
#include <string_view>

namespace quensaria::platform {

inline constexpr int kConsoleLineSize = 512;

// Formats and writes one console line (the format carries its own "\n").
// A line that does not fit the 512-byte buffer is not written.
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture console lines by installing a sink; an empty function
// restores standard output. Not for concurrent use with ConsolePrintf.
void SetConsoleSinkForTesting(std::function<void(std::string_view)> sink);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_CONSOLE_H_
