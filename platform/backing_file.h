// BackingFile: a file that holds a device's blocks for the driver's worker:
// an image file, or a private nameless cache file. Positioned I/O only;
// every result is an NT status (errno through NtStatusFromErrno).
//
// Image files are opened unbuffered (O_DIRECT) where the file system allows
// 512-byte aligned direct I/O, else buffered; ReadAt/WriteAt bounce through
// an aligned buffer when the caller's memory or range is not aligned, so the
// caller never needs to know. One thread uses a BackingFile at a time.
#ifndef QUENSARIA_PLATFORM_BACKING_FILE_H_
#define QUENSARIA_PLATFORM_BACKING_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"
#include "shared/nt_status.h"

namespace quensaria::platform {

class BackingFile {
 public:
  BackingFile() = default;
  BackingFile(BackingFile&&) = default;
  BackingFile& operator=(BackingFile&&) = default;

  // Opens an existing image file or block device. Read-only: read access and
  // a shared lock (other readers may share it); else read-write and an
  // exclusive lock. A lock held elsewhere is STATUS_SHARING_VIOLATION; a
  // missing file is STATUS_OBJECT_NAME_NOT_FOUND. The open never waits (a
  // pipe in the image's place is opened at once, as a file of no bytes).
  static NtStatus OpenImage(const std::string& path, bool read_only, BackingFile* file);
  // Creates a missing image file of `size` bytes (sparse, mode 0600, owned by
  // the thread's file-system identity) and opens it read-write, exclusively
  // locked. If the file appeared meanwhile it is opened as it is. A file this
  // call created is removed again when sizing it fails.
  static NtStatus CreateImage(const std::string& path, uint64_t size, BackingFile* file);
  // A file without a name in `directory` (O_TMPFILE, else a unique name
  // unlinked at once), exclusively locked: private to its owner, and gone
  // when closed or when the process dies. Buffered: its data lives only as
  // long as the handle.
  static NtStatus CreatePrivate(const std::string& directory, BackingFile* file);

  bool valid() const { return fd_.valid(); }
  bool direct() const { return direct_; }
  // Bytes: the end of file of a regular file, the size of a block device.
  NtStatus Size(uint64_t* size) const;

  // Reads up to `length` bytes at `offset`; *done is less than `length` only
  // at the end of the file.
  NtStatus ReadAt(uint8_t* data, size_t length, uint64_t offset, size_t* done);
  NtStatus WriteAt(const uint8_t* data, size_t length, uint64_t offset);
  // Makes written data durable.
  NtStatus Sync();
  void Close() { fd_.Reset(); }

 private:
  // Turns on direct I/O when the file system takes it at 512-byte alignment.
  void EnableDirectIo();
  bool Aligned(const void* data, size_t length, uint64_t offset) const;

  UniqueFd fd_;
  bool direct_ = false;
  uint32_t memory_alignment_ = 1;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_BACKING_FILE_H_
