// Retries a system call that an interrupting signal ended early; the calls
// of the platform layer never hand EINTR up.
#ifndef QUENSARIA_PLATFORM_RETRY_H_
#define QUENSARIA_PLATFORM_RETRY_H_

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

#include "platform/source_file.h"

namespace quensaria::platform {

// `call` returns what read/write/send/recv return: a count, or -1 with errno.
template <typename Call>
Transfer RetryOnEintr(Call call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return Transfer{static_cast<size_t>(n), 0};
    if (errno != EINTR) return Transfer{0, errno};
  }
}

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_RETRY_H_
