#include "driver/transport.h"

#include <algorithm>

#include "driver/debug_print.h"
#include "shared/scramble.h"

namespace quensaria::driver {
namespace {

using Clock = platform::TcpClient::Clock;

// Before anything is sent: a connection that is gone cannot carry the
// exchange, and nothing of it has reached the peer.
bool Usable(TransportEndpoint& endpoint) {
  if (!endpoint.lost && endpoint.socket.PeerGone()) endpoint.lost = true;
  return !endpoint.lost;
}

NtStatus Send(TransportEndpoint& endpoint, std::span<const uint8_t> head,
              std::span<const uint8_t> tail = {}) {
  const NtStatus status =
      endpoint.socket.Send(head, tail, Clock::now() + endpoint.options.reply_timeout);
  if (status != STATUS_SUCCESS) endpoint.lost = true;
  return status;
}

NtStatus Receive(TransportEndpoint& endpoint, std::span<uint8_t> data, Clock::time_point deadline) {
  const NtStatus status = endpoint.socket.Receive(data, deadline);
  if (status != STATUS_SUCCESS) endpoint.lost = true;
  return status;
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
  const NtStatus status = endpoint.socket.Connect(address, port, endpoint.options.connect_timeout,
                                                  endpoint.options.dead_path_timeout);
  endpoint.lost = status != STATUS_SUCCESS;
  return status;
}

NtStatus Disconnect(TransportEndpoint& endpoint) {
  endpoint.lost = true;
  return endpoint.socket.Disconnect();
}

void CloseEndpoint(std::unique_ptr<TransportEndpoint> endpoint) {
  if (endpoint) endpoint->socket.Close();
}

NtStatus Login(TransportEndpoint& endpoint, const uint8_t* digest, size_t length) {
  if (length != kDigestSize) return STATUS_WRONG_PASSWORD;
  uint8_t request[kRequestHeaderSize];
  EncodeLoginRequest(digest, request);
  uint8_t reply[kReplyHeaderSize];
  Clock::time_point deadline;
  const NtStatus status = Exchange(endpoint, Lines::kQuery, request, {}, reply, &deadline);
  if (status != STATUS_SUCCESS) return status;
  return ParseReplyHeader(reply).status == REPLY_OK ? STATUS_SUCCESS : STATUS_WRONG_PASSWORD;
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
