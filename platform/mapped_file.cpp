#include "platform/mapped_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

Result<ReplacingFile> ReplacingFile::Create(const std::string& path) {
  // Written in place: what is at the path is no file to replace (a
  // directory, a device: refused when it is sized), or it is a file given
  // the caller in a folder that does not let him replace it.
  auto in_place = [&path]() -> Result<ReplacingFile> {
    int fd = open(path.c_str(), O_RDWR | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return SystemError(errno);
    return ReplacingFile(path, "", UniqueFd(fd));
  };
  struct stat st;
  bool exists = lstat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return SystemError(errno);
  if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return in_place();

  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // Short enough for any name the path may end in.
  const std::string base =
      path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, NAME_MAX - 24);
  // The new file is the caller's alone, with his umask, and no other file
  // (a link's target, a second name) is written.
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t salt = 0;
    if (getrandom(&salt, sizeof salt, GRND_NONBLOCK) != sizeof salt) {
      salt = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(clock()) ^
             static_cast<uint64_t>(attempt);
    }
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(salt));
    std::string temporary = folder + "." + base + suffix;
    int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      // A folder that does not let the caller replace the file may still let
      // him write it: written in place, as before.
      if (exists && S_ISREG(st.st_mode) && (errno == EACCES || errno == EPERM)) return in_place();
      return SystemError(errno);
    }
    ReplacingFile file(path, std::move(temporary), UniqueFd(fd));
    // A sticky folder lets only the owners of a name (or the folder's)
    // remove it, whoever may create files there.
    struct stat dir;
    if (exists && geteuid() != 0 && st.st_uid != geteuid() &&
        fstatat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), &dir, 0) == 0 &&
        (dir.st_mode & S_ISVTX) != 0 && dir.st_uid != geteuid()) {
      file.Abandon();
      if (S_ISREG(st.st_mode)) return in_place();
      return SystemError(EPERM);
    }
    return file;
  }
  return SystemError(EEXIST);  // made again each time by someone else
}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      fd_(std::move(other.fd_)) {}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& other) noexcept {
  if (this != &other) {
    Abandon();
    path_ = std::move(other.path_);
    temporary_ = std::exchange(other.temporary_, std::string());
    fd_ = std::move(other.fd_);
  }
  return *this;
}

ReplacingFile::~ReplacingFile() { Abandon(); }

void ReplacingFile::Abandon() {
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
  fd_.Reset();
}

Status ReplacingFile::Commit(const std::function<Status()>& sync_folder) {
  Status s = SyncFile(fd_.get());
  if (!s.ok()) {
    Abandon();
    return s;
  }
  if (in_place()) return sync_folder();
  const std::string temporary = std::exchange(temporary_, std::string());
  auto exchange = [&] {
    return renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0;
  };
  // Exchanged, the old file (or link) stays under the temporary name until
  // the folder is synced, so that it can be put back if that fails.
  bool exchanged = exchange();
  bool had_old = true;
  if (exchanged) {
    struct stat st;
    if (lstat(temporary.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      // A directory (or device) put there meanwhile is not replaced.
      const int error = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
      if (exchange()) unlink(temporary.c_str());
      return SystemError(error);
    }
  } else {
    const int error = errno;
    had_old = error != ENOENT;
    if (error != ENOENT && error != EINVAL && error != ENOSYS) {
      unlink(temporary.c_str());
      return SystemError(error);
    }
    // No old file, or a file system without exchanges.
    if (rename(temporary.c_str(), path_.c_str()) != 0) {
      const int rename_error = errno;
      unlink(temporary.c_str());
      return SystemError(rename_error);
    }
  }
  s = sync_folder();
  if (!s.ok()) {
    if (exchanged) {
      if (exchange()) unlink(temporary.c_str());
    } else if (!had_old) {
      unlink(path_.c_str());
    }
    return s;
  }
  if (exchanged && unlink(temporary.c_str()) != 0 && errno != ENOENT) return SystemError(errno);
  return Status::Ok();
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
