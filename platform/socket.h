// TCP sockets of the connection engine: the steps of bringing up a
// listening socket (each reports its own error so the caller can log it),
// accepting, abortive closes and non-blocking transfers. IPv4 only.
// Bringing up, accepting, connecting, the blocking loops of tests and tools
// and SetAbortiveClose fail with a Status whose code is the Win32 error and
// whose message is the system's number and text as the console's socket
// lines show them ("98 Address already in use"); IsConnectionReset and
// IsConnectionClosed tell apart the two ends a loop's caller expects. The
// non-blocking transfers of the engine report errno values (a Transfer),
// EAGAIN among them, so that its request path makes no Status. Addresses are
// in network byte order.
#ifndef QUENSARIA_PLATFORM_SOCKET_H_
#define QUENSARIA_PLATFORM_SOCKET_H_

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/source_file.h"
#include "platform/unique_fd.h"
#include "shared/status.h"

struct addrinfo;

namespace quensaria::platform {

// The wildcard IPv4 address for `service` (a port number as text), as
// getaddrinfo resolves it for a passive stream socket.
class PassiveAddress {
 public:
  // Success (the address may still be empty), or a failure whose message is
  // getaddrinfo's code (EAI_...) and its text.
  Status Resolve(const std::string& service);
  bool empty() const { return info_ == nullptr; }
  ~PassiveAddress();

 private:
  friend Result<UniqueFd> CreateSocket(const PassiveAddress&);
  friend Status BindSocket(int, const PassiveAddress&);
  ::addrinfo* info_ = nullptr;
};

// REQUIRES: `address` resolved and not empty.
Result<UniqueFd> CreateSocket(const PassiveAddress& address);
// Binds (with SO_REUSEADDR, which on Linux still refuses a port that another
// socket listens on).
Status BindSocket(int socket, const PassiveAddress& address);
// The largest backlog listen() takes (net.core.somaxconn caps it further).
inline constexpr int kMaxListenBacklog = SOMAXCONN;
Status ListenSocket(int socket, int backlog);
// The local port a bound socket got, in host order.
uint16_t LocalPort(int socket);
// Makes an accept() blocked on `socket` in another thread return.
void WakeListener(int socket);

// Makes accepting on `listener` say kNoneWaiting instead of waiting.
Status SetNonBlockingListener(int listener);
// Waits until `listener` has a connection to accept, or WakeListener was
// called (the accept that follows then fails): true, false once `timeout`
// has passed, or the failure of the wait.
Result<bool> WaitForConnection(int listener, std::chrono::milliseconds timeout);

// One try at taking a connection from a listener that is fine.
struct Accepted {
  enum class Outcome {
    kConnection,        // `socket` and `peer` hold it
    kNoneWaiting,       // a non-blocking listener's queue is empty
    kConnectionFailed,  // that connection alone failed; accepting may go on
    kOutOfDescriptors,  // the connection waits in the queue until some close
  };
  Outcome outcome = Outcome::kConnection;
  UniqueFd socket;
  uint32_t peer = 0;
  Status error;  // why, for the two failures (ok otherwise)
};
// Takes a connection (or waits for one, on a blocking listener). The new
// socket is non-blocking, close-on-exec, with Nagle's delay off. Fails only
// when the listener itself is broken (or woken by WakeListener).
Result<Accepted> AcceptConnection(int listener);

// Linger on with time 0, so that closing resets the connection.
Status SetAbortiveClose(int socket);
// Ends both directions of the connection but keeps the descriptor: an
// operation waiting on it wakes up, a receive finds the end, a send fails.
void ShutdownConnection(int socket);
// The start of an orderly close after a last reply: the end of the stream
// is sent and what the peer sent that was never read (a TLS client's hello
// at a plain export) is read away, so closing does not reset the
// connection and throw the reply away. Never waits.
void DrainAndFinish(int socket);
// Resets the connection now (linger 0, then a disconnect) but keeps the
// descriptor, so a thread still using it meets an error, never another file.
void ResetConnection(int socket);

// One non-blocking transfer: EAGAIN when it would block; 0 bytes received
// means the peer has closed. Sends never raise SIGPIPE.
Transfer ReceiveSome(int socket, void* data, size_t length);
Transfer SendSome(int socket, const void* data, size_t length);
// The same for a gather list (`iov` is struct iovec[count]).
Transfer SendSomeVector(int socket, const void* iov, int count);

// A connected blocking client socket (tests and tools), bound first to
// `local` (network order, 0 for any) so one host can play several clients.
Result<UniqueFd> ConnectTcp(uint32_t local, uint32_t remote, uint16_t port);
// Blocking loops over a blocking socket: all of `length` moved, or the
// failure (a receive that meets the end of the stream fails as a closed
// connection).
Status SendAll(int socket, const void* data, size_t length);
// Sends `first` then `second` as one stream, in as few system calls as the
// kernel allows (no copy into one buffer).
Status SendAll(int socket, const void* first, size_t first_length, const void* second,
               size_t second_length);
Status ReceiveAll(int socket, void* data, size_t length);
// Receives into `first` (exactly first_length bytes, waiting for them) and
// then whatever is already there for `second`, up to second_length, in one
// call where the data has come: the bytes placed in `second`, or the
// failure ReceiveAll would give.
Result<size_t> ReceiveSplit(int socket, void* first, size_t first_length, void* second,
                            size_t second_length);

// For a failure of the loops above: the connection was reset (ECONNRESET,
// or the network's ENETRESET and ENOTCONN, which share its code).
bool IsConnectionReset(const Status& failure);
// The same for a connection that ended in order: the end of the stream met
// while receiving, or a send on a connection already shut (EPIPE).
bool IsConnectionClosed(const Status& failure);

// IPv4 a.b.c.d in network byte order.
constexpr uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(c) << 16 |
         static_cast<uint32_t>(d) << 24;
}

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SOCKET_H_
