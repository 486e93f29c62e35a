#include "platform/system_info.h"

#include <unistd.h>

namespace quensaria::platform {

int ProcessorCount() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace quensaria::platform
