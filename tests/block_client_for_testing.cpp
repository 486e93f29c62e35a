#include "tests/block_client_for_testing.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "platform/socket.h"
#include "shared/password_digest.h"
#include "shared/scramble.h"

namespace quensaria::testing {

int BlockClient::Connect(uint16_t port, uint32_t local) {
  return platform::ConnectTcp(local, platform::Ipv4(127, 0, 0, 1), port, socket_);
}

int BlockClient::SendBytes(const void* data, size_t length) {
  return platform::SendAll(socket_.get(), data, length);
}

int BlockClient::ReceiveBytes(void* data, size_t length) {
  return platform::ReceiveAll(socket_.get(), data, length);
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
  if ((x.error = platform::ReceiveSplit(socket_.get(), header, sizeof header, data, length,
                                        early)) != 0) {
    return x;
  }
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
  if ((x.error = platform::SendAll(socket_.get(), request, sizeof request, data, length)) != 0) {
    return x;
  }
  return ReceiveReply();
}

Exchange BlockClient::Flush() {
  uint8_t request[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, request);
  Exchange x;
  if ((x.error = platform::SendAll(socket_.get(), request, sizeof request)) != 0) return x;
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
