// BlockClient: a blocking block-protocol client that speaks to the service
// the way the driver does (log on, query, then one request at a time), for
// tests and benchmarks. Read data is de-scrambled on arrival. One thread
// per client; errors are errno values (ECONNRESET, EPIPE for an orderly
// close) kept apart from the reply statuses. ConnectTls speaks to a TLS
// export instead: every byte then goes through a platform::TlsSession, the
// driver's own.
#ifndef QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_
#define QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/tls_session.h"
#include "platform/unique_fd.h"
#include "shared/block_protocol.h"
#include "shared/status.h"

namespace quensaria::testing {

struct Exchange {
  int error = 0;  // transport error; the reply fields mean nothing then
  ReplyHeader reply;
};

class BlockClient {
 public:
  // Connects to 127.0.0.1:`port` from `local` (network order, 0 for any).
  int Connect(uint16_t port, uint32_t local = 0);
  // Connects as Connect does and shakes hands as `identity` with `key`: 0
  // once the session is up, EACCES when the handshake failed (its Status
  // in handshake_status()).
  int ConnectTls(uint16_t port, const std::string& identity,
                 const std::array<uint8_t, kDigestSize>& key, uint32_t local = 0);
  const Status& handshake_status() const { return handshake_status_; }

  Exchange Login(const std::string& password);
  Exchange Query(QueryData& query);
  // Reads into `data` (resized to the data received, de-scrambled).
  Exchange Read(uint64_t offset, uint32_t length, std::vector<uint8_t>& data);
  // The same into a caller's buffer of at least `length` bytes. The reply
  // must be the only thing the server sends (one request at a time).
  Exchange ReadInto(uint64_t offset, uint32_t length, uint8_t* data);
  Exchange Write(uint64_t offset, const uint8_t* data, uint32_t length);
  // CMD_FLUSH (only a service whose query sets QUERY_FLAG_FLUSH knows it).
  Exchange Flush();

  // Raw access for tests of framing.
  int SendBytes(const void* data, size_t length);
  int ReceiveBytes(void* data, size_t length);
  // Waits for the next reply header (and its data, kept raw in `data`).
  Exchange ReceiveReply(std::vector<uint8_t>* data = nullptr);
  // Waits up to `timeout_ms` for the server to end the connection: 0 when
  // it did (EOF or reset) without sending a byte, else what went wrong
  // (ETIMEDOUT, or EPROTO when bytes came).
  int ExpectClosedWithoutBytes(int timeout_ms);

  int fd() const { return socket_.get(); }
  void Close();

 private:
  // Sends `head` and then `tail` as one message.
  int Send(const uint8_t* head, size_t head_length, const uint8_t* tail = nullptr,
           size_t tail_length = 0);

  platform::UniqueFd socket_;
  std::unique_ptr<platform::TlsSession> tls_;  // over socket_, after ConnectTls
  Status handshake_status_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_
