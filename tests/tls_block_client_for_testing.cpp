#include "tests/tls_block_client_for_testing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/socket.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"

namespace quensaria::testing {

TlsBlockClient::~TlsBlockClient() { Close(); }

void TlsBlockClient::Close() {
  if (session_ != nullptr) gnutls_deinit(session_);
  session_ = nullptr;
  if (credentials_ != nullptr) gnutls_psk_free_client_credentials(credentials_);
  credentials_ = nullptr;
  socket_.Reset();
}

int TlsBlockClient::Connect(uint16_t port, const std::string& identity,
                            const std::array<uint8_t, kDigestSize>& key, uint32_t local) {
  Close();
  if (const int error = platform::ConnectTcp(local, platform::Ipv4(127, 0, 0, 1), port, socket_)) {
    return error;
  }
  gnutls_datum_t datum{const_cast<unsigned char*>(key.data()), kDigestSize};
  if (gnutls_psk_allocate_client_credentials(&credentials_) < 0 ||
      gnutls_psk_set_client_credentials(credentials_, identity.c_str(), &datum,
                                        GNUTLS_PSK_KEY_RAW) < 0 ||
      gnutls_init(&session_, GNUTLS_CLIENT) < 0 ||
      gnutls_priority_set_direct(session_, kTlsPriorities, nullptr) < 0 ||
      gnutls_credentials_set(session_, GNUTLS_CRD_PSK, credentials_) < 0) {
    return ENOMEM;
  }
  ahead_begin_ = ahead_end_ = 0;
  gnutls_transport_set_ptr(session_, this);
  gnutls_transport_set_pull_function(session_, &TlsBlockClient::Pull);
  gnutls_transport_set_push_function(session_, &TlsBlockClient::Push);
  int r;
  do {
    r = gnutls_handshake(session_);
  } while (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED);
  handshake_error_ = r;
  return r == 0 ? 0 : EACCES;
}

ssize_t TlsBlockClient::Pull(gnutls_transport_ptr_t self, void* data, size_t length) {
  auto* client = static_cast<TlsBlockClient*>(self);
  if (client->ahead_begin_ == client->ahead_end_) {
    ssize_t n;
    do {
      n = ::recv(client->socket_.get(), client->read_ahead_.data(), client->read_ahead_.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      if (n < 0) gnutls_transport_set_errno(client->session_, errno);
      return n;
    }
    client->ahead_begin_ = 0;
    client->ahead_end_ = static_cast<size_t>(n);
  }
  const size_t take = std::min(length, client->ahead_end_ - client->ahead_begin_);
  std::memcpy(data, client->read_ahead_.data() + client->ahead_begin_, take);
  client->ahead_begin_ += take;
  return static_cast<ssize_t>(take);
}

ssize_t TlsBlockClient::Push(gnutls_transport_ptr_t self, const void* data, size_t length) {
  auto* client = static_cast<TlsBlockClient*>(self);
  if (client->gathering_) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    client->records_.insert(client->records_.end(), bytes, bytes + length);
    return static_cast<ssize_t>(length);
  }
  ssize_t n;
  do {
    n = ::send(client->socket_.get(), data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) gnutls_transport_set_errno(client->session_, errno);
  return n;
}

// Whole records, gathered and sent in one call.
int TlsBlockClient::SendBytes(const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  records_.clear();
  gathering_ = true;
  while (length > 0) {
    const ssize_t r = gnutls_record_send(session_, bytes, length);
    if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) continue;
    if (r <= 0) {
      gathering_ = false;
      return EPIPE;
    }
    bytes += r;
    length -= static_cast<size_t>(r);
  }
  gathering_ = false;
  return platform::SendAll(socket_.get(), records_.data(), records_.size());
}

int TlsBlockClient::ReceiveBytes(void* data, size_t length) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (length > 0) {
    const ssize_t r = gnutls_record_recv(session_, bytes, length);
    if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) continue;
    if (r == 0) return EPIPE;
    if (r < 0) return ECONNRESET;
    bytes += r;
    length -= static_cast<size_t>(r);
  }
  return 0;
}

Exchange TlsBlockClient::ReceiveReply(std::vector<uint8_t>* data) {
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

Exchange TlsBlockClient::Login(const std::string& password) {
  uint8_t request[kRequestHeaderSize];
  EncodeLoginRequest(PasswordDigest(password).data(), request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  return ReceiveReply();
}

Exchange TlsBlockClient::Query(QueryData& query) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  std::vector<uint8_t> data;
  x = ReceiveReply(&data);
  if (x.error == 0 && data.size() == kQueryDataSize) query = ParseQueryData(data.data());
  return x;
}

Exchange TlsBlockClient::Read(uint64_t offset, uint32_t length, std::vector<uint8_t>& data) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_READ, offset, length}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  x = ReceiveReply(&data);
  if (x.error == 0) Descramble(data.data(), data.size());
  return x;
}

Exchange TlsBlockClient::ReadInto(uint64_t offset, uint32_t length, uint8_t* data) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_READ, offset, length}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  uint8_t header[kReplyHeaderSize];
  if ((x.error = ReceiveBytes(header, sizeof header)) != 0) return x;
  x.reply = ParseReplyHeader(header);
  if (x.reply.data_length > length) {
    x.error = EPROTO;
    return x;
  }
  if ((x.error = ReceiveBytes(data, x.reply.data_length)) != 0) return x;
  Descramble(data, x.reply.data_length);
  return x;
}

Exchange TlsBlockClient::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, offset, length}, request);
  Exchange x;
  std::vector<uint8_t>& message = write_message_;
  message.assign(request, request + sizeof request);
  message.insert(message.end(), data, data + length);
  if ((x.error = SendBytes(message.data(), message.size())) != 0) return x;
  return ReceiveReply();
}

Exchange TlsBlockClient::Flush() {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, request);
  Exchange x;
  if ((x.error = SendBytes(request, sizeof request)) != 0) return x;
  return ReceiveReply();
}

}  // namespace quensaria::testing
