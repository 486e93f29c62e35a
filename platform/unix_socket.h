// AF_UNIX stream sockets: a listener whose Accept another thread can end,
// client connections, and whole-buffer send and receive. The socket file's
// permissions are its access check. Sends never raise SIGPIPE.
#ifndef QUENSARIA_PLATFORM_UNIX_SOCKET_H_
#define QUENSARIA_PLATFORM_UNIX_SOCKET_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

inline constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

class UnixListener {
 public:
  // Binds `path` with file mode `mode` and listens; the file's group becomes
  // `group` (kKeepGroup: the creator's), set before the mode lets anyone in.
  // A socket file left by a process that no longer listens is replaced; one
  // that still answers, or any other kind of file, makes Listen fail
  // (ERROR_ALREADY_EXISTS), as does a file put in its place after bind,
  // which is left alone.
  static Result<std::unique_ptr<UnixListener>> Listen(const std::string& path, mode_t mode,
                                                      gid_t group = kKeepGroup);
  // Closes the socket and removes its file (if it is still this socket's).
  ~UnixListener();
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  // Waits for the next connection. Fails with ERROR_OPERATION_ABORTED once
  // Shutdown has been called, and with the accept error otherwise.
  Result<UniqueFd> Accept();
  // Makes every current and later Accept return. Any thread, any time.
  void Shutdown();

  const std::string& path() const { return path_; }

 private:
  UnixListener(std::string path, UniqueFd socket, UniqueFd wake, ino_t inode);

  std::string path_;
  UniqueFd socket_;
  UniqueFd wake_;  // an eventfd, readable once Shutdown was called
  ino_t inode_;
};

// A socket file the caller may not write (its mode and group keep the
// caller out) fails with ERROR_ACCESS_DENIED. A listener whose queue stays
// full (a process that no longer accepts) fails with ERROR_SEM_TIMEOUT once
// `wait` has passed.
Result<UniqueFd> ConnectUnix(const std::string& path,
                             std::chrono::milliseconds wait = std::chrono::seconds(60));
// The name of the group that owns `path` (its number when the group has no
// name); empty when the file cannot be looked at.
std::string FileGroupName(const std::string& path);

// Sends all of `data`; a peer that has gone fails with ERROR_BROKEN_PIPE.
Status SendAll(int fd, std::span<const uint8_t> data);
// The same, failing with ERROR_SEM_TIMEOUT once `deadline` passes before
// the peer took all of it (a peer that stops reading holds nothing for ever).
Status SendAllBefore(int fd, std::span<const uint8_t> data,
                     std::chrono::steady_clock::time_point deadline);
// Receives exactly `size` bytes; an orderly close before that fails with
// ERROR_BROKEN_PIPE (ERROR_HANDLE_EOF when not a single byte came).
Status ReceiveExact(int fd, uint8_t* buffer, size_t size);
// The same, failing with ERROR_SEM_TIMEOUT once `deadline` passes before
// all of it came (a peer that trickles bytes gains nothing).
Status ReceiveExactBefore(int fd, uint8_t* buffer, size_t size,
                          std::chrono::steady_clock::time_point deadline);
// The process id of the peer of a connected socket (as it was when it
// connected), or 0 when it cannot be told.
pid_t PeerProcess(int fd);
// Ends both directions, waking any thread blocked on `fd`; the descriptor
// itself stays open for its owner to close.
void ShutdownSocket(int fd);
// A receive that waits longer than `timeout` fails with ERROR_SEM_TIMEOUT.
Status SetReceiveTimeout(int fd, std::chrono::milliseconds timeout);

// Creates `path` and its missing parents with `mode`, whatever the umask
// (existing ones stay as they are).
Status MakeDirectories(const std::string& path, mode_t mode);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_UNIX_SOCKET_H_
