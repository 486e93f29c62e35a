#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/errors.h"
#include "shared/win32_error.h"

namespace quensaria::platform {

Result<UniqueFd> LockInstance(const std::string& path) {
  // Never through a link: in a folder others may write to, one would have
  // this process (root) create the file it names.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return ErrnoStatus("open " + path, errno);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return Status(ERROR_SERVICE_ALREADY_RUNNING, "another process holds " + path);
    }
    return ErrnoStatus("lock " + path, errno);
  }
  return fd;
}

}  // namespace quensaria::platform
