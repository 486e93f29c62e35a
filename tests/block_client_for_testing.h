// BlockClient: a blocking block-protocol client that speaks to the service
// the way the driver does (log on, query, then one request at a time), for
// tests and benchmarks. Read data is de-scrambled on arrival. One thread
// per client; errors are errno values (ECONNRESET, EPIPE for an orderly
// close) kept apart from the reply statuses.
#ifndef QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_
#define QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/block_protocol.h"

namespace quensaria::testing {

struct Exchange {
  int error = 0;  // transport error; the reply fields mean nothing then
  ReplyHeader reply;
};

class BlockClient {
 public:
  // Connects to 127.0.0.1:`port` from `local` (network order, 0 for any).
  int Connect(uint16_t port, uint32_t local = 0);

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
  void Close() { socket_.Reset(); }

 private:
  platform::UniqueFd socket_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_BLOCK_CLIENT_FOR_TESTING_H_
