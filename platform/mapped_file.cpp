#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/errors.h"

namespace quensaria::platform {
namespace {

Status SystemError(int error_number) {
  return Status(Win32ErrorFromErrno(error_number), std::strerror(error_number));
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

Result<UniqueFd> CreateReplacingFile(const std::string& path) {
  // A file or symbolic link found there is removed, not truncated or
  // followed: the new file is the caller's alone, with his umask, and no
  // other file (a link's target, a second name) is written. Anything else
  // there (a directory, a device) is opened as it is, and refused later.
  // Only a file whose folder does not let it be removed is written in place.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EEXIST) return SystemError(errno);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;  // removed meanwhile
      return SystemError(errno);
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      fd = open(path.c_str(), O_RDWR | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return SystemError(errno);
      return UniqueFd(fd);
    }
    if (unlink(path.c_str()) == 0 || errno == ENOENT) continue;
    // A folder that does not let the caller replace the file may still let
    // him write it (it was given him): written in place, as before.
    if (S_ISREG(st.st_mode) && (errno == EACCES || errno == EPERM)) {
      fd = open(path.c_str(), O_RDWR | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return SystemError(errno);
      return UniqueFd(fd);
    }
    return SystemError(errno);
  }
  return SystemError(EEXIST);  // made again each time by someone else
}

Status SetFileLength(int fd, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return SystemError(EFBIG);
  while (ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return SystemError(errno);
  }
  return Status::Ok();
}

Status WriteAt(int fd, uint64_t offset, std::span<const uint8_t> data) {
  while (!data.empty()) {
    ssize_t n = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return SystemError(errno);
    }
    if (n == 0) return SystemError(ENOSPC);
    data = data.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return Status::Ok();
}

Status SyncFile(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return SystemError(errno);
  }
  return Status::Ok();
}

Result<uint64_t> AllocatedBytes(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return SystemError(errno);
  return static_cast<uint64_t>(st.st_blocks) * 512;  // st_blocks counts 512-byte units
}

Result<MappedView> MappedView::Map(int fd, size_t length) {
  assert(length > 0);
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return SystemError(errno);
  return MappedView(fd, static_cast<uint8_t*>(p), length);
}

MappedView::MappedView(MappedView&& other) noexcept
    : fd_(other.fd_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    Unmap();
    fd_ = other.fd_;
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedView::~MappedView() { Unmap(); }

void MappedView::Unmap() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Status MappedView::Write(size_t offset, std::span<const uint8_t> data) {
  assert(offset <= size_ && data.size() <= size_ - offset);
  if (data.empty()) return Status::Ok();
  // A store into a hole of a shared mapping allocates on the page fault, and
  // a full file system answers that with SIGBUS. Reserve the pages' storage
  // first so the failure comes back as a value.
  size_t page = PageSize();
  size_t first = offset / page * page;
  size_t end = std::min(size_, (offset + data.size() + page - 1) / page * page);
  int reserved;
  // A FUSE or network file system may answer EINTR, as it does to syncs.
  while ((reserved =
              fallocate(fd_, 0, static_cast<off_t>(first), static_cast<off_t>(end - first))) != 0 &&
         errno == EINTR) {
  }
  if (reserved != 0) {
    if (errno != EOPNOTSUPP) return SystemError(errno);
    // No fallocate here: writing the pages' current bytes back allocates them.
    Status s = WriteAt(fd_, first, std::span<const uint8_t>(data_ + first, end - first));
    if (!s.ok()) return s;
  }
  std::memcpy(data_ + offset, data.data(), data.size());
  return Status::Ok();
}

Status MappedView::Flush() {
  if (data_ != nullptr && msync(data_, size_, MS_SYNC) != 0) return SystemError(errno);
  return Status::Ok();
}

}  // namespace quensaria::platform
