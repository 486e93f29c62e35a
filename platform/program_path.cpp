#include "platform/program_path.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/errors.h"
#include "platform/whole_file.h"

namespace quensaria::platform {

Result<std::string> ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) return ErrnoStatus("readlink /proc/self/exe", errno);
  return DirectoryOf(std::string(path, static_cast<size_t>(n)));
}

}  // namespace quensaria::platform
