// Where the running program lives, for state kept beside it.
#ifndef QUENSARIA_PLATFORM_PROGRAM_PATH_H_
#define QUENSARIA_PLATFORM_PROGRAM_PATH_H_

#include <string>

#include "shared/status.h"

namespace quensaria::platform {

// The directory of the running program file (from /proc/self/exe).
Result<std::string> ProgramDirectory();

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_PROGRAM_PATH_H_
