// TlsBlockClient: a blocking block-protocol client over TLS 1.3 with a
// pre-shared key, as a TLS export expects, for tests and benchmarks. The
// PSK identity and the 20-byte key are given; read data is de-scrambled on
// arrival. One thread per client; errors are errno values kept apart from
// the reply statuses (a failed handshake is EACCES, its GnuTLS code in
// handshake_error()).
#ifndef QUENSARIA_TESTS_TLS_BLOCK_CLIENT_FOR_TESTING_H_
#define QUENSARIA_TESTS_TLS_BLOCK_CLIENT_FOR_TESTING_H_

#include <gnutls/gnutls.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/block_protocol.h"
#include "tests/block_client_for_testing.h"

namespace quensaria::testing {

class TlsBlockClient {
 public:
  TlsBlockClient() = default;
  ~TlsBlockClient();
  TlsBlockClient(const TlsBlockClient&) = delete;
  TlsBlockClient& operator=(const TlsBlockClient&) = delete;

  // Connects to 127.0.0.1:`port` from `local` (network order, 0 for any)
  // and shakes hands as `identity` with `key`: 0 once the session is up.
  int Connect(uint16_t port, const std::string& identity,
              const std::array<uint8_t, kDigestSize>& key, uint32_t local = 0);
  int handshake_error() const { return handshake_error_; }

  Exchange Login(const std::string& password);
  Exchange Query(QueryData& query);
  Exchange Read(uint64_t offset, uint32_t length, std::vector<uint8_t>& data);
  // The same into a caller's buffer of at least `length` bytes.
  Exchange ReadInto(uint64_t offset, uint32_t length, uint8_t* data);
  Exchange Write(uint64_t offset, const uint8_t* data, uint32_t length);
  Exchange Flush();

  int SendBytes(const void* data, size_t length);
  int ReceiveBytes(void* data, size_t length);
  Exchange ReceiveReply(std::vector<uint8_t>* data = nullptr);

  int fd() const { return socket_.get(); }
  void Close();

 private:
  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t length);
  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t length);

  platform::UniqueFd socket_;
  // What one recv brought beyond what GnuTLS asked for: a reply's records
  // come in one call, not two calls per record.
  std::vector<uint8_t> read_ahead_ = std::vector<uint8_t>(1 << 18);
  size_t ahead_begin_ = 0;
  size_t ahead_end_ = 0;
  // While set, pushes append here, to leave in one send.
  bool gathering_ = false;
  std::vector<uint8_t> records_;
  std::vector<uint8_t> write_message_;  // a write's header and payload, in one piece
  gnutls_session_t session_ = nullptr;
  gnutls_psk_client_credentials_t credentials_ = nullptr;
  int handshake_error_ = 0;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_TLS_BLOCK_CLIENT_FOR_TESTING_H_
