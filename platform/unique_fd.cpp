#include "platform/unique_fd.h"

#include <unistd.h>

namespace quensaria::platform {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace quensaria::platform
