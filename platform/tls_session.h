// TlsSession: one TLS session with a pre-shared key (GnuTLS) over a connected
// blocking TCP socket, client or server side. Used by one thread at a time
// (the driver's per-device worker; a test's server thread). Every wait is
// bounded by the deadline the caller gives: a receive blocks in recv(2)
// under the socket's receive time-out, which the session sets near the
// deadline (within 10 ms), and poll(2) waits out what is left; a send
// waits in poll(2). The session does not own the socket; it must outlive
// the session. A session keeps two buffers of its
// own (what one receive brought beyond the record asked for; a message's
// records before they are sent), made at first use and kept for its life.
//
// Failures are Status values with a sentence and one of these Win32 codes:
//  - ERROR_SEM_TIMEOUT: the deadline passed;
//  - ERROR_NETNAME_DELETED: the peer closed or reset the connection;
//  - ERROR_INVALID_PASSWORD: the handshake failed because the keys differ
//    (or the peer knows no key for the identity);
//  - ERROR_NOT_SUPPORTED: the peer refused the handshake outright (a
//    handshake_failure alert before any reply of its own);
//  - ERROR_UNEXP_NET_ERR: any other TLS failure.
// After a failure of Send, Receive or Handshake the session is unusable.
#ifndef QUENSARIA_PLATFORM_TLS_SESSION_H_
#define QUENSARIA_PLATFORM_TLS_SESSION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shared/status.h"

namespace quensaria::platform {

class TlsSession {
 public:
  using Clock = std::chrono::steady_clock;
  // The server's key of a PSK identity; nothing for an identity it refuses
  // (its handshake then fails as with a wrong key).
  using KeyFinder = std::function<std::optional<std::vector<uint8_t>>(std::string_view identity)>;

  // A client session on `fd` that offers `identity` with `key` (raw bytes)
  // and only the cipher suites of GnuTLS priority string `priorities`.
  static Result<std::unique_ptr<TlsSession>> Client(int fd, std::string_view identity,
                                                    std::span<const uint8_t> key,
                                                    const char* priorities);
  // A server session on `fd` whose keys come from `keys`.
  static Result<std::unique_ptr<TlsSession>> Server(int fd, KeyFinder keys, const char* priorities);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  Status Handshake(Clock::time_point deadline);
  // Server: the PSK identity the client logged on with (after Handshake).
  std::string identity() const;

  // Sends all of `head` and then all of `tail` (may be empty) in one send
  // of their records: one record when both fit in it, else `head` in its
  // own and `tail` in as few as it fits.
  Status Send(std::span<const uint8_t> head, std::span<const uint8_t> tail,
              Clock::time_point deadline);
  // Receives exactly data.size() bytes of application data.
  Status Receive(std::span<uint8_t> data, Clock::time_point deadline);
  // True when the peer has closed or reset the connection, sent data nobody
  // asked for, or broken the session. Never blocks; messages of the TLS
  // layer itself (session tickets, key updates) are taken in passing.
  bool PeerGone();
  // Sends the close_notify alert (does not wait for the peer's).
  Status Bye(Clock::time_point deadline);

  // The records after which the key that seals is changed (for a test;
  // the default keeps well inside what AES-GCM allows one key). False when
  // GnuTLS's record functions make the records.
  bool set_key_update_after_for_testing(uint64_t records);

  struct Impl;

 private:
  explicit TlsSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_TLS_SESSION_H_
