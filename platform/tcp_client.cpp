#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "platform/errors.h"
#include "platform/socket_timeout.h"

namespace quensaria::platform {
namespace {

using std::chrono::milliseconds;

NtStatus LastError() { return NtStatusFromErrno(errno); }

// Probes from a third of `dead_after` of silence on, every sixth: the
// kernel gives up once nothing has been acknowledged for `dead_after`.
bool WatchForDeadPath(int fd, milliseconds dead_after) {
  const int seconds = static_cast<int>(std::max<int64_t>(1, dead_after.count() / 1000));
  const int one = 1;
  const int idle = std::max(1, seconds / 3);
  const int interval = std::max(1, seconds / 6);
  const int probes = 3;
  const unsigned int user_timeout = static_cast<unsigned int>(seconds) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
         ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout) == 0;
}

}  // namespace

NtStatus TcpClient::Connect(uint32_t address, uint16_t port, milliseconds timeout,
                            milliseconds dead_after) {
  Close();
  receive_armed_ = send_armed_ = Clock::duration::zero();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  if (!fd) return LastError();
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = port;
  peer.sin_addr.s_addr = address;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS) return LastError();
    pollfd p{fd.get(), POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return LastError();
    if (ready == 0) return STATUS_IO_TIMEOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return LastError();
    if (error != 0) return NtStatusFromErrno(error);
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return LastError();
  if (dead_after > milliseconds::zero() && !WatchForDeadPath(fd.get(), dead_after)) {
    return LastError();
  }
  fd_ = std::move(fd);
  return STATUS_SUCCESS;
}

bool TcpClient::PeerGone() const {
  if (!fd_) return true;
  pollfd p{fd_.get(), POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)) return true;
  // Readable between exchanges: either the end of the stream or bytes that
  // belong to no request. Both leave nothing to talk to.
  return (p.revents & POLLIN) != 0;
}

bool TcpClient::ArmTimeout(int option, Clock::time_point deadline, Clock::duration* armed) {
  return ArmSocketTimeout(fd_.get(), option, deadline, armed) == TimeoutArmed::kArmed;
}

NtStatus TcpClient::Send(std::span<const uint8_t> head, std::span<const uint8_t> tail,
                         Clock::time_point deadline) {
  if (!fd_) return STATUS_INVALID_DEVICE_STATE;
  iovec parts[2] = {{const_cast<uint8_t*>(head.data()), head.size()},
                    {const_cast<uint8_t*>(tail.data()), tail.size()}};
  int first = 0;
  while (first < 2) {
    if (parts[first].iov_len == 0) {
      ++first;
      continue;
    }
    if (!ArmTimeout(SO_SNDTIMEO, deadline, &send_armed_)) return STATUS_IO_TIMEOUT;
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = 2 - first;
    ssize_t sent = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return STATUS_IO_TIMEOUT;
      return LastError();
    }
    for (size_t n = static_cast<size_t>(sent); first < 2 && n > 0;) {
      const size_t take = std::min(n, parts[first].iov_len);
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + take;
      parts[first].iov_len -= take;
      n -= take;
      if (parts[first].iov_len == 0) ++first;
    }
  }
  return STATUS_SUCCESS;
}

ssize_t TcpClient::ReceiveOnce(iovec* parts, size_t count, int flags) {
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  return ::recvmsg(fd_.get(), &message, flags);
}

NtStatus TcpClient::Receive(std::span<uint8_t> data, Clock::time_point deadline) {
  if (!fd_) return STATUS_INVALID_DEVICE_STATE;
  size_t done = 0;
  while (done < data.size()) {
    if (!ArmTimeout(SO_RCVTIMEO, deadline, &receive_armed_)) return STATUS_IO_TIMEOUT;
    iovec part{data.data() + done, data.size() - done};
    const ssize_t got = ReceiveOnce(&part, 1, MSG_WAITALL);
    if (got == 0) return STATUS_CONNECTION_DISCONNECTED;
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return STATUS_IO_TIMEOUT;
      return LastError();
    }
    done += static_cast<size_t>(got);
  }
  return STATUS_SUCCESS;
}

HeadReceived TcpClient::ReceiveHead(std::span<uint8_t> head, std::span<uint8_t> tail,
                                    Clock::time_point deadline) {
  if (!fd_) return {STATUS_INVALID_DEVICE_STATE, 0};
  size_t done = 0;
  size_t tail_got = 0;
  while (done < head.size()) {
    if (!ArmTimeout(SO_RCVTIMEO, deadline, &receive_armed_)) return {STATUS_IO_TIMEOUT, tail_got};
    // No MSG_WAITALL: a head without data must not wait for the tail.
    iovec parts[2] = {{head.data() + done, head.size() - done}, {tail.data(), tail.size()}};
    const ssize_t got = ReceiveOnce(parts, tail.empty() ? 1 : 2, 0);
    if (got == 0) return {STATUS_CONNECTION_DISCONNECTED, tail_got};
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {STATUS_IO_TIMEOUT, tail_got};
      return {LastError(), tail_got};
    }
    const size_t n = static_cast<size_t>(got);
    const size_t to_head = std::min(n, head.size() - done);
    done += to_head;
    tail_got = n - to_head;
  }
  return {STATUS_SUCCESS, tail_got};
}

NtStatus TcpClient::Disconnect() {
  if (!fd_) return STATUS_SUCCESS;
  NtStatus status = STATUS_SUCCESS;
  if (::shutdown(fd_.get(), SHUT_WR) != 0) status = LastError();
  Close();
  return status;
}

}  // namespace quensaria::platform
