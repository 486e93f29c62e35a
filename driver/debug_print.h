// The driver's debug lines: printf-style English lines, one write(2) each to
// standard error, so lines of different device workers never interleave.
// No levels, no files. Thread-safe.
#ifndef QUENSARIA_DRIVER_DEBUG_PRINT_H_
#define QUENSARIA_DRIVER_DEBUG_PRINT_H_

#include <functional>
#include <string_view>

namespace quensaria::driver {

// Formats one line (a newline is added) of at most 512 bytes.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the lines (without their newline); an empty function
// restores standard error.
void SetDebugSinkForTesting(std::function<void(std::string_view)> sink);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_DEBUG_PRINT_H_
