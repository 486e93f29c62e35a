#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/retry.h"
#include "shared/win32_error.h"

namespace quensaria::platform {

namespace {

// A failed call's errno as the console's socket lines show it.
Status SocketStatus(int error) {
  return Status(Win32ErrorFromErrno(error), std::to_string(error) + " " + ErrnoText(error));
}

Status StatusOf(int result) { return result == 0 ? Status::Ok() : SocketStatus(errno); }

// Accept errors that concern one connection only: the listener is fine.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPERM:
      return true;
    default:
      return false;
  }
}

Accepted::Outcome OutcomeOfAcceptError(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return Accepted::Outcome::kNoneWaiting;
  if (error == EMFILE || error == ENFILE) return Accepted::Outcome::kOutOfDescriptors;
  return Accepted::Outcome::kConnectionFailed;
}

}  // namespace

Status PassiveAddress::Resolve(const std::string& service) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const int code = ::getaddrinfo(nullptr, service.c_str(), &hints, &info_);
  if (code == 0) return Status::Ok();
  info_ = nullptr;
  return Status(ERROR_INVALID_PARAMETER, std::to_string(code) + " " + ::gai_strerror(code));
}

PassiveAddress::~PassiveAddress() {
  if (info_ != nullptr) ::freeaddrinfo(info_);
}

Result<UniqueFd> CreateSocket(const PassiveAddress& address) {
  const addrinfo* ai = address.info_;
  UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
  if (!fd) return SocketStatus(errno);
  return fd;
}

Status BindSocket(int socket, const PassiveAddress& address) {
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return SocketStatus(errno);
  }
  const addrinfo* ai = address.info_;
  return StatusOf(::bind(socket, ai->ai_addr, ai->ai_addrlen));
}

Status ListenSocket(int socket, int backlog) { return StatusOf(::listen(socket, backlog)); }

uint16_t LocalPort(int socket) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
  return ntohs(addr.sin_port);
}

void WakeListener(int socket) { ::shutdown(socket, SHUT_RDWR); }

Status SetNonBlockingListener(int listener) {
  const int flags = ::fcntl(listener, F_GETFL);
  if (flags < 0) return SocketStatus(errno);
  return StatusOf(::fcntl(listener, F_SETFL, flags | O_NONBLOCK));
}

Result<bool> WaitForConnection(int listener, std::chrono::milliseconds timeout) {
  pollfd ready{listener, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&ready, 1, static_cast<int>(timeout.count()));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return SocketStatus(errno);
  }
}

Result<Accepted> AcceptConnection(int listener) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&addr), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
  Accepted accepted;
  if (fd < 0) {
    const int error = errno;
    if (!IsTransientAcceptError(error)) return SocketStatus(error);
    accepted.outcome = OutcomeOfAcceptError(error);
    // Every drain of the queue ends in kNoneWaiting: no text to make for it.
    if (accepted.outcome != Accepted::Outcome::kNoneWaiting) accepted.error = SocketStatus(error);
    return accepted;
  }
  accepted.socket.Reset(fd);
  accepted.peer = addr.sin_addr.s_addr;
  const int on = 1;
  ::setsockopt(accepted.socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return accepted;
}

Status SetAbortiveClose(int socket) {
  const linger abortive{1, 0};
  return StatusOf(::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive));
}

void ShutdownConnection(int socket) { ::shutdown(socket, SHUT_RDWR); }

void ResetConnection(int socket) {
  (void)SetAbortiveClose(socket);  // a bad descriptor fails the connect below too
  // Connecting a TCP socket to AF_UNSPEC disconnects it, with a reset for an
  // established connection; waiters on the socket wake up with an error.
  sockaddr unspec{};
  unspec.sa_family = AF_UNSPEC;
  ::connect(socket, &unspec, sizeof unspec);
}

void DrainAndFinish(int socket) {
  ::shutdown(socket, SHUT_WR);
  uint8_t unread[4096];
  for (int i = 0; i < 64; ++i) {
    if (::recv(socket, unread, sizeof unread, MSG_DONTWAIT) <= 0) break;
  }
}

Transfer ReceiveSome(int socket, void* data, size_t length) {
  return RetryOnEintr([&] { return ::recv(socket, data, length, MSG_DONTWAIT); });
}

Transfer SendSomeVector(int socket, const void* iov, int count) {
  msghdr message{};
  message.msg_iov = static_cast<iovec*>(const_cast<void*>(iov));
  message.msg_iovlen = static_cast<size_t>(count);
  return RetryOnEintr([&] { return ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

Transfer SendSome(int socket, const void* data, size_t length) {
  return RetryOnEintr([&] { return ::send(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

Result<UniqueFd> ConnectTcp(uint32_t local, uint32_t remote, uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return SocketStatus(errno);
  if (local != 0) {
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = local;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
      return SocketStatus(errno);
    }
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = remote;
  peer.sin_port = htons(port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    return SocketStatus(errno);
  }
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

Status SendAll(int socket, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const Transfer t = RetryOnEintr([&] { return ::send(socket, p, length, MSG_NOSIGNAL); });
    if (t.error != 0) return SocketStatus(t.error);
    p += t.bytes;
    length -= t.bytes;
  }
  return Status::Ok();
}

Status SendAll(int socket, const void* first, size_t first_length, const void* second,
               size_t second_length) {
  iovec parts[2] = {{const_cast<void*>(first), first_length},
                    {const_cast<void*>(second), second_length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  while (message.msg_iovlen > 0) {
    const Transfer t = RetryOnEintr([&] { return ::sendmsg(socket, &message, MSG_NOSIGNAL); });
    if (t.error != 0) return SocketStatus(t.error);
    size_t sent = t.bytes;
    while (message.msg_iovlen > 0 && sent >= message.msg_iov->iov_len) {
      sent -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
      message.msg_iov->iov_base = static_cast<uint8_t*>(message.msg_iov->iov_base) + sent;
      message.msg_iov->iov_len -= sent;
    }
  }
  return Status::Ok();
}

Status ReceiveAll(int socket, void* data, size_t length) {
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    const Transfer t = RetryOnEintr([&] { return ::recv(socket, p, length, MSG_WAITALL); });
    if (t.error != 0) return SocketStatus(t.error);
    if (t.bytes == 0) return SocketStatus(EPIPE);
    p += t.bytes;
    length -= t.bytes;
  }
  return Status::Ok();
}

Result<size_t> ReceiveSplit(int socket, void* first, size_t first_length, void* second,
                            size_t second_length) {
  size_t have = 0;
  while (have < first_length) {
    iovec parts[2] = {{static_cast<uint8_t*>(first) + have, first_length - have},
                      {second, second_length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = second_length > 0 ? 2 : 1;
    const Transfer t = RetryOnEintr([&] { return ::recvmsg(socket, &message, 0); });
    if (t.error != 0) return SocketStatus(t.error);
    if (t.bytes == 0) return SocketStatus(EPIPE);
    have += t.bytes;
  }
  return have - first_length;
}

bool IsConnectionReset(const Status& failure) {
  return failure.code() == Win32ErrorFromErrno(ECONNRESET);
}

bool IsConnectionClosed(const Status& failure) {
  return failure.code() == Win32ErrorFromErrno(EPIPE);
}

}  // namespace quensaria::platform
