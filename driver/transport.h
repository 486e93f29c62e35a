// The driver's side of the block protocol: a TransportEndpoint (one TCP
// connection of one mounted network disk) and the exchanges on it.
//
// Used only by the worker thread of the device that owns the endpoint, so it
// needs no lock, and a connection carries at most one request at a time.
// Every operation returns an NT status (with its value: NtResult) and writes
// the debug line of its failure. Statuses a caller acts on:
//  - STATUS_INVALID_DEVICE_STATE: the connection was already lost before the
//    exchange began (closed or reset by the peer, or marked lost by an
//    earlier failure); nothing was sent, so the request may be repeated on a
//    new connection.
//  - STATUS_CONNECTION_RESET / STATUS_CONNECTION_DISCONNECTED: the peer reset
//    or closed the connection in the middle of the exchange.
//  - STATUS_IO_TIMEOUT: the reply had not come `reply_timeout` after the
//    request was sent.
//  - STATUS_UNEXPECTED_NETWORK_ERROR: the service refused the read or write,
//    or a reply's data length was not the one asked for.
//  - STATUS_IO_DEVICE_ERROR: the service answered a flush with a failure.
//  - STATUS_WRONG_PASSWORD: the service refused the log-on.
//  - STATUS_EXPORT_NEEDS_TLS / STATUS_EXPORT_NOT_TLS: a plain log-on at an
//    export that speaks TLS, a TLS one at an export that does not.
//
// With options.tls every byte of the block protocol runs inside a TLS
// session (platform/tls_session.h) that LogOn makes on the new connection;
// the handshake is the log-on, so no CMD_LOGIN is sent and no digest
// crosses the wire.
// Any failure that leaves unread or unsent bytes in the stream marks the
// endpoint lost, so the next exchange fails at once with
// STATUS_INVALID_DEVICE_STATE.
#ifndef QUENSARIA_DRIVER_TRANSPORT_H_
#define QUENSARIA_DRIVER_TRANSPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>

#include "platform/tcp_client.h"
#include "platform/tls_session.h"
#include "shared/block_protocol.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

struct TransportOptions {
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds reply_timeout{30000};
  // A flush may take its server long (a sync of much data on a slow disk);
  // TCP keep-alive notices meanwhile if the server's machine is gone.
  std::chrono::milliseconds flush_timeout{600000};
  // A connection whose peer acknowledges nothing for this long, busy or
  // idle, is ended by the kernel (TCP_USER_TIMEOUT and keep-alive).
  std::chrono::milliseconds dead_path_timeout{30000};
  // How long a request whose connection was lost keeps trying to connect
  // and log on again; 0: one attempt.
  std::chrono::milliseconds reconnect_timeout{60000};
  // The export speaks TLS (the mount record's kMountFlagTls).
  bool tls = false;
};

// What a call that hands back a value gives: the value, or the NT status
// (never success) saying why there is none.
template <typename T>
class [[nodiscard]] NtResult {
 public:
  NtResult(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  NtResult(NtStatus status) : status_(status) {}   // NOLINT
  bool ok() const { return status_ == STATUS_SUCCESS; }
  NtStatus status() const { return status_; }
  // REQUIRES: ok().
  const T& value() const& { return value_; }
  T&& value() && { return std::move(value_); }

 private:
  T value_{};
  NtStatus status_ = STATUS_SUCCESS;
};

class TransportEndpoint {
 public:
  // Not connected yet.
  explicit TransportEndpoint(const TransportOptions& options) : options_(options) {}
  // Closes the connection, without the orderly release of Disconnect.
  ~TransportEndpoint();
  TransportEndpoint(const TransportEndpoint&) = delete;
  TransportEndpoint& operator=(const TransportEndpoint&) = delete;

  // Connects (again) to `address`:`port`, both in network byte order as the
  // mount record carries them. Any earlier connection is dropped first.
  NtStatus Connect(uint32_t address, uint16_t port);
  // Orderly release of the connection; the endpoint may be connected again.
  NtStatus Disconnect();

  // CMD_LOGIN with a digest of `length` bytes (must be 20).
  NtStatus Login(const uint8_t* digest, size_t length);
  // The log-on of a connection just made: CMD_LOGIN, or with options.tls the
  // TLS handshake with the digest as the key of identity kTlsIdentityLogin,
  // and when that key is refused once more on a new connection with
  // kTlsIdentityManage (the same digest may be the management password).
  NtStatus LogOn(const uint8_t* digest, size_t length);
  // CMD_QUERY: the disk size and this connection's access level.
  NtResult<QueryData> QueryDevice();
  // CMD_READ of `length` (at most kMaxTransfer) bytes into `destination`, plain.
  // The reply's data is received straight into `destination`, with its header
  // where it can: on failure its contents are unspecified (the stray bytes of
  // a refused or short reply may be in it).
  NtStatus ReadChunk(uint64_t offset, uint32_t length, uint8_t* destination);
  // CMD_WRITE of `length` (at most kMaxTransfer) bytes from `source`.
  NtStatus WriteChunk(uint64_t offset, uint32_t length, const uint8_t* source);
  // CMD_FLUSH: every write the service acknowledged before is durable.
  // `cut_short` is asked while the reply is awaited: once it holds (an
  // unmount or stop waits), the reply is awaited no longer than the reply
  // time-out, not for the rest of the flush time-out.
  // REQUIRES: the service's query set QUERY_FLAG_FLUSH.
  NtStatus FlushWrites(const std::function<bool()>& cut_short = {});
  // CMD_SOURCE_ID: which shared source the service serves (all zero: none).
  // REQUIRES: logged on; the service's query set QUERY_FLAG_SOURCE_ID.
  NtResult<SourceId> QuerySourceId();

  const TransportOptions& options() const { return options_; }
  // For the exchanges from now on (a reconnect bounds its time-outs).
  void set_options(const TransportOptions& options) { options_ = options; }
  bool connected() const { return socket_.connected(); }
  // Connected, and not found lost by an exchange.
  bool up() const { return socket_.connected() && !lost_; }
  // The next exchange fails at once with STATUS_INVALID_DEVICE_STATE.
  void MarkLost() { lost_ = true; }

 private:
  using Clock = platform::TcpClient::Clock;
  // The exchanges, by the words their debug lines begin with.
  enum class Kind { kQuery, kRead, kWrite, kFlush };

  bool Usable();
  NtStatus Send(std::span<const uint8_t> head, std::span<const uint8_t> tail = {});
  NtStatus Receive(std::span<uint8_t> data, Clock::time_point deadline);
  NtStatus Handshake(const char* identity, const uint8_t* digest);
  // The reply's header, and on a plain connection whatever of `data` (where
  // the reply's data goes, if the header allows it) came along with it.
  platform::HeadReceived ReceiveHeader(uint8_t* reply, std::span<uint8_t> data,
                                       Clock::time_point deadline);
  // What an exchange got: the reply header (in the caller's `reply`), and
  // perhaps the start of its data; the rest of the reply is due by `deadline`.
  struct Exchanged {
    NtStatus status = STATUS_SUCCESS;
    Clock::time_point deadline;
    size_t data_got = 0;  // bytes of `data` that came with the header
  };
  // Sends a request and receives the 12-byte reply header, and perhaps the
  // start of its data into `data`.
  // `cut_short`: as FlushWrites's.
  Exchanged Exchange(Kind kind, std::span<const uint8_t> request, std::span<const uint8_t> payload,
                     uint8_t* reply, std::span<uint8_t> data = {},
                     const std::function<bool()>& cut_short = {});
  // Waits until the reply begins to come or `deadline`, asking `cut_short`
  // between short waits; the deadline, brought nearer once it holds.
  Clock::time_point AwaitReply(Clock::time_point deadline, const std::function<bool()>& cut_short);
  // The rest of a reply, `data`, by `deadline`.
  NtStatus ReceiveData(Kind kind, std::span<uint8_t> data, Clock::time_point deadline);

  TransportOptions options_;
  platform::TcpClient socket_;
  std::unique_ptr<platform::TlsSession> tls_;  // over `socket_`, once logged on with TLS
  uint32_t address_ = 0;                       // of the last Connect, network byte order
  uint16_t port_ = 0;
  bool lost_ = false;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_TRANSPORT_H_
