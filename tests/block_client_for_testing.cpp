#include "tests/block_client_for_testing.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <span>

#include "platform/socket.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"
#include "shared/win32_error.h"

namespace quensaria::testing {
namespace {

// Longer than any test waits for a server's answer.
constexpr auto kTlsPatience = std::chrono::seconds(60);

platform::TlsSession::Clock::time_point TlsDeadline() {
  return platform::TlsSession::Clock::now() + kTlsPatience;
}

// A session's or a connect's failure as the plain socket calls would report it.
int ErrnoOf(const Status& status) {
  if (status.ok()) return 0;
  switch (status.code()) {
    case ERROR_CONNECTION_REFUSED:
      return ECONNREFUSED;
    case ERROR_NETNAME_DELETED:
      return EPIPE;
    case ERROR_SEM_TIMEOUT:
      return ETIMEDOUT;
    default:
      return ECONNRESET;
  }
}

// A failure of the plain socket loops as the errno of the system call.
int ErrnoOfSocket(const Status& status) {
  if (status.ok()) return 0;
  if (platform::IsConnectionReset(status)) return ECONNRESET;
  if (platform::IsConnectionClosed(status)) return EPIPE;
  return EIO;
}

}  // namespace

int BlockClient::Connect(uint16_t port, uint32_t local) {
  Close();
  Result<platform::UniqueFd> connected =
      platform::ConnectTcp(local, platform::Ipv4(127, 0, 0, 1), port);
  if (!connected.ok()) return ErrnoOf(connected.status());
  socket_ = std::move(connected).value();
  return 0;
}

int BlockClient::ConnectTls(uint16_t port, const std::string& identity,
                            const std::array<uint8_t, kDigestSize>& key, uint32_t local) {
  if (const int error = Connect(port, local)) return error;
  auto session = platform::TlsSession::Client(socket_.get(), identity, key, kTlsPriorities);
  if (!session.ok()) {
    handshake_status_ = session.status();
    return ENOMEM;
  }
  tls_ = std::move(session).value();
  handshake_status_ = tls_->Handshake(TlsDeadline());
  return handshake_status_.ok() ? 0 : EACCES;
}

void BlockClient::Close() {
  tls_.reset();
  socket_.Reset();
}

int BlockClient::Send(const uint8_t* head, size_t head_length, const uint8_t* tail,
                      size_t tail_length) {
  if (tls_) {
    return ErrnoOf(tls_->Send({head, head_length}, {tail, tail_length}, TlsDeadline()));
  }
  return ErrnoOfSocket(platform::SendAll(socket_.get(), head, head_length, tail, tail_length));
}

int BlockClient::SendBytes(const void* data, size_t length) {
  return Send(static_cast<const uint8_t*>(data), length);
}

int BlockClient::ReceiveBytes(void* data, size_t length) {
  if (tls_) {
    return ErrnoOf(tls_->Receive({static_cast<uint8_t*>(data), length}, TlsDeadline()));
  }
  return ErrnoOfSocket(platform::ReceiveAll(socket_.get(), data, length));
}

Exchange BlockClient::ReceiveReply(std::vector<uint8_t>* data) {
  Exchange x;
  uint8_t header[kReplyHeaderSize];
  if ((x.error = ReceiveBytes(header, sizeof header)) != 0) return x;
  x.reply = ParseReplyHeader(header);
  std::vector<uint8_t> sink;
  std::vector<uint8_t>& out = data ? *data : sink;
  out.resize(x.reply.data_length);
  if (x.reply.data_length > 0) x.error = ReceiveBytes(out.data(), out.size());
  return x;
}

Exchange BlockClient::Login(const std::string& password) {
  uint8_t request[kRequestHeaderSize];
  EncodeLoginRequest(PasswordDigest(password).data(), request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  return ReceiveReply();
}

Exchange BlockClient::Query(QueryData& query) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  std::vector<uint8_t> data;
  x = ReceiveReply(&data);
  if (x.error == 0 && data.size() == kQueryDataSize) query = ParseQueryData(data.data());
  return x;
}

Exchange BlockClient::ReadInto(uint64_t offset, uint32_t length, uint8_t* data) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_READ, offset, length}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  // The header and whatever data came with it arrive in one call, the data
  // straight into the caller's buffer; it is de-scrambled there.
  uint8_t header[kReplyHeaderSize];
  size_t early = 0;
  if (tls_) {
    x.error = ReceiveBytes(header, sizeof header);
  } else {
    const Result<size_t> split =
        platform::ReceiveSplit(socket_.get(), header, sizeof header, data, length);
    x.error = ErrnoOfSocket(split.status());
    if (split.ok()) early = split.value();
  }
  if (x.error != 0) return x;
  x.reply = ParseReplyHeader(header);
  if (x.reply.data_length > length || early > x.reply.data_length) {
    x.error = EPROTO;
    return x;
  }
  if (early < x.reply.data_length &&
      (x.error = ReceiveBytes(data + early, x.reply.data_length - early)) != 0) {
    return x;
  }
  Descramble(data, x.reply.data_length);
  return x;
}

Exchange BlockClient::Read(uint64_t offset, uint32_t length, std::vector<uint8_t>& data) {
  data.resize(length);
  Exchange x = ReadInto(offset, length, data.data());
  data.resize(x.error == 0 ? x.reply.data_length : 0);
  return x;
}

Exchange BlockClient::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, offset, length}, request);
  Exchange x;
  if ((x.error = Send(request, sizeof request, data, length)) != 0) return x;
  return ReceiveReply();
}

Exchange BlockClient::Flush() {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  return ReceiveReply();
}

int BlockClient::ExpectClosedWithoutBytes(int timeout_ms) {
  pollfd p{socket_.get(), POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return ETIMEDOUT;
  uint8_t byte;
  const platform::Transfer t = platform::ReceiveSome(socket_.get(), &byte, 1);
  if (t.error == ECONNRESET || (t.error == 0 && t.bytes == 0)) return 0;
  return t.error != 0 ? t.error : EPROTO;
}

}  // namespace quensaria::testing
