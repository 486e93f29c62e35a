// Facts about the machine the engine sizes itself by.
#ifndef QUENSARIA_PLATFORM_SYSTEM_INFO_H_
#define QUENSARIA_PLATFORM_SYSTEM_INFO_H_

namespace quensaria::platform {

// Processors online (at least 1).
int ProcessorCount();

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SYSTEM_INFO_H_
