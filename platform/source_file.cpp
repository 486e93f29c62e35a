#include "platform/source_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/retry.h"

namespace quensaria::platform {
namespace {

Result<UniqueFd> Open(const std::string& path, int flags, const std::string& shown) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return ErrnoStatus("open " + shown, errno);
  return UniqueFd(fd);
}

Result<UniqueFd> Open(const std::string& path, int flags) { return Open(path, flags, path); }

// `name` is opened, `shown` named in errors.
Result<UniqueFd> OpenUnbufferedAs(const std::string& name, const std::string& shown, bool& direct) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  direct = fd >= 0;
  if (fd >= 0) return UniqueFd(fd);
  // EINVAL is how a file system says it does not do O_DIRECT.
  if (errno != EINVAL) return ErrnoStatus("open " + shown, errno);
  return Open(name, O_RDONLY, shown);
}

FileIdentity IdentityFrom(const struct stat& st) {
  FileIdentity identity;
  if (S_ISBLK(st.st_mode)) {
    identity.device = st.st_rdev;
  } else {
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
  }
  identity.links = st.st_nlink;
  return identity;
}

}  // namespace

Result<FileIdentity> IdentityOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return ErrnoStatus("fstat", errno);
  return IdentityFrom(st);
}

Result<FileIdentity> IdentityAt(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileIdentity{false};
    return ErrnoStatus("stat " + path, errno);
  }
  return IdentityFrom(st);
}

Result<FileInfo> StatPath(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ErrnoStatus("stat " + path, errno);
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.type = FileType::kRegular;
  } else if (S_ISBLK(st.st_mode)) {
    info.type = FileType::kBlockDevice;
    info.device_major = major(st.st_rdev);
    info.device_minor = minor(st.st_rdev);
  }
  return info;
}

Result<UniqueFd> OpenReadWrite(const std::string& path) { return Open(path, O_RDWR); }

Result<UniqueFd> OpenUnbuffered(const std::string& path, bool& direct) {
  return OpenUnbufferedAs(path, path, direct);
}

Result<UniqueFd> ReopenUnbuffered(int fd, const std::string& path, bool& direct) {
  return OpenUnbufferedAs("/proc/self/fd/" + std::to_string(fd), path, direct);
}

int CheckReadWrite(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  return (flags & O_ACCMODE) == O_RDWR ? 0 : EBADF;
}

Result<uint64_t> SizeOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return ErrnoStatus("fstat", errno);
  if (!S_ISBLK(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  uint64_t bytes = 0;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return ErrnoStatus("BLKGETSIZE64", errno);
  return bytes;
}

void FreeDeleter::operator()(void* p) const { std::free(p); }

AlignedBytes AllocateAligned(size_t size) {
  const size_t rounded = (size + kDirectIoAlignment - 1) & ~(kDirectIoAlignment - 1);
  return AlignedBytes(static_cast<uint8_t*>(std::aligned_alloc(kDirectIoAlignment, rounded)));
}

Transfer ReadAt(int fd, uint64_t offset, void* data, size_t length) {
  return RetryOnEintr([&] { return ::pread(fd, data, length, static_cast<off_t>(offset)); });
}

Transfer WriteAt(int fd, uint64_t offset, const void* data, size_t length) {
  return RetryOnEintr([&] { return ::pwrite(fd, data, length, static_cast<off_t>(offset)); });
}

Transfer ReadAtNoWait(int fd, uint64_t offset, void* data, size_t length) {
  iovec v{data, length};
  return RetryOnEintr([&] { return ::preadv2(fd, &v, 1, static_cast<off_t>(offset), RWF_NOWAIT); });
}

Transfer WriteAtNoWait(int fd, uint64_t offset, const void* data, size_t length) {
  iovec v{const_cast<void*>(data), length};
  return RetryOnEintr(
      [&] { return ::pwritev2(fd, &v, 1, static_cast<off_t>(offset), RWF_NOWAIT); });
}

int SyncData(int fd) {
  int result;
  do {
    result = ::fdatasync(fd);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

int WriteOutRange(int fd, uint64_t offset, uint64_t length) {
  int result;
  do {
    result = ::sync_file_range(
        fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

int DropCachedRange(int fd, uint64_t offset, uint64_t length) {
  // The kernel drops only pages the range covers whole.
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t first = offset / page * page;
  const uint64_t end = (offset + length + page - 1) / page * page;
  return ::posix_fadvise(fd, static_cast<off_t>(first), static_cast<off_t>(end - first),
                         POSIX_FADV_DONTNEED);
}

}  // namespace quensaria::platform
