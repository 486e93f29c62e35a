#include "tests/image_files_for_testing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace quensaria::testing {

void CopySparseTail(const std::string& image, uint64_t offset, const std::string& out) {
  int in = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || to < 0) throw std::runtime_error("cannot open " + image + " or " + out);
  off_t end = lseek(in, 0, SEEK_END);
  if (ftruncate(to, end - static_cast<off_t>(offset)) != 0) throw std::runtime_error("ftruncate");
  std::vector<char> buffer(1 << 20);
  off_t at = static_cast<off_t>(offset);
  while (at < end) {
    off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0) break;  // ENXIO: only a hole is left
    off_t hole = lseek(in, data, SEEK_HOLE);
    for (off_t p = data; p < hole;) {
      ssize_t n =
          pread(in, buffer.data(), std::min<off_t>(hole - p, static_cast<off_t>(buffer.size())), p);
      if (n <= 0) throw std::runtime_error("pread");
      if (pwrite(to, buffer.data(), static_cast<size_t>(n), p - static_cast<off_t>(offset)) != n) {
        throw std::runtime_error("pwrite");
      }
      p += n;
    }
    at = hole;
  }
  close(in);
  close(to);
}

}  // namespace quensaria::testing
