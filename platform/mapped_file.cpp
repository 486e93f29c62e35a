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
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return SystemError(errno);
  return UniqueFd(fd);
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
  if (fsync(fd) != 0) return SystemError(errno);
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
  if (fallocate(fd_, 0, static_cast<off_t>(first), static_cast<off_t>(end - first)) != 0) {
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
