// SocketPort: a completion port for socket receives and sends, built on
// epoll. A socket operation is started on a connection's SocketOperation
// record; when it can finish at once it does so and its result goes straight
// back to the starter, otherwise the socket is armed (EPOLLONESHOT) and
// exactly one thread in Wait performs the transfer once the socket is ready
// and gets the completion. So one connection has one operation outstanding
// and its completion is handled by one thread. A socket joins the port with
// its first armed operation, never before: the kernel reports a reset or a
// hang-up of a registered socket even when nothing is armed, and no waiter
// may see a connection its starter is still setting up.
//
// Threads: any number of threads may Wait; Start is called by whichever
// thread handles the connection. After a Start that returns kPending the
// starter must not touch the record: another thread may own it already.
#ifndef QUENSARIA_PLATFORM_SOCKET_PORT_H_
#define QUENSARIA_PLATFORM_SOCKET_PORT_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

// What a layer's transfer did: bytes and errno as ReceiveSome/SendSome
// give them (EAGAIN when the transfer must wait, bytes 0 on a receive when
// the peer closed) and, for a failure, the call that failed, for the log.
struct LayerTransfer {
  size_t bytes = 0;
  int error = 0;
  const char* failed_call = nullptr;

  // A socket call's result, named `call` where it failed.
  static LayerTransfer Of(Transfer t, const char* call) {
    return {t.bytes, t.error, t.error != 0 && t.error != EAGAIN ? call : nullptr};
  }
};

// A layer between the port and the socket (a TLS session): the port moves
// bytes through it instead of recv/send. Called by the thread that owns the
// operation, one call at a time.
class StreamLayer {
 public:
  virtual ~StreamLayer() = default;
  virtual LayerTransfer Receive(uint8_t* data, size_t length) = 0;
  virtual LayerTransfer Send(const uint8_t* data, size_t length) = 0;
  // Bytes the layer holds already, which no readiness of the socket announces.
  virtual bool HasBuffered() const = 0;
  // After EAGAIN: whether the layer waits to write (else to read), whatever
  // the operation's kind.
  virtual bool WaitsToWrite(bool sending) const = 0;
};

// The receive or send in flight on one connection.
struct SocketOperation {
  enum class Kind : uint8_t { kNone, kReceive, kSend };
  int socket = -1;
  void* key = nullptr;  // handed back with each completion
  Kind kind = Kind::kNone;
  uint8_t* data = nullptr;  // transfer descriptor
  size_t length = 0;
  StreamLayer* layer = nullptr;  // null: plain recv/send on the socket
  // Orders the starter's writes to the connection's records before the
  // waiter's reads: released just before arming, acquired on taking. The
  // kernel hands the socket itself over, which race detectors cannot see;
  // under ThreadSanitizer arming and taking also go through `tsan_handoff`
  // (elsewhere it would cost a contended lock per request).
  std::atomic<uint32_t> handoff{0};
  std::mutex tsan_handoff;
  bool registered = false;  // the socket is in the port (owner's field)
  // The system call behind the last failure the port reported for this
  // record ("recv", "send" or "epoll_ctl"), for log lines.
  const char* failed_call = nullptr;
};

struct SocketCompletion {
  void* key = nullptr;  // null: the empty completion of PostShutdown
  SocketOperation* operation = nullptr;
  size_t bytes = 0;  // 0 on a receive: the peer has closed
  int error = 0;     // errno of a failed transfer (operation->failed_call names the call)
};

enum class StartResult {
  kCompleted,  // done at once: `bytes` moved, nothing is queued
  kPending,    // armed: its completion will come out of Wait
  kFailed,     // failed at once (`error`): nothing is queued
};

// What became of a started transfer. The errno stays a plain number so that
// the engine's request path makes no Status (nor its message).
struct Started {
  StartResult result = StartResult::kPending;
  size_t bytes = 0;  // kCompleted: bytes moved (0 on a receive: the peer has closed)
  int error = 0;     // kFailed: the errno (operation->failed_call names the call)
};

class SocketPort {
 public:
  static Result<std::unique_ptr<SocketPort>> Create();
  SocketPort(const SocketPort&) = delete;
  SocketPort& operator=(const SocketPort&) = delete;

  // Starts a transfer of op.data/op.length of kind op.kind. With `try_now`
  // the transfer is tried first and armed only when it would block. The
  // first arm of a socket registers it with the port; a kFailed start has
  // left nothing registered or armed.
  Started Start(SocketOperation& op, bool try_now);

  // Tries the transfer once: kCompleted or kFailed as Start would say, or
  // nothing when it would block (then nothing is armed and the caller still
  // owns the record).
  std::optional<Started> Try(SocketOperation& op);

  // Tries the transfer again and again for up to `limit`: kCompleted or
  // kFailed as Start would say, or nothing when it would still block (then
  // nothing is armed and the caller still owns the record). For a peer that
  // is expected to answer within microseconds, the caller serves it without
  // a trip through the port and its wake-up.
  std::optional<Started> Poll(SocketOperation& op, std::chrono::microseconds limit);

  // Blocks for the next completion, or fails when the wait itself failed (no
  // connection is concerned; the message is the errno and its text).
  Result<SocketCompletion> Wait();

  // From now on every Wait returns an empty completion at once.
  void PostShutdown();

  int handle() const { return epoll_.get(); }

 private:
  SocketPort(UniqueFd epoll, UniqueFd wake);
  int Arm(SocketOperation& op);

  UniqueFd epoll_;
  UniqueFd wake_;  // eventfd, readable once shutdown is posted
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SOCKET_PORT_H_
