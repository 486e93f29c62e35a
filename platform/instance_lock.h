// InstanceLock: makes sure one daemon at a time works in a runtime
// directory. The lock is an exclusive flock on a file there; the kernel
// releases it when the process ends, however it ends, so a crash never
// leaves a stale lock behind.
#ifndef QUENSARIA_PLATFORM_INSTANCE_LOCK_H_
#define QUENSARIA_PLATFORM_INSTANCE_LOCK_H_

#include <string>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

// Creates `path` if needed and locks it. ERROR_SERVICE_ALREADY_RUNNING when
// another process holds it.
Result<UniqueFd> LockInstance(const std::string& path);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_INSTANCE_LOCK_H_
