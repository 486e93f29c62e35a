// TLS on an export's connections: TlsKeys holds what every session of one
// export shares (its PSK credentials, built from the export's password
// digests, and the priorities), TlsLink is the session of one connection, a
// StreamLayer through which the socket port moves the block protocol.
//
// A TlsLink first looks at the connection's first byte: a TLS handshake
// record starts the handshake (non-blocking: each step that would wait
// returns EAGAIN and the port waits on the socket for the direction
// GnuTLS needs); any other byte marks a plain client, whose bytes then pass
// through untouched so its first request can be answered in the clear.
//
// Threads: a TlsLink is used by the thread that handles its connection's
// operation; TlsKeys is read-only after Create and shared by all.
#ifndef QUENSARIA_SERVICE_ENGINE_TLS_LINK_H_
#define QUENSARIA_SERVICE_ENGINE_TLS_LINK_H_

#include <gnutls/gnutls.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/socket_port.h"
#include "platform/tls_records.h"
#include "shared/block_protocol.h"
#include "shared/management_records.h"
#include "shared/status.h"

namespace quensaria::engine {

class TlsKeys {
 public:
  // The export's digests are copied; an all-zero one is no key.
  static Result<std::unique_ptr<TlsKeys>> Create(const ServerConfig& config);
  ~TlsKeys();
  TlsKeys(const TlsKeys&) = delete;
  TlsKeys& operator=(const TlsKeys&) = delete;

 private:
  friend class TlsLink;
  TlsKeys() = default;
  gnutls_psk_server_credentials_t credentials_ = nullptr;
  gnutls_priority_t priorities_ = nullptr;
  std::array<uint8_t, kDigestSize> login_{};
  std::array<uint8_t, kDigestSize> manage_{};
};

class TlsLink final : public platform::StreamLayer {
 public:
  enum class State : uint8_t {
    kFirstByte,  // nothing received yet
    kHandshake,
    kSession,  // handshake done: identity() tells the level
    kPlain,    // a client that does not speak TLS
    kFailed,   // the handshake failed; nothing more moves
  };
  enum class Identity : uint8_t { kNone, kLogin, kManage };

  // `keys` must outlive the link. `stall_clock` is the connection's
  // peer-wait stamp, cleared once the first byte has settled what the peer
  // speaks and any handshake is done; `address` (network order) names the
  // peer in log lines. Null when GnuTLS cannot make a session.
  static std::unique_ptr<TlsLink> Create(const TlsKeys& keys, int socket, uint32_t address,
                                         std::atomic<int64_t>* stall_clock);
  ~TlsLink() override;
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;

  platform::LayerTransfer Receive(uint8_t* data, size_t length) override;
  platform::LayerTransfer Send(const uint8_t* data, size_t length) override;
  bool HasBuffered() const override;
  bool WaitsToWrite(bool sending) const override;

  // Whether a reply's records leave two at a time as they are sealed (the
  // client decrypts them while the next are sealed: for a connection that
  // has the processors to itself) or all in one send (the fewest system
  // calls, while other connections keep the processors busy). Taken up at
  // the next send.
  void set_pipelined(bool on) { pipelined_ = on; }

  State state() const { return state_; }
  // The records after which every session made from now on changes the key
  // it seals with (for a test; the default keeps well inside what AES-GCM
  // allows one key). 0: the default.
  static void SetKeyUpdateAfterForTesting(uint64_t records);
  // GnuTLS's key look-up for the server credentials (TlsKeys installs it).
  static int FindKey(gnutls_session_t session, const char* name, gnutls_datum_t* key);
  Identity identity() const { return identity_; }

 private:
  TlsLink(const TlsKeys& keys, int socket, uint32_t address, std::atomic<int64_t>* stall_clock);
  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t length);
  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t length);
  static ssize_t PushVector(gnutls_transport_ptr_t self, const giovec_t* iov, int count);
  platform::LayerTransfer Handshake();
  platform::LayerTransfer ReceiveRecords(uint8_t* data, size_t length);
  platform::LayerTransfer ReceiveOwnRecords(uint8_t* data, size_t length);
  platform::LayerTransfer SendOwnRecords(const uint8_t* data, size_t length);
  platform::LayerTransfer TakeOther(std::span<const uint8_t> record,
                                    const platform::TlsRecords::Opened& opened,
                                    const uint8_t* content);
  bool RenewSealingKey();
  void TakeRecords();
  platform::LayerTransfer Failure(int code, const char* call) const;
  ssize_t NoMemory();  // a transport function's failed allocation
  void Settled();

  const TlsKeys& keys_;
  const int socket_;
  const uint32_t address_;
  std::atomic<int64_t>* const stall_clock_;
  gnutls_session_t session_ = nullptr;
  State state_ = State::kFirstByte;
  Identity identity_ = Identity::kNone;
  bool identity_refused_ = false;  // the client named no usable key
  int last_errno_ = 0;             // of the last failed socket call
  // What one receive brought beyond what GnuTLS asked for (a request's
  // records come in one call, not two per record); made at the first
  // receive of a session, kept for its life.
  std::vector<uint8_t> received_;
  size_t received_begin_ = 0;
  size_t received_end_ = 0;
  // The records of a reply's next chunk, sealed together and sent in one
  // call where the socket takes them: while `gathering_` the push
  // callbacks append here.
  bool gathering_ = false;
  std::vector<uint8_t> records_;
  size_t records_sent_ = 0;  // of records_, on the wire
  size_t reply_bytes_ = 0;   // the plain bytes records_ carries; 0: none in hand
  bool pipelined_ = true;
  // Once the handshake is done the records are sealed and opened here
  // where the cipher allows (else by GnuTLS): `content_` holds what a
  // record brought beyond what the port asked for. `replay_` is a record
  // handed to GnuTLS to read itself (a key update).
  std::unique_ptr<platform::TlsRecords> records_own_;
  std::vector<uint8_t> content_;
  size_t content_begin_ = 0;
  size_t content_end_ = 0;
  std::span<const uint8_t> replay_;
  bool replaying_ = false;
  // The records of a reply's next chunk as sealed here, made once.
  std::vector<uint8_t> sealed_;
  size_t sealed_end_ = 0;
  size_t sealed_sent_ = 0;
  size_t reply_left_ = 0;  // of the reply being sealed, by its header
  // The handshake's first bytes, read while looking at the first byte.
  std::array<uint8_t, kRequestHeaderSize> prefix_{};
  size_t prefix_length_ = 0;
  size_t prefix_used_ = 0;
};

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_TLS_LINK_H_
