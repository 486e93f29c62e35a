#include "driver/transport.h"

#include <algorithm>

#include "driver/debug_print.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"

namespace quensaria::driver {
namespace {

using Clock = platform::TcpClient::Clock;

// Before anything is sent: a connection that is gone cannot carry the
// exchange, and nothing of it has reached the peer.
bool Usable(TransportEndpoint& endpoint) {
  if (!endpoint.lost && (endpoint.tls ? endpoint.tls->PeerGone() : endpoint.socket.PeerGone())) {
    endpoint.lost = true;
  }
  return !endpoint.lost;
}

// The NT status of a TLS session's failure, as the plain socket's would be.
NtStatus TlsStatus(const Status& status) {
  switch (status.code()) {
    case ERROR_SUCCESS:
      return STATUS_SUCCESS;
    case ERROR_SEM_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case ERROR_NETNAME_DELETED:
      return STATUS_CONNECTION_DISCONNECTED;
    case ERROR_INVALID_PASSWORD:
      return STATUS_WRONG_PASSWORD;
    case ERROR_NOT_SUPPORTED:
      return STATUS_EXPORT_NOT_TLS;
    default:
      return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
}

NtStatus Send(TransportEndpoint& endpoint, std::span<const uint8_t> head,
              std::span<const uint8_t> tail = {}) {
  const Clock::time_point deadline = Clock::now() + endpoint.options.reply_timeout;
  NtStatus status;
  if (endpoint.tls) {
    const Status sent = endpoint.tls->Send(head, tail, deadline);
    if (!sent.ok()) DebugPrint("%s", sent.message().c_str());
    status = TlsStatus(sent);
  } else {
    status = endpoint.socket.Send(head, tail, deadline);
  }
  if (status != STATUS_SUCCESS) endpoint.lost = true;
  return status;
}

NtStatus Receive(TransportEndpoint& endpoint, std::span<uint8_t> data, Clock::time_point deadline) {
  NtStatus status;
  if (endpoint.tls) {
    const Status received = endpoint.tls->Receive(data, deadline);
    if (!received.ok()) DebugPrint("%s", received.message().c_str());
    status = TlsStatus(received);
  } else {
    status = endpoint.socket.Receive(data, deadline);
  }
  if (status != STATUS_SUCCESS) endpoint.lost = true;
  return status;
}

// One TLS handshake on the connection just made, as `identity`.
NtStatus Handshake(TransportEndpoint& endpoint, const char* identity, const uint8_t* digest) {
  auto session = platform::TlsSession::Client(endpoint.socket.descriptor(), identity,
                                              {digest, kDigestSize}, kTlsPriorities);
  if (!session.ok()) {
    DebugPrint("TLS log-on: %s", session.status().message().c_str());
    endpoint.lost = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  // The handshake is the log-on's request and reply: it gets their time.
  const Status shaken = session.value()->Handshake(Clock::now() + endpoint.options.reply_timeout);
  if (!shaken.ok()) {
    DebugPrint("TLS log-on as %s: %s", identity, shaken.message().c_str());
    endpoint.lost = true;
    return TlsStatus(shaken);
  }
  endpoint.tls = std::move(session).value();
  return STATUS_SUCCESS;
}

// The exchanges, by the debug lines their failures write.
enum class Lines { kQuery, kRead, kWrite, kFlush };

void SendError(Lines lines, NtStatus status) {
  switch (lines) {
    case Lines::kQuery:
      return DebugPrint("Query Send Error %X", status);
    case Lines::kRead:
      return DebugPrint("Read Send Error %X", status);
    case Lines::kWrite:
      return DebugPrint("Write send error %X", status);
    case Lines::kFlush:
      return DebugPrint("Flush Send Error %X", status);
  }
}

void RecvError(Lines lines, NtStatus status) {
  switch (lines) {
    case Lines::kQuery:
      return DebugPrint("Query Recv Error %X", status);
    case Lines::kRead:
      return DebugPrint("Read Recv Error %X", status);
    case Lines::kWrite:
      return DebugPrint("Write Recv Error %X", status);
    case Lines::kFlush:
      return DebugPrint("Flush Recv Error %X", status);
  }
}

// Sends a request and receives the 12-byte reply header; *deadline is when
// the rest of the reply must have come.
NtStatus Exchange(TransportEndpoint& endpoint, Lines lines, std::span<const uint8_t> request,
                  std::span<const uint8_t> payload, uint8_t* reply, Clock::time_point* deadline) {
  NtStatus status =
      Usable(endpoint) ? Send(endpoint, request, payload) : STATUS_INVALID_DEVICE_STATE;
  if (status != STATUS_SUCCESS) {
    SendError(lines, status);
    return status;
  }
  const auto wait = lines == Lines::kFlush
                        ? std::max(endpoint.options.flush_timeout, endpoint.options.reply_timeout)
                        : endpoint.options.reply_timeout;
  *deadline = Clock::now() + wait;
  status = Receive(endpoint, {reply, kReplyHeaderSize}, *deadline);
  if (status != STATUS_SUCCESS) RecvError(lines, status);
  return status;
}

}  // namespace

NtStatus OpenEndpoint(const TransportOptions& options,
                      std::unique_ptr<TransportEndpoint>* endpoint) {
  auto created = std::make_unique<TransportEndpoint>();
  created->options = options;
  *endpoint = std::move(created);
  return STATUS_SUCCESS;
}

NtStatus Connect(TransportEndpoint& endpoint, uint32_t address, uint16_t port) {
  endpoint.tls.reset();  // it belongs to the connection dropped now
  endpoint.address = address;
  endpoint.port = port;
  const NtStatus status = endpoint.socket.Connect(address, port, endpoint.options.connect_timeout,
                                                  endpoint.options.dead_path_timeout);
  endpoint.lost = status != STATUS_SUCCESS;
  return status;
}

NtStatus Disconnect(TransportEndpoint& endpoint) {
  if (endpoint.tls && !endpoint.lost) {
    // The peer's orderly end of the session; a peer that takes no more data
    // does not hold the disconnect up.
    (void)endpoint.tls->Bye(
        Clock::now() + std::min(endpoint.options.reply_timeout, std::chrono::milliseconds(1000)));
  }
  endpoint.tls.reset();
  endpoint.lost = true;
  return endpoint.socket.Disconnect();
}

void CloseEndpoint(std::unique_ptr<TransportEndpoint> endpoint) {
  if (!endpoint) return;
  endpoint->tls.reset();
  endpoint->socket.Close();
}

NtStatus Login(TransportEndpoint& endpoint, const uint8_t* digest, size_t length) {
  if (length != kDigestSize) return STATUS_WRONG_PASSWORD;
  uint8_t request[kRequestHeaderSize];
  EncodeLoginRequest(digest, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  const NtStatus status = Exchange(endpoint, Lines::kQuery, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const uint16_t answer = ParseReplyHeader(reply).status;
  if (answer == REPLY_TLS_REQUIRED) {
    endpoint.lost = true;  // the export closes the connection after it
    DebugPrint("Login refused: the export speaks TLS");
    return STATUS_EXPORT_NEEDS_TLS;
  }
  return answer == REPLY_OK ? STATUS_SUCCESS : STATUS_WRONG_PASSWORD;
}

NtStatus LogOn(TransportEndpoint& endpoint, const uint8_t* digest, size_t length) {
  if (!endpoint.options.tls) return Login(endpoint, digest, length);
  if (length != kDigestSize) return STATUS_WRONG_PASSWORD;
  if (!Usable(endpoint)) return STATUS_INVALID_DEVICE_STATE;
  NtStatus status = Handshake(endpoint, kTlsIdentityLogin, digest);
  if (status != STATUS_WRONG_PASSWORD) return status;
  // A failed handshake ends its connection: the second identity gets its own.
  status = Connect(endpoint, endpoint.address, endpoint.port);
  if (status != STATUS_SUCCESS) return status;
  status = Handshake(endpoint, kTlsIdentityManage, digest);
  // An export without a management password may refuse the identity in any
  // way; what the user needs to hear is still that the password is wrong.
  if (status == STATUS_EXPORT_NOT_TLS || status == STATUS_UNEXPECTED_NETWORK_ERROR) {
    return STATUS_WRONG_PASSWORD;
  }
  return status;
}

NtStatus QueryDevice(TransportEndpoint& endpoint, QueryData* query) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize + kQueryDataSize];
  Clock::time_point deadline;
  NtStatus status = Exchange(endpoint, Lines::kQuery, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.data_length != kQueryDataSize) {
    // Whatever data follows belongs to no request we know how to read.
    if (header.data_length != 0) endpoint.lost = true;
    DebugPrint("Query Device Information error !");
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  status = Receive(endpoint, {reply + kReplyHeaderSize, kQueryDataSize}, deadline);
  if (status != STATUS_SUCCESS) {
    RecvError(Lines::kQuery, status);
    return status;
  }
  *query = ParseQueryData(reply + kReplyHeaderSize);
  DebugPrint("device size is %ld %d %d", static_cast<long>(query->disk_size), 0,
             static_cast<int>(header.data_length));
  return STATUS_SUCCESS;
}

NtStatus ReadChunk(TransportEndpoint& endpoint, uint64_t offset, uint32_t length,
                   uint8_t* destination) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_READ, offset, length}, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  NtStatus status = Exchange(endpoint, Lines::kRead, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK || header.data_length != length) {
    // A refusal carries no data; any other length leaves bytes we cannot place.
    if (header.data_length != 0) endpoint.lost = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  // Straight into the caller's buffer, then decoded in place: no extra copy.
  status = Receive(endpoint, {destination, length}, deadline);
  if (status != STATUS_SUCCESS) {
    RecvError(Lines::kRead, status);
    return status;
  }
  Descramble(destination, length);
  return STATUS_SUCCESS;
}

NtStatus WriteChunk(TransportEndpoint& endpoint, uint64_t offset, uint32_t length,
                    const uint8_t* source) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, offset, length}, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  // Header and payload leave in one gathered send, without copying the data.
  const NtStatus status =
      Exchange(endpoint, Lines::kWrite, request, {source, length}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK) return STATUS_UNEXPECTED_NETWORK_ERROR;
  if (header.data_length != 0) endpoint.lost = true;
  return STATUS_SUCCESS;
}

NtStatus FlushWrites(TransportEndpoint& endpoint) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  const NtStatus status = Exchange(endpoint, Lines::kFlush, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.data_length != 0) endpoint.lost = true;
  return header.status == REPLY_OK ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NtStatus QuerySourceId(TransportEndpoint& endpoint, SourceId* id) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_SOURCE_ID, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  NtStatus status = Exchange(endpoint, Lines::kQuery, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK || header.data_length != kSourceIdSize) {
    if (header.data_length != 0) endpoint.lost = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  status = Receive(endpoint, {id->data(), id->size()}, deadline);
  if (status != STATUS_SUCCESS) RecvError(Lines::kQuery, status);
  return status;
}

}  // namespace quensaria::driver
