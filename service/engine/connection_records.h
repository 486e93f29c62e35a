// The records of one accepted connection: Connection (who the peer is, its
// access level and log-on, the file transfer in flight) and ConnectionBuffer
// (the socket operation in flight and the connection's one buffer, which
// holds each request and then its reply).
//
// Both are created when a connection is admitted and freed after it closed,
// once no operation of it is pending. Only one operation of a connection is
// outstanding at a time, so only the thread handling that operation touches
// the records; they need no lock.
//
// Readers who know the records by their completion-port names:
// PER_SOCKET_CONTEXT is Connection, PER_IO_CONTEXT is ConnectionBuffer, the
// socket "overlapped" record is ConnectionBuffer::socket_op and the file one
// is Connection::file_transfer (a FileTransfer).
#ifndef QUENSARIA_SERVICE_ENGINE_CONNECTION_RECORDS_H_
#define QUENSARIA_SERVICE_ENGINE_CONNECTION_RECORDS_H_

#include <chrono>
#include <cstdint>

#include "platform/file_operation_port.h"
#include "platform/socket_port.h"
#include "service/source/shared_sync.h"
#include "shared/block_protocol.h"

namespace quensaria::engine {

// Connection::file_operation
inline constexpr uint32_t kFileRead = 0;
inline constexpr uint32_t kFileWrite = 1;
inline constexpr uint32_t kFileFlush = 2;  // a sync of the source (CMD_FLUSH)
// Connection::tls
inline constexpr uint8_t kTlsOff = 0;        // a plain export
inline constexpr uint8_t kTlsUnsettled = 1;  // a TLS export; the first byte not yet seen
inline constexpr uint8_t kTlsSession = 2;    // the handshake logged it on
inline constexpr uint8_t kTlsMissing = 3;    // a plain client at a TLS export
// ConnectionBuffer::operation
inline constexpr uint32_t kOperationReceive = 1;
inline constexpr uint32_t kOperationSend = 2;

struct ConnectionBuffer {
  // The receive or send in flight; its data/length are the window of the
  // buffer it moves.
  platform::SocketOperation socket_op;
  alignas(64) uint8_t buffer[kConnectionBufferSize];
  uint32_t total = 0;           // bytes the reply in hand must send
  uint32_t bytes_sent = 0;      // of the reply in hand
  uint32_t bytes_received = 0;  // of the request in hand, in the buffer
  uint32_t operation = 0;       // kOperationReceive or kOperationSend
};

// The transfer between the buffer and the source that a request needs, and
// how far it has come.
struct FileTransfer {
  platform::FileOperation port;  // its key leads to the connection
  uint64_t position = 0;         // source offset of the next byte to move
  uint32_t data_offset = 0;      // buffer offset of the transfer's first byte
  uint32_t length = 0;           // bytes the whole transfer moves
  uint32_t done = 0;             // bytes moved so far
};

struct Connection {
  int socket = -1;              // -1 once closed; its value is the connection's stamp
  uint32_t client_address = 0;  // IPv4, network byte order
  uint32_t file_operation = kFileRead;
  uint32_t access = ACCESS_REFUSED;
  uint32_t logged_on = 0;
  // A log-on whose reply is being sent: the engine tells the registry once
  // that reply is out (Drive), so a slow registry never holds up the client.
  bool log_on_to_report = false;
  uint8_t tls = kTlsOff;
  bool close_after_reply = false;  // the reply in hand is the last: then an orderly close
  FileTransfer file_transfer;
  ConnectionBuffer* io = nullptr;

  source::SharedSync::Waiter flush;  // the flush in hand, while it waits for its sync
  RequestHeader request;             // the request in hand, once its header is in
  uint32_t payload_discarded = 0;    // of a write too long for the buffer
  uint32_t stamp = 0;                // the socket handle value, kept after close
  // When the request's first byte came in (only while figures are kept).
  std::chrono::steady_clock::time_point request_started{};
};

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_CONNECTION_RECORDS_H_
