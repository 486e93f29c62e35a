#include "platform/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace quensaria::platform {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void SignalEventFd(int fd) {
  const uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void DrainEventFd(int fd) {
  uint64_t count;
  while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace quensaria::platform
