#include "platform/backing_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/source_file.h"
#include "shared/sector.h"

namespace quensaria::platform {
namespace {

constexpr size_t kBounceAlignment = kDirectIoAlignment;

NtStatus LastError() { return NtStatusFromErrno(errno); }

NtStatus Lock(int fd, bool shared) {
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return STATUS_SUCCESS;
  return errno == EWOULDBLOCK ? STATUS_SHARING_VIOLATION : LastError();
}

NtStatus RejectDirectory(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return LastError();
  return S_ISDIR(st.st_mode) ? STATUS_FILE_IS_A_DIRECTORY : STATUS_SUCCESS;
}

// Whole transfers on top of the single positioned calls of platform/source_file.h.
NtStatus ReadFully(int fd, uint8_t* data, size_t length, uint64_t offset, size_t* done) {
  *done = 0;
  while (*done < length) {
    const Transfer t = platform::ReadAt(fd, offset + *done, data + *done, length - *done);
    if (t.error != 0) return NtStatusFromErrno(t.error);
    if (t.bytes == 0) break;  // the end of the file
    *done += t.bytes;
  }
  return STATUS_SUCCESS;
}

NtStatus WriteFully(int fd, const uint8_t* data, size_t length, uint64_t offset) {
  for (size_t done = 0; done < length;) {
    const Transfer t = platform::WriteAt(fd, offset + done, data + done, length - done);
    if (t.error != 0) return NtStatusFromErrno(t.error);
    if (t.bytes == 0) return STATUS_DISK_FULL;
    done += t.bytes;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NtStatus BackingFile::OpenImage(const std::string& path, bool read_only, BackingFile* file) {
  // Without O_NONBLOCK a pipe opened for reading waits for a writer; the
  // flag goes again at once, so the file's I/O is as it always was.
  UniqueFd fd(::open(path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return LastError();
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return LastError();
  if (NtStatus s = RejectDirectory(fd.get()); s != STATUS_SUCCESS) return s;
  if (NtStatus s = Lock(fd.get(), read_only); s != STATUS_SUCCESS) return s;
  file->fd_ = std::move(fd);
  file->EnableDirectIo();
  return STATUS_SUCCESS;
}

NtStatus BackingFile::CreateImage(const std::string& path, uint64_t size, BackingFile* file) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    if (errno == EEXIST) return OpenImage(path, false, file);
    return LastError();
  }
  NtStatus status = Lock(fd.get(), false);
  if (status == STATUS_SUCCESS && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    status = LastError();
  }
  if (status != STATUS_SUCCESS) {
    ::unlink(path.c_str());
    return status;
  }
  file->fd_ = std::move(fd);
  file->EnableDirectIo();
  return STATUS_SUCCESS;
}

NtStatus BackingFile::CreatePrivate(const std::string& directory, BackingFile* file) {
  UniqueFd fd(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // File systems without O_TMPFILE: a unique name, removed at once.
    std::string name = directory + "/.velmoran-cache-XXXXXX";
    fd.Reset(::mkostemp(name.data(), O_CLOEXEC));
    if (fd) ::unlink(name.c_str());
  }
  if (!fd) return LastError();
  if (NtStatus s = Lock(fd.get(), false); s != STATUS_SUCCESS) return s;
  file->fd_ = std::move(fd);
  file->direct_ = false;
  return STATUS_SUCCESS;
}

void BackingFile::EnableDirectIo() {
  struct statx stx {};
  if (::statx(fd_.get(), "", AT_EMPTY_PATH, STATX_DIOALIGN, &stx) != 0) return;
  if ((stx.stx_mask & STATX_DIOALIGN) == 0 || stx.stx_dio_offset_align == 0 ||
      stx.stx_dio_offset_align > kSectorSize || stx.stx_dio_mem_align > kBounceAlignment) {
    return;
  }
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_DIRECT) != 0) return;
  direct_ = true;
  memory_alignment_ = std::max<uint32_t>(1, stx.stx_dio_mem_align);
}

NtStatus BackingFile::Size(uint64_t* size) const {
  Result<uint64_t> bytes = SizeOf(fd_.get());
  if (!bytes.ok()) return STATUS_IO_DEVICE_ERROR;
  *size = bytes.value();
  return STATUS_SUCCESS;
}

bool BackingFile::Aligned(const void* data, size_t length, uint64_t offset) const {
  return !direct_ || (reinterpret_cast<uintptr_t>(data) % memory_alignment_ == 0 &&
                      offset % kSectorSize == 0 && length % kSectorSize == 0);
}

NtStatus BackingFile::ReadAt(uint8_t* data, size_t length, uint64_t offset, size_t* done) {
  if (Aligned(data, length, offset)) return ReadFully(fd_.get(), data, length, offset, done);
  const uint64_t start = offset / kSectorSize * kSectorSize;
  const size_t span =
      static_cast<size_t>((offset + length + kSectorSize - 1) / kSectorSize * kSectorSize - start);
  AlignedBytes bounce = AllocateAligned(span);
  if (!bounce) return STATUS_INSUFFICIENT_RESOURCES;
  size_t got = 0;
  if (NtStatus s = ReadFully(fd_.get(), bounce.get(), span, start, &got); s != STATUS_SUCCESS) {
    return s;
  }
  const size_t lead = static_cast<size_t>(offset - start);
  *done = got > lead ? std::min(length, got - lead) : 0;
  std::memcpy(data, bounce.get() + lead, *done);
  return STATUS_SUCCESS;
}

NtStatus BackingFile::WriteAt(const uint8_t* data, size_t length, uint64_t offset) {
  if (Aligned(data, length, offset)) return WriteFully(fd_.get(), data, length, offset);
  // Direct I/O moves whole sectors: read the partial ones at both ends first.
  const uint64_t start = offset / kSectorSize * kSectorSize;
  const size_t span =
      static_cast<size_t>((offset + length + kSectorSize - 1) / kSectorSize * kSectorSize - start);
  AlignedBytes bounce = AllocateAligned(span);
  if (!bounce) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(bounce.get(), 0, span);
  const size_t lead = static_cast<size_t>(offset - start);
  size_t got = 0;
  if (lead != 0) {
    if (NtStatus s = ReadFully(fd_.get(), bounce.get(), kSectorSize, start, &got);
        s != STATUS_SUCCESS) {
      return s;
    }
  }
  if ((lead + length) % kSectorSize != 0 && (span > kSectorSize || lead == 0)) {
    uint8_t* last = bounce.get() + span - kSectorSize;
    if (NtStatus s = ReadFully(fd_.get(), last, kSectorSize, start + span - kSectorSize, &got);
        s != STATUS_SUCCESS) {
      return s;
    }
  }
  std::memcpy(bounce.get() + lead, data, length);
  return WriteFully(fd_.get(), bounce.get(), span, start);
}

NtStatus BackingFile::Sync() {
  const int error = SyncData(fd_.get());
  return error == 0 ? STATUS_SUCCESS : NtStatusFromErrno(error);
}

}  // namespace quensaria::platform
