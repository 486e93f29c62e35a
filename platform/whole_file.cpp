#include "platform/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

UniqueFd OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

Status SyncFd(int fd, const std::string& context) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return ErrnoStatus("fsync " + context, errno);
  }
  return Status::Ok();
}

}  // namespace

Result<std::string> ReadWholeFile(const std::string& path, size_t max_bytes) {
  // A pipe in the file's place must not wait for a writer; regular files
  // ignore the flag.
  UniqueFd fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return ErrnoStatus("open " + path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("stat " + path, errno);
  if (!S_ISREG(st.st_mode)) return Status(ERROR_ACCESS_DENIED, path + ": not a regular file");
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    return Status(ERROR_FILE_TOO_LARGE,
                  path + ": larger than " + std::to_string(max_bytes) + " bytes");
  }
  std::string data;
  // The size may change under us; read until end of file, never past the cap.
  data.resize(static_cast<size_t>(st.st_size) + 1);
  size_t done = 0;
  for (;;) {
    if (done == data.size()) {
      if (data.size() > max_bytes) {
        WipeText(data);
        return Status(ERROR_FILE_TOO_LARGE,
                      path + ": larger than " + std::to_string(max_bytes) + " bytes");
      }
      // A buffer of its own, so that the smaller one is wiped before it goes.
      std::string larger(std::min(max_bytes + 1, data.size() * 2), '\0');
      std::memcpy(larger.data(), data.data(), done);
      WipeText(data);
      data.swap(larger);
    }
    const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      WipeText(data);
      return ErrnoStatus("read " + path, error);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (done > max_bytes) {
    WipeText(data);
    return Status(ERROR_FILE_TOO_LARGE,
                  path + ": larger than " + std::to_string(max_bytes) + " bytes");
  }
  data.resize(done);
  return data;
}

void WipeText(std::string& text) {
  text.resize(text.capacity());
  explicit_bzero(text.data(), text.size());
  text.clear();
}

Status WriteFileSynced(const std::string& path, std::string_view data, uint32_t mode) {
  // A pipe without a reader then fails (ENXIO) instead of waiting for one; a
  // link fails too (ELOOP): what it names would be truncated and rewritten.
  UniqueFd fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW,
                             static_cast<mode_t>(mode));
  if (!fd) return ErrnoStatus("create " + path, errno);
  // Before any byte is written: an existing file keeps its own mode otherwise.
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0)
    return ErrnoStatus("chmod " + path, errno);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("write " + path, errno);
    }
    done += static_cast<size_t>(n);
  }
  Status synced = SyncFd(fd.get(), path);
  if (!synced.ok()) return synced;
  if (::close(fd.Release()) != 0 && errno != EINTR) return ErrnoStatus("close " + path, errno);
  return Status::Ok();
}

Status ReplaceFileSynced(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return ErrnoStatus("rename " + from + " to " + to, errno);
  }
  const std::string directory = DirectoryOf(to);
  UniqueFd dir = OpenRetrying(directory, O_RDONLY | O_DIRECTORY);
  if (!dir) return ErrnoStatus("open " + directory, errno);
  return SyncFd(dir.get(), directory);
}

Status MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) {
      return ErrnoStatus("rename " + from + " to " + to, errno);
    }
    // A file system without no-replace renames: a new link cannot replace
    // either, then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0) {
      return ErrnoStatus("link " + from + " to " + to, errno);
    }
    if (::unlink(from.c_str()) != 0) return ErrnoStatus("unlink " + from, errno);
  }
  const std::string directory = DirectoryOf(to);
  UniqueFd dir = OpenRetrying(directory, O_RDONLY | O_DIRECTORY);
  if (!dir) return ErrnoStatus("open " + directory, errno);
  return SyncFd(dir.get(), directory);
}

Status CreateFileSynced(const std::string& path, std::string_view data, uint32_t mode) {
  UniqueFd fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
  if (!fd) return ErrnoStatus("create " + path, errno);
  Status status = Status::Ok();
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0)
    status = ErrnoStatus("chmod " + path, errno);
  for (size_t done = 0; status.ok() && done < data.size();) {
    const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno != EINTR) status = ErrnoStatus("write " + path, errno);
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (status.ok()) status = SyncFd(fd.get(), path);
  if (status.ok() && ::close(fd.Release()) != 0 && errno != EINTR) {
    status = ErrnoStatus("close " + path, errno);
  }
  if (!status.ok()) {
    ::unlink(path.c_str());
    return status;
  }
  const std::string directory = DirectoryOf(path);
  UniqueFd dir = OpenRetrying(directory, O_RDONLY | O_DIRECTORY);
  if (!dir) return ErrnoStatus("open " + directory, errno);
  return SyncFd(dir.get(), directory);
}

Result<std::string> FollowLinks(const std::string& path) {
  std::string current = path;
  for (int links = 0; links <= 40; ++links) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return ErrnoStatus("readlink " + current, errno);
    target.resize(static_cast<size_t>(n));
    current = !target.empty() && target[0] == '/' ? target : DirectoryOf(current) + "/" + target;
  }
  return ErrnoStatus("follow " + path, ELOOP);
}

Result<uint32_t> NarrowFileMode(const std::string& path, uint32_t allowed) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ErrnoStatus("stat " + path, errno);
  const uint32_t before = st.st_mode & 07777;
  if ((before & ~allowed) != 0 && ::chmod(path.c_str(), before & allowed) != 0) {
    return ErrnoStatus("chmod " + path, errno);
  }
  return before;
}

Status RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoStatus("unlink " + path, errno);
  return Status::Ok();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace quensaria::platform
