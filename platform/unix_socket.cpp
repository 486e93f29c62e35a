#include "platform/unix_socket.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

constexpr size_t kMaxGroupEntryBytes = 16 << 20;

Result<sockaddr_un> AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return Status(ERROR_FILENAME_EXCED_RANGE, "socket path too long: " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

UniqueFd NewSocket() { return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

bool SomeoneListens(const sockaddr_un& address) {
  // Without waiting: a blocking connect to a listener whose queue is full
  // (one that no longer accepts) would wait for room for ever, and that
  // listener still holds the path.
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return false;
  int result;
  do {
    result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno == EAGAIN;
}

// Clears the way for bind: removes a dead socket file, refuses anything else.
Status ClaimPath(const std::string& path, const sockaddr_un& address) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? Status::Ok() : ErrnoStatus("stat " + path, errno);
  }
  if (!S_ISSOCK(st.st_mode))
    return Status(ERROR_ALREADY_EXISTS, path + ": exists and is not a socket");
  if (SomeoneListens(address))
    return Status(ERROR_ALREADY_EXISTS, path + ": another process listens on it");
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoStatus("unlink " + path, errno);
  return Status::Ok();
}

// The end of the stream after `done` bytes of a message.
Status PeerClosed(size_t done) {
  return done == 0 ? Status(ERROR_HANDLE_EOF, "peer closed the connection")
                   : Status(ERROR_BROKEN_PIPE, "peer closed the connection mid-message");
}

}  // namespace

Result<std::unique_ptr<UnixListener>> UnixListener::Listen(const std::string& path, mode_t mode,
                                                           gid_t group) {
  Result<sockaddr_un> address = AddressOf(path);
  if (!address.ok()) return address.status();
  Status claimed = ClaimPath(path, *address);
  if (!claimed.ok()) return claimed;
  UniqueFd socket = NewSocket();
  if (!socket) return ErrnoStatus("socket", errno);
  // bind makes the file with the socket's mode less the umask: the owner's
  // bits alone, so nobody else gets in before the group and mode are set.
  if (::fchmod(socket.get(), mode & S_IRWXU) != 0) return ErrnoStatus("fchmod socket", errno);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    return ErrnoStatus("bind " + path, errno);
  }
  // Group and mode go to the file bind made, not to whatever the name leads
  // to by then (a link put in its place would hand them to another file).
  struct stat st;
  UniqueFd file(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!file || ::fstat(file.get(), &st) != 0) return ErrnoStatus("open " + path, errno);
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
    return Status(ERROR_ALREADY_EXISTS, path + ": replaced by another file while it was made");
  }
  if (group != kKeepGroup &&
      ::fchownat(file.get(), "", static_cast<uid_t>(-1), group, AT_EMPTY_PATH) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return ErrnoStatus("chown " + path, error);
  }
  const std::string bound = "/proc/self/fd/" + std::to_string(file.get());
  if (::chmod(bound.c_str(), mode) != 0 || ::fstat(file.get(), &st) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return ErrnoStatus("chmod " + path, error);
  }
  if (::listen(socket.get(), 64) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return ErrnoStatus("listen " + path, error);
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) {
    const int error = errno;
    ::unlink(path.c_str());
    return ErrnoStatus("eventfd", error);
  }
  return std::unique_ptr<UnixListener>(
      new UnixListener(path, std::move(socket), std::move(wake), st.st_ino));
}

UnixListener::UnixListener(std::string path, UniqueFd socket, UniqueFd wake, ino_t inode)
    : path_(std::move(path)), socket_(std::move(socket)), wake_(std::move(wake)), inode_(inode) {}

UnixListener::~UnixListener() {
  struct stat st;
  // Another instance may have taken the path over since; leave its socket.
  if (::lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
}

Result<UniqueFd> UnixListener::Accept() {
  for (;;) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("poll", errno);
    }
    if (fds[1].revents != 0) return Status(ERROR_OPERATION_ABORTED, "listener shut down");
    if (fds[0].revents == 0) continue;
    const int fd = ::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
    return ErrnoStatus("accept " + path_, errno);
  }
}

void UnixListener::Shutdown() { SignalEventFd(wake_.get()); }

Result<UniqueFd> ConnectUnix(const std::string& path, std::chrono::milliseconds wait) {
  Result<sockaddr_un> address = AddressOf(path);
  if (!address.ok()) return address.status();
  UniqueFd socket = NewSocket();
  if (!socket) return ErrnoStatus("socket", errno);
  // A connect waits for room in the listener's queue for as long as the
  // send time-out lets it; without one, a listener that stopped accepting
  // holds the caller for ever.
  const auto bounded = std::max(wait, std::chrono::milliseconds(1));
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(bounded.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>(bounded.count() % 1000 * 1000);
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return ErrnoStatus("setsockopt SO_SNDTIMEO", errno);
  }
  int result;
  do {
    result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno == EAGAIN) {
    return Status(ERROR_SEM_TIMEOUT, "connect " + path + ": the listener takes no connections");
  }
  if (result != 0) return ErrnoStatus("connect " + path, errno);
  // Sends on the connection wait as they always did.
  const timeval none{};
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) != 0) {
    return ErrnoStatus("setsockopt SO_SNDTIMEO", errno);
  }
  return socket;
}

std::string FileGroupName(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  // The entry holds the members' names: a large group needs more room than
  // a first guess.
  std::vector<char> buffer(4096);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int error = ::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kMaxGroupEntryBytes) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == 0 && found != nullptr) return found->gr_name;
    return std::to_string(st.st_gid);
  }
}

Status SendAll(int fd, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("send", errno);
    }
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status SendAllBefore(int fd, std::span<const uint8_t> data,
                     std::chrono::steady_clock::time_point deadline) {
  size_t done = 0;
  while (done < data.size()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Status(ERROR_SEM_TIMEOUT, "send timed out");
    pollfd ready{fd, POLLOUT, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), 60'000)));
    if (polled < 0 && errno != EINTR) return ErrnoStatus("poll", errno);
    if (polled <= 0) continue;
    const ssize_t n =
        ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ErrnoStatus("send", errno);
    }
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status ReceiveExact(int fd, uint8_t* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::recv(fd, buffer + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return Status(ERROR_SEM_TIMEOUT, "receive timed out");
      return ErrnoStatus("recv", errno);
    }
    if (n == 0) return PeerClosed(done);
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status ReceiveExactBefore(int fd, uint8_t* buffer, size_t size,
                          std::chrono::steady_clock::time_point deadline) {
  size_t done = 0;
  while (done < size) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Status(ERROR_SEM_TIMEOUT, "receive timed out");
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), 60'000)));
    if (polled < 0 && errno != EINTR) return ErrnoStatus("poll", errno);
    if (polled <= 0) continue;
    const ssize_t n = ::recv(fd, buffer + done, size - done, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ErrnoStatus("recv", errno);
    }
    if (n == 0) return PeerClosed(done);
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

pid_t PeerProcess(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return 0;
  return credentials.pid;
}

void ShutdownSocket(int fd) { ::shutdown(fd, SHUT_RDWR); }

Status SetReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    return ErrnoStatus("setsockopt SO_RCVTIMEO", errno);
  }
  return Status::Ok();
}

Status MakeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return Status(ERROR_PATH_NOT_FOUND, "no directory named");
  // Each step is made and opened from the one before, and a directory made
  // here is opened without following a link: a name swapped for a link
  // meanwhile gets neither the mode nor the directories below.
  UniqueFd at(::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at) return ErrnoStatus("open " + path, errno);
  size_t begin = 0;
  while (begin < path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(begin, end - begin);
    const std::string prefix = path.substr(0, end);
    begin = end + 1;
    if (name.empty() || name == ".") continue;
    bool made = false;
    if (::mkdirat(at.get(), name.c_str(), mode) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      return ErrnoStatus("mkdir " + prefix, errno);
    }
    UniqueFd next(::openat(at.get(), name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC | (made ? O_NOFOLLOW : 0)));
    if (!next) {
      if (made) return Status(ERROR_ALREADY_EXISTS, prefix + ": replaced while it was made");
      if (errno == ENOTDIR && end == path.size()) {
        return Status(ERROR_PATH_NOT_FOUND, path + ": not a directory");
      }
      if (errno == ENOTDIR) {  // said as the making of the next one found it
        return ErrnoStatus("mkdir " + path.substr(0, path.find('/', begin)), ENOTDIR);
      }
      return ErrnoStatus("open " + prefix, errno);
    }
    // The umask narrowed it; a service run with UMask=0077 still makes
    // the directories its clients must reach.
    if (made && ::fchmod(next.get(), mode) != 0) return ErrnoStatus("chmod " + prefix, errno);
    at = std::move(next);
  }
  return Status::Ok();
}

}  // namespace quensaria::platform
