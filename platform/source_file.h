// Files and block devices as the disk sources use them: open by path,
// learn what a path is, positioned reads and writes, and the unbuffered
// (O_DIRECT) handle with the alignment its buffers need.
//
// Every transfer carries its own offset; nothing here keeps a file position,
// so one descriptor may be used from many threads at once. Errors are errno
// values; callers map them with platform/errors.h.
#ifndef QUENSARIA_PLATFORM_SOURCE_FILE_H_
#define QUENSARIA_PLATFORM_SOURCE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

enum class FileType { kRegular, kBlockDevice, kOther };

struct FileInfo {
  FileType type = FileType::kOther;
  uint32_t device_major = 0;  // block devices: the device number
  uint32_t device_minor = 0;
};

// What `path` names (following symbolic links).
Result<FileInfo> StatPath(const std::string& path);

// Which file a descriptor or a path names, and how many names it has: enough
// to tell whether a path still names the file a descriptor holds open.
struct FileIdentity {
  bool exists = true;   // false: nothing is at the path (ENOENT, ENOTDIR)
  uint64_t device = 0;  // a file's file system; a block device's own number
  uint64_t inode = 0;   // 0 for a block device (its node's inode says nothing)
  uint64_t links = 0;   // names of the file; 0 once it was deleted while open
  bool SameFileAs(const FileIdentity& other) const {
    return exists && other.exists && device == other.device && inode == other.inode;
  }
};
Result<FileIdentity> IdentityOf(int fd);
// Follows symbolic links.
Result<FileIdentity> IdentityAt(const std::string& path);

// Opens for positioned reads and writes (the I/O handle).
Result<UniqueFd> OpenReadWrite(const std::string& path);

// Opens read-only and unbuffered (O_DIRECT). Where the file system refuses
// O_DIRECT the plain handle is returned and `direct` is false.
Result<UniqueFd> OpenUnbuffered(const std::string& path, bool& direct);
// The same for the file that `fd` has open (through /proc/self/fd), so that
// a file renamed into `path` meanwhile is not the one opened; errors name
// `path`.
Result<UniqueFd> ReopenUnbuffered(int fd, const std::string& path, bool& direct);

// 0 when `fd` is open for both reading and writing, else an errno (EBADF
// for a descriptor that is closed or open one way only).
int CheckReadWrite(int fd);

// Bytes in the file or block device behind `fd` (BLKGETSIZE64 for devices).
Result<uint64_t> SizeOf(int fd);

// O_DIRECT transfers need buffers, offsets and lengths aligned to this.
inline constexpr size_t kDirectIoAlignment = 4096;

struct FreeDeleter {
  void operator()(void* p) const;
};
using AlignedBytes = std::unique_ptr<uint8_t[], FreeDeleter>;
// `size` bytes aligned to kDirectIoAlignment, uninitialised; null when out
// of memory.
AlignedBytes AllocateAligned(size_t size);

// The outcome of one positioned transfer: bytes moved (fewer than asked at
// the end of a file, 0 past it) or an errno. EINTR is retried inside.
struct Transfer {
  size_t bytes = 0;
  int error = 0;
};

Transfer ReadAt(int fd, uint64_t offset, void* data, size_t length);
Transfer WriteAt(int fd, uint64_t offset, const void* data, size_t length);

// The same without waiting for the device: EAGAIN when the data is not at
// hand (not in the page cache, or the write would have to wait), EOPNOTSUPP
// when the file system cannot tell.
Transfer ReadAtNoWait(int fd, uint64_t offset, void* data, size_t length);
Transfer WriteAtNoWait(int fd, uint64_t offset, const void* data, size_t length);

// fdatasync: every write completed on `fd` before the call is on stable
// storage when it returns 0 (else an errno). On a block device, a partition's
// included, the kernel also flushes the device's volatile write cache. Once
// it has reported a failed write-back, the pages concerned may be gone; a
// later call need not fail again.
int SyncData(int fd);

// Writes the dirty pages of `fd` in the range out to the device and waits
// for them (not for the device's write cache): 0, else an errno.
int WriteOutRange(int fd, uint64_t offset, uint64_t length);
// Drops the clean pages of `fd` that hold any byte of the range, so the next
// read of them is the device's: 0, else an errno.
int DropCachedRange(int fd, uint64_t offset, uint64_t length);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SOURCE_FILE_H_
