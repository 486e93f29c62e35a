// TcpClient: one blocking IPv4 TCP client connection, used by one thread at a
// time (the driver's per-device worker). Every wait is bounded: the connect by
// its time-out, sends and receives by a deadline the caller gives. Results are
// NT statuses: STATUS_IO_TIMEOUT when a wait runs out,
// STATUS_CONNECTION_DISCONNECTED when the peer closes in the middle of a
// receive, otherwise the errno of the failing call through NtStatusFromErrno
// (a reset is STATUS_CONNECTION_RESET, a refused connect
// STATUS_CONNECTION_REFUSED). A failed call leaves the connection open;
// deciding whether it is still usable is the caller's business.
#ifndef QUENSARIA_PLATFORM_TCP_CLIENT_H_
#define QUENSARIA_PLATFORM_TCP_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/unique_fd.h"
#include "shared/nt_status.h"

struct iovec;

namespace quensaria::platform {

// The start of a reply (TcpClient::ReceiveHead).
struct HeadReceived {
  NtStatus status = STATUS_SUCCESS;
  size_t tail_got = 0;  // bytes of the tail that came with the head
};

class TcpClient {
 public:
  using Clock = std::chrono::steady_clock;

  TcpClient() = default;
  TcpClient(TcpClient&&) = default;
  TcpClient& operator=(TcpClient&&) = default;

  // Connects from any local address to `address`:`port`, both in network byte
  // order, closing any connection held before. Nagle's algorithm is off:
  // requests and replies alternate, so coalescing would only add delay.
  // With a `dead_after` (whole seconds count), the kernel ends the
  // connection (ETIMEDOUT, which PeerGone then sees) once the peer has
  // acknowledged nothing for that long: sent data (TCP_USER_TIMEOUT), or
  // keep-alive probes while the connection is idle.
  NtStatus Connect(uint32_t address, uint16_t port, std::chrono::milliseconds timeout,
                   std::chrono::milliseconds dead_after = {});
  bool connected() const { return fd_.valid(); }

  // True when the peer has closed or reset the connection, or has sent bytes
  // nobody asked for (the stream can no longer be trusted). Never blocks.
  bool PeerGone() const;

  // Sends all of `head` and then all of `tail` (which may be empty) in as few
  // system calls as the socket allows, by `deadline`.
  NtStatus Send(std::span<const uint8_t> head, std::span<const uint8_t> tail,
                Clock::time_point deadline);
  // Receives exactly data.size() bytes by `deadline`.
  NtStatus Receive(std::span<uint8_t> data, Clock::time_point deadline);
  // The start of a reply: all of `head`, and in the same calls whatever of
  // `tail` came with it (its length in tail_got), without waiting for more
  // of `tail`. The caller then receives the rest of `tail`, or, when the
  // head says no such data follows, finds the stream untrustworthy if
  // tail_got is not zero.
  HeadReceived ReceiveHead(std::span<uint8_t> head, std::span<uint8_t> tail,
                           Clock::time_point deadline);

  // Orderly release: sends FIN and closes. Returns the failure of shutdown(2)
  // (for example a connection the peer has already reset), else success.
  NtStatus Disconnect();
  // Closes without ceremony. Idempotent.
  void Close() { fd_.Reset(); }

  // The socket, for a TLS session over it; -1 when not connected.
  int descriptor() const { return fd_.get(); }
  // The socket, so that a test can look at its options.
  int DescriptorForTesting() const { return fd_.get(); }

 private:
  // Points SO_RCVTIMEO or SO_SNDTIMEO at the time left before `deadline`
  // (ArmSocketTimeout); false when none is left or it cannot be set.
  bool ArmTimeout(int option, Clock::time_point deadline, Clock::duration* armed);
  // One recvmsg(2) into `parts`; -1 with errno on failure.
  ssize_t ReceiveOnce(iovec* parts, size_t count, int flags);

  UniqueFd fd_;
  Clock::duration receive_armed_{};
  Clock::duration send_armed_{};
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_TCP_CLIENT_H_
