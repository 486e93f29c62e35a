// The driver's side of the block protocol: a TransportEndpoint (one TCP
// connection of one mounted network disk) and the four exchanges on it.
//
// Used only by the worker thread of the device that owns the endpoint, so it
// needs no lock, and a connection carries at most one request at a time.
// Every operation returns an NT status and writes the debug line of its
// failure. Statuses a caller acts on:
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
#include <memory>

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

struct TransportEndpoint {
  TransportOptions options;
  platform::TcpClient socket;
  std::unique_ptr<platform::TlsSession> tls;  // over `socket`, once logged on with TLS
  uint32_t address = 0;                       // of the last Connect, network byte order
  uint16_t port = 0;
  bool lost = false;
};

// Creates an endpoint that is not connected yet.
NtStatus OpenEndpoint(const TransportOptions& options,
                      std::unique_ptr<TransportEndpoint>* endpoint);
// Connects (again) to `address`:`port`, both in network byte order as the
// mount record carries them. Any earlier connection is dropped first.
NtStatus Connect(TransportEndpoint& endpoint, uint32_t address, uint16_t port);
// Orderly release of the connection; the endpoint may be connected again.
NtStatus Disconnect(TransportEndpoint& endpoint);
void CloseEndpoint(std::unique_ptr<TransportEndpoint> endpoint);

// CMD_LOGIN with a digest of `length` bytes (must be 20).
NtStatus Login(TransportEndpoint& endpoint, const uint8_t* digest, size_t length);
// The log-on of a connection just made: CMD_LOGIN, or with options.tls the
// TLS handshake with the digest as the key of identity kTlsIdentityLogin,
// and when that key is refused once more on a new connection with
// kTlsIdentityManage (the same digest may be the management password).
NtStatus LogOn(TransportEndpoint& endpoint, const uint8_t* digest, size_t length);
// CMD_QUERY: the disk size and this connection's access level.
NtStatus QueryDevice(TransportEndpoint& endpoint, QueryData* query);
// CMD_READ of `length` (at most kMaxTransfer) bytes into `destination`, plain.
NtStatus ReadChunk(TransportEndpoint& endpoint, uint64_t offset, uint32_t length,
                   uint8_t* destination);
// CMD_WRITE of `length` (at most kMaxTransfer) bytes from `source`.
NtStatus WriteChunk(TransportEndpoint& endpoint, uint64_t offset, uint32_t length,
                    const uint8_t* source);
// CMD_FLUSH: every write the service acknowledged before is durable.
// REQUIRES: the service's query set QUERY_FLAG_FLUSH.
NtStatus FlushWrites(TransportEndpoint& endpoint);
// CMD_SOURCE_ID: which shared source the service serves (all zero: none).
// REQUIRES: logged on; the service's query set QUERY_FLAG_SOURCE_ID.
NtStatus QuerySourceId(TransportEndpoint& endpoint, SourceId* id);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_TRANSPORT_H_
