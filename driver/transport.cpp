#include "driver/transport.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/debug_print.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"

namespace quensaria::driver {
namespace {

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

// The debug lines of a failed send and a failed receive, by exchange kind.
struct FailureLines {
  const char* send;
  const char* receive;
};
constexpr FailureLines kFailureLines[] = {
    {"Query Send Error", "Query Recv Error"},
    {"Read Send Error", "Read Recv Error"},
    {"Write send error", "Write Recv Error"},
    {"Flush Send Error", "Flush Recv Error"},
};

}  // namespace

// Before anything is sent: a connection that is gone cannot carry the
// exchange, and nothing of it has reached the peer.
bool TransportEndpoint::Usable() {
  if (!lost_ && (tls_ ? tls_->PeerGone() : socket_.PeerGone())) lost_ = true;
  return !lost_;
}

NtStatus TransportEndpoint::Send(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  const Clock::time_point deadline = Clock::now() + options_.reply_timeout;
  NtStatus status;
  if (tls_) {
    const Status sent = tls_->Send(head, tail, deadline);
    if (!sent.ok()) DebugPrint("%s", sent.message().c_str());
    status = TlsStatus(sent);
  } else {
    status = socket_.Send(head, tail, deadline);
  }
  if (status != STATUS_SUCCESS) lost_ = true;
  return status;
}

NtStatus TransportEndpoint::Receive(std::span<uint8_t> data, Clock::time_point deadline) {
  NtStatus status;
  if (tls_) {
    const Status received = tls_->Receive(data, deadline);
    if (!received.ok()) DebugPrint("%s", received.message().c_str());
    status = TlsStatus(received);
  } else {
    status = socket_.Receive(data, deadline);
  }
  if (status != STATUS_SUCCESS) lost_ = true;
  return status;
}

// One TLS handshake on the connection just made, as `identity`.
NtStatus TransportEndpoint::Handshake(const char* identity, const uint8_t* digest) {
  auto session = platform::TlsSession::Client(socket_.descriptor(), identity, {digest, kDigestSize},
                                              kTlsPriorities);
  if (!session.ok()) {
    DebugPrint("TLS log-on: %s", session.status().message().c_str());
    lost_ = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  // The handshake is the log-on's request and reply: it gets their time.
  const Status shaken = session.value()->Handshake(Clock::now() + options_.reply_timeout);
  if (!shaken.ok()) {
    DebugPrint("TLS log-on as %s: %s", identity, shaken.message().c_str());
    lost_ = true;
    return TlsStatus(shaken);
  }
  tls_ = std::move(session).value();
  return STATUS_SUCCESS;
}

platform::HeadReceived TransportEndpoint::ReceiveHeader(uint8_t* reply, std::span<uint8_t> data,
                                                        Clock::time_point deadline) {
  if (tls_) return {Receive({reply, kReplyHeaderSize}, deadline), 0};
  const platform::HeadReceived received =
      socket_.ReceiveHead({reply, kReplyHeaderSize}, data, deadline);
  if (received.status != STATUS_SUCCESS) lost_ = true;
  return received;
}

TransportEndpoint::Clock::time_point TransportEndpoint::AwaitReply(
    Clock::time_point deadline, const std::function<bool()>& cut_short) {
  // Short enough that an unmount or stop hardly waits for the look.
  constexpr auto kLook = std::chrono::milliseconds(200);
  for (;;) {
    if (cut_short()) return std::min(deadline, Clock::now() + options_.reply_timeout);
    const auto now = Clock::now();
    if (now >= deadline) return deadline;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        std::min<Clock::duration>(deadline - now, kLook));
    // Readable, closed or failed: the receive that follows tells which.
    pollfd p{socket_.descriptor(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return deadline;
  }
}

TransportEndpoint::Exchanged TransportEndpoint::Exchange(Kind kind,
                                                         std::span<const uint8_t> request,
                                                         std::span<const uint8_t> payload,
                                                         uint8_t* reply, std::span<uint8_t> data,
                                                         const std::function<bool()>& cut_short) {
  Exchanged exchanged;
  exchanged.status = Usable() ? Send(request, payload) : STATUS_INVALID_DEVICE_STATE;
  if (exchanged.status != STATUS_SUCCESS) {
    DebugPrint("%s %X", kFailureLines[static_cast<int>(kind)].send, exchanged.status);
    return exchanged;
  }
  const auto wait = kind == Kind::kFlush ? std::max(options_.flush_timeout, options_.reply_timeout)
                                         : options_.reply_timeout;
  exchanged.deadline = Clock::now() + wait;
  if (cut_short) exchanged.deadline = AwaitReply(exchanged.deadline, cut_short);
  // With no `data` to take it, nothing comes along with the header.
  const platform::HeadReceived received = ReceiveHeader(reply, data, exchanged.deadline);
  exchanged.status = received.status;
  exchanged.data_got = received.tail_got;
  if (exchanged.status != STATUS_SUCCESS) {
    DebugPrint("%s %X", kFailureLines[static_cast<int>(kind)].receive, exchanged.status);
  }
  return exchanged;
}

NtStatus TransportEndpoint::ReceiveData(Kind kind, std::span<uint8_t> data,
                                        Clock::time_point deadline) {
  const NtStatus status = Receive(data, deadline);
  if (status != STATUS_SUCCESS) {
    DebugPrint("%s %X", kFailureLines[static_cast<int>(kind)].receive, status);
  }
  return status;
}

TransportEndpoint::~TransportEndpoint() {
  tls_.reset();
  socket_.Close();
}

NtStatus TransportEndpoint::Connect(uint32_t address, uint16_t port) {
  tls_.reset();  // it belongs to the connection dropped now
  address_ = address;
  port_ = port;
  const NtStatus status =
      socket_.Connect(address, port, options_.connect_timeout, options_.dead_path_timeout);
  lost_ = status != STATUS_SUCCESS;
  return status;
}

NtStatus TransportEndpoint::Disconnect() {
  if (tls_ && !lost_) {
    // The peer's orderly end of the session; a peer that takes no more data
    // does not hold the disconnect up.
    (void)tls_->Bye(Clock::now() +
                    std::min(options_.reply_timeout, std::chrono::milliseconds(1000)));
  }
  tls_.reset();
  lost_ = true;
  return socket_.Disconnect();
}

NtStatus TransportEndpoint::Login(const uint8_t* digest, size_t length) {
  if (length != kDigestSize) return STATUS_WRONG_PASSWORD;
  uint8_t request[kRequestHeaderSize];
  EncodeLoginRequest(digest, request);
  uint8_t reply[kReplyHeaderSize];
  const NtStatus status = Exchange(Kind::kQuery, request, {}, reply).status;
  explicit_bzero(request, sizeof request);  // it carried the digest
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  const uint16_t answer = header.status;
  if (header.data_length != 0) {
    // A log-on reply has no data: what follows would pass for the next reply.
    lost_ = true;
    DebugPrint("Login reply with %u data bytes", static_cast<unsigned>(header.data_length));
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  if (answer == REPLY_TLS_REQUIRED) {
    lost_ = true;  // the export closes the connection after it
    DebugPrint("Login refused: the export speaks TLS");
    return STATUS_EXPORT_NEEDS_TLS;
  }
  return answer == REPLY_OK ? STATUS_SUCCESS : STATUS_WRONG_PASSWORD;
}

NtStatus TransportEndpoint::LogOn(const uint8_t* digest, size_t length) {
  if (!options_.tls) return Login(digest, length);
  if (length != kDigestSize) return STATUS_WRONG_PASSWORD;
  if (!Usable()) return STATUS_INVALID_DEVICE_STATE;
  NtStatus status = Handshake(kTlsIdentityLogin, digest);
  if (status != STATUS_WRONG_PASSWORD) return status;
  // A failed handshake ends its connection: the second identity gets its own.
  status = Connect(address_, port_);
  if (status != STATUS_SUCCESS) return status;
  status = Handshake(kTlsIdentityManage, digest);
  // An export without a management password may refuse the identity in any
  // way; what the user needs to hear is still that the password is wrong.
  if (status == STATUS_EXPORT_NOT_TLS || status == STATUS_UNEXPECTED_NETWORK_ERROR) {
    return STATUS_WRONG_PASSWORD;
  }
  return status;
}

NtResult<QueryData> TransportEndpoint::QueryDevice() {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize + kQueryDataSize];
  const Exchanged exchanged =
      Exchange(Kind::kQuery, request, {}, reply, {reply + kReplyHeaderSize, kQueryDataSize});
  if (exchanged.status != STATUS_SUCCESS) return exchanged.status;
  const size_t got = exchanged.data_got;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK || header.data_length != kQueryDataSize) {
    // Whatever data follows belongs to no request we know how to read.
    if (header.data_length != 0 || got != 0) lost_ = true;
    DebugPrint("Query Device Information error !");
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  const NtStatus status = ReceiveData(
      Kind::kQuery, {reply + kReplyHeaderSize + got, kQueryDataSize - got}, exchanged.deadline);
  if (status != STATUS_SUCCESS) return status;
  const QueryData query = ParseQueryData(reply + kReplyHeaderSize);
  DebugPrint("device size is %ld %d %d", static_cast<long>(query.disk_size), 0,
             static_cast<int>(header.data_length));
  return query;
}

NtStatus TransportEndpoint::ReadChunk(uint64_t offset, uint32_t length, uint8_t* destination) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_READ, offset, length}, request);
  uint8_t reply[kReplyHeaderSize];
  // Straight into the caller's buffer, header and data in one receive where
  // they came together, then decoded in place: no extra copy.
  const Exchanged exchanged = Exchange(Kind::kRead, request, {}, reply, {destination, length});
  if (exchanged.status != STATUS_SUCCESS) return exchanged.status;
  const size_t got = exchanged.data_got;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK || header.data_length != length) {
    // A refusal carries no data; any other length leaves bytes we cannot place.
    if (header.data_length != 0 || got != 0) lost_ = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  const NtStatus status =
      ReceiveData(Kind::kRead, {destination + got, length - got}, exchanged.deadline);
  if (status != STATUS_SUCCESS) return status;
  Descramble(destination, length);
  return STATUS_SUCCESS;
}

NtStatus TransportEndpoint::WriteChunk(uint64_t offset, uint32_t length, const uint8_t* source) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, offset, length}, request);
  uint8_t reply[kReplyHeaderSize];
  // Header and payload leave in one gathered send, without copying the data.
  const NtStatus status = Exchange(Kind::kWrite, request, {source, length}, reply).status;
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  // Data after a write reply, refused or not, would pass for the next reply.
  if (header.data_length != 0) lost_ = true;
  return header.status == REPLY_OK ? STATUS_SUCCESS : STATUS_UNEXPECTED_NETWORK_ERROR;
}

NtStatus TransportEndpoint::FlushWrites(const std::function<bool()>& cut_short) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize];
  const NtStatus status = Exchange(Kind::kFlush, request, {}, reply, {}, cut_short).status;
  if (status != STATUS_SUCCESS) return status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.data_length != 0) lost_ = true;
  return header.status == REPLY_OK ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NtResult<SourceId> TransportEndpoint::QuerySourceId() {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_SOURCE_ID, 0, 0}, request);
  uint8_t reply[kReplyHeaderSize];
  const Exchanged exchanged = Exchange(Kind::kQuery, request, {}, reply);
  if (exchanged.status != STATUS_SUCCESS) return exchanged.status;
  const ReplyHeader header = ParseReplyHeader(reply);
  if (header.status != REPLY_OK || header.data_length != kSourceIdSize) {
    if (header.data_length != 0) lost_ = true;
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  }
  SourceId id;
  const NtStatus status = ReceiveData(Kind::kQuery, {id.data(), id.size()}, exchanged.deadline);
  if (status != STATUS_SUCCESS) return status;
  return id;
}

}  // namespace quensaria::driver
