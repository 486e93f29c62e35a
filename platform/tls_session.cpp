#include "platform/tls_session.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "platform/socket_timeout.h"
#include "platform/tls_records.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

// The content type of a TLS alert record.
constexpr int kAlertRecord = 0x15;

// The most plain bytes one TLS 1.3 record carries.
constexpr size_t kRecordPayload = 16384;

// What one receive may take in: a 64 KiB transfer's records and then some,
// so that a message's records come in one call, not two per record.
constexpr size_t kReadAhead = 80 * 1024;

// The records of a long message leave in sends of at least this many
// plain bytes (two full records): the peer decrypts the first half while
// the second is sealed, and wakes twice per message, not once per record.
constexpr size_t kSendChunk = 2 * kRecordPayload;
// What is left after a chunk that rides with it instead of costing a
// send of its own.
constexpr size_t kShortRemainder = 4096;

// The close_notify alert: a warning that this side sends no more.
constexpr uint8_t kCloseNotify[2] = {1, 0};
constexpr uint8_t kUserCanceled = 90;

}  // namespace

struct TlsSession::Impl {
  int fd = -1;
  gnutls_session_t session = nullptr;
  gnutls_psk_client_credentials_t client_keys = nullptr;
  gnutls_psk_server_credentials_t server_keys = nullptr;
  KeyFinder keys;
  Clock::time_point deadline;
  bool probing = false;  // PeerGone: nothing to read is no reason to wait
  bool timed_out = false;
  bool closed = false;   // the peer's FIN
  int socket_error = 0;  // errno of the last failing socket call
  int first_byte = -1;   // of everything received: 0x15 when an alert came first
  bool broken = false;
  // Received beyond what GnuTLS asked for; made at the first receive and
  // kept for the session's life.
  std::vector<uint8_t> ahead;
  size_t ahead_begin = 0;
  size_t ahead_end = 0;
  // While `gathering`, records wait here until they make a chunk; the
  // capacity is kept from message to message.
  bool gathering = false;
  std::vector<uint8_t> outgoing;
  // The socket's receive time-out as last set (zero: never); false once
  // setting it failed, so that waits go by poll alone.
  Clock::duration receive_armed{};
  bool receive_timeout_usable = true;
  // After the handshake the records are sealed and opened here, where the
  // cipher allows (else GnuTLS's record functions do it): `content` holds
  // what a record brought beyond what the caller asked for.
  std::unique_ptr<TlsRecords> records;
  std::vector<uint8_t> content;
  std::vector<uint8_t> sealed;  // what one send of records holds
  size_t content_begin = 0;
  size_t content_end = 0;
  // A record GnuTLS is given to read itself (a key update, a ticket).
  std::span<const uint8_t> replay;
  bool replaying = false;

  ~Impl() {
    if (session != nullptr) gnutls_deinit(session);
    if (client_keys != nullptr) gnutls_psk_free_client_credentials(client_keys);
    if (server_keys != nullptr) gnutls_psk_free_server_credentials(server_keys);
  }

  // Waits until the socket is ready for `events`: 1 ready, 0 the deadline
  // passed (or, probing, not ready now), -1 poll failed.
  int Wait(short events) {
    for (;;) {
      int ms = 0;
      if (!probing) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        // Rounded up, so that a wait never ends just before its deadline.
        ms = static_cast<int>(
            std::min<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1 << 30));
      }
      pollfd p{fd, events, 0};
      const int n = ::poll(&p, 1, ms);
      if (n > 0) return 1;
      if (n == 0) {
        if (probing || Clock::now() >= deadline) return 0;
        continue;
      }
      if (errno != EINTR) {
        socket_error = errno;
        return -1;
      }
    }
  }

  ssize_t Fail(int error) {
    if (error != EAGAIN) socket_error = error;
    gnutls_transport_set_errno(session, error);
    return -1;
  }

  // While `gathering`, records are held until they make a chunk, which
  // leaves with the record that completes it (that one not copied).
  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t size) {
    Impl& s = *static_cast<Impl*>(self);
    if (!s.gathering) return s.SendNow(data, size);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (s.outgoing.size() + size < kSendChunk) {
      // GnuTLS is C: nothing may unwind through it.
      try {
        s.outgoing.insert(s.outgoing.end(), bytes, bytes + size);
      } catch (const std::bad_alloc&) {
        return s.Fail(ENOMEM);
      }
      return static_cast<ssize_t>(size);
    }
    if (s.SendAll(s.outgoing, {bytes, size}) < 0) return -1;
    return static_cast<ssize_t>(size);
  }

  // Sends all of `held` (then empty) and of `more`, within the deadline.
  int SendAll(std::vector<uint8_t>& held, std::span<const uint8_t> more) {
    size_t held_sent = 0;
    while (held_sent < held.size() || !more.empty()) {
      iovec iov[2];
      int count = 0;
      if (held_sent < held.size()) {
        iov[count++] = {held.data() + held_sent, held.size() - held_sent};
      }
      if (!more.empty()) iov[count++] = {const_cast<uint8_t*>(more.data()), more.size()};
      msghdr message{};
      message.msg_iov = iov;
      message.msg_iovlen = static_cast<size_t>(count);
      const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return static_cast<int>(Fail(errno));
        const int ready = Wait(POLLOUT);
        if (ready < 0) return static_cast<int>(Fail(socket_error));
        if (ready == 0) {
          timed_out = true;
          return static_cast<int>(Fail(ETIMEDOUT));
        }
        continue;
      }
      size_t left = static_cast<size_t>(n);
      const size_t from_held = std::min(left, held.size() - held_sent);
      held_sent += from_held;
      left -= from_held;
      more = more.subspan(left);
    }
    held.clear();
    return 0;
  }

  // Sends some of `data` once the socket takes it, within the deadline.
  ssize_t SendNow(const void* data, size_t size) {
    Impl& s = *this;
    for (;;) {
      const ssize_t n = ::send(s.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return s.Fail(errno);
      const int ready = s.Wait(POLLOUT);
      if (ready < 0) return s.Fail(s.socket_error);
      if (ready == 0) {
        s.timed_out = true;
        // Not EAGAIN: GnuTLS would try again, past the deadline.
        return s.Fail(ETIMEDOUT);
      }
    }
  }

  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t size) {
    Impl& s = *static_cast<Impl*>(self);
    if (s.replaying) {
      if (s.replay.empty()) return s.Fail(EAGAIN);
      const size_t take = std::min(size, s.replay.size());
      std::memcpy(data, s.replay.data(), take);
      s.replay = s.replay.subspan(take);
      return static_cast<ssize_t>(take);
    }
    if (s.ahead_begin == s.ahead_end) {
      const ssize_t n = s.ReceiveAhead();
      if (n <= 0) return n;
    }
    const size_t take = std::min(size, s.ahead_end - s.ahead_begin);
    std::memcpy(data, s.ahead.data() + s.ahead_begin, take);
    s.ahead_begin += take;
    return static_cast<ssize_t>(take);
  }

  // Sets the socket's receive time-out near what is left of the deadline,
  // so that a blocking receive waits for the peer in the one call (not a
  // receive that finds nothing, a poll and a receive again). False when no
  // time is left or the time-out cannot be set: then the receive must not
  // block.
  bool ArmReceive() {
    if (!receive_timeout_usable) return false;
    switch (ArmSocketTimeout(fd, SO_RCVTIMEO, deadline, &receive_armed)) {
      case TimeoutArmed::kArmed:
        return true;
      case TimeoutArmed::kFailed:
        receive_timeout_usable = false;
        return false;
      case TimeoutArmed::kNoTimeLeft:
        break;
    }
    return false;
  }

  // Fills the empty read-ahead buffer with what the socket has, waiting
  // for some within the deadline: bytes taken, 0 at the peer's FIN, -1.
  // The receive itself waits where the socket blocks and its time-out is
  // set; a time-out that ends it early (or a socket that does not block)
  // goes on in poll, up to the deadline.
  ssize_t ReceiveAhead() {
    if (!MakeAhead()) return Fail(ENOMEM);
    ahead_begin = 0;
    ahead_end = 0;
    return ReceiveMore();
  }

  bool MakeAhead() {
    if (!ahead.empty()) return true;
    // Called by GnuTLS too, which is C: nothing may unwind through it.
    try {
      ahead.resize(kReadAhead);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // Adds what the socket has behind what the read-ahead buffer holds.
  ssize_t ReceiveMore() {
    Impl& s = *this;
    for (;;) {
      const int flags = !s.probing && s.ArmReceive() ? 0 : MSG_DONTWAIT;
      const ssize_t n =
          ::recv(s.fd, s.ahead.data() + s.ahead_end, s.ahead.size() - s.ahead_end, flags);
      if (n > 0) {
        if (s.first_byte < 0) s.first_byte = s.ahead[s.ahead_end];
        s.ahead_end += static_cast<size_t>(n);
        return n;
      }
      if (n == 0) {
        s.closed = true;
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return s.Fail(errno);
      const int ready = s.Wait(POLLIN);
      if (ready < 0) return s.Fail(s.socket_error);
      if (ready == 0) {
        if (s.probing) return s.Fail(EAGAIN);
        s.timed_out = true;
        return s.Fail(ETIMEDOUT);
      }
    }
  }

  bool HasAhead() const { return ahead_begin < ahead_end; }

  // Takes the sealing and opening over from GnuTLS once the handshake is
  // done, where the cipher allows.
  void TakeRecords() {
    records = TlsRecords::Take(session);
    if (records == nullptr) return;
    try {
      content.resize(TlsRecords::kMaxBody);
    } catch (const std::bad_alloc&) {
      records = nullptr;  // GnuTLS's record functions need no more
    }
  }

  Status Broken(const char* what, const char* why) {
    broken = true;
    return Status(ERROR_UNEXP_NET_ERR, std::string(what) + ": " + why);
  }

  // The next whole record in the read-ahead buffer, received within the
  // deadline (probing: without waiting; `*record` empty when none is
  // there yet). Valid until the next call.
  Status NextRecord(const char* what, std::span<const uint8_t>* record) {
    if (!MakeAhead()) return Status(ERROR_NOT_ENOUGH_MEMORY, std::string(what) + ": no memory");
    for (;;) {
      const std::span<const uint8_t> have(ahead.data() + ahead_begin, ahead_end - ahead_begin);
      const ptrdiff_t size = TlsRecords::RecordSize(have);
      if (size < 0) return Broken(what, "the peer sent a record TLS does not know");
      if (size > 0 && have.size() >= static_cast<size_t>(size)) {
        *record = have.first(static_cast<size_t>(size));
        ahead_begin += static_cast<size_t>(size);
        return Status::Ok();
      }
      TlsRecords::MakeRoom(ahead, &ahead_begin, &ahead_end);
      const ssize_t n = ReceiveMore();
      if (n == 0) {
        closed = true;
        return Failure(what, 0);
      }
      if (n < 0) {
        if (probing && socket_error == 0 && !timed_out) {
          *record = {};
          return Status::Ok();
        }
        return Failure(what, GNUTLS_E_PULL_ERROR);
      }
    }
  }

  // A record that carries no data: an alert ends the session, anything
  // else goes to GnuTLS to read (a key update changes the keys that open,
  // and may ask for a change of those that seal).
  Status TakeOther(const char* what, std::span<const uint8_t> record,
                   const TlsRecords::Opened& opened, const uint8_t* bytes) {
    if (opened.type == TlsRecords::kAlert) {
      if (opened.length == 2 && bytes[1] == kUserCanceled) return Status::Ok();  // a close follows
      if (opened.length == 2 && bytes[1] == kCloseNotify[1]) {
        closed = true;
        return Failure(what, 0);
      }
      broken = true;
      const char* name =
          opened.length == 2
              ? gnutls_alert_get_name(static_cast<gnutls_alert_description_t>(bytes[1]))
              : nullptr;
      return Status(ERROR_UNEXP_NET_ERR, std::string(what) + ": the peer ended the session (" +
                                             (name != nullptr ? name : "?") + ")");
    }
    if (opened.type != TlsRecords::kHandshake) {
      return Broken(what, "the peer sent a record of a type TLS does not know");
    }
    if (!records->HandBack(session, true)) return Broken(what, "GnuTLS took no sequence number");
    replay = record;
    replaying = true;
    uint8_t byte;
    const ssize_t n = gnutls_record_recv(session, &byte, 1);
    replaying = false;
    replay = {};
    if (n != GNUTLS_E_AGAIN)
      return Failure(what, n > 0 ? GNUTLS_E_UNEXPECTED_PACKET : static_cast<int>(n));
    if (!records->TakeBack(session)) return Broken(what, "GnuTLS gave no keys");
    return Status::Ok();
  }

  // The next record's content: at `out` when `room` takes all a record may
  // carry, else in `content`. `*got` bytes of data (0: none came).
  Status OpenNext(const char* what, uint8_t* out, size_t room, size_t* got) {
    *got = 0;
    std::span<const uint8_t> record;
    Status status = NextRecord(what, &record);
    if (!status.ok() || record.empty()) return status;
    uint8_t* place = TlsRecords::MostContent(record) <= room ? out : content.data();
    TlsRecords::Opened opened;
    if (!records->Open(record, place, &opened)) {
      broken = true;
      return Status(ERROR_INVALID_PASSWORD,
                    std::string(what) + ": a record that does not open (the keys do not match)");
    }
    if (opened.type != TlsRecords::kApplicationData) {
      return TakeOther(what, record, opened, place);
    }
    if (place == out) {
      *got = opened.length;
    } else {
      content_begin = 0;
      content_end = opened.length;
    }
    return Status::Ok();
  }

  // Seals a key of its own in GnuTLS before the one in use has sealed all
  // AES-GCM allows.
  Status RenewSealingKey() {
    if (!records->HandBack(session, false))
      return Broken("TLS send", "GnuTLS took no sequence number");
    int rc;
    do {
      rc = gnutls_session_key_update(session, 0);
    } while (rc == GNUTLS_E_INTERRUPTED || (rc == GNUTLS_E_AGAIN && !timed_out));
    if (rc < 0) return Failure("TLS key update", rc);
    if (!records->TakeBack(session)) return Broken("TLS send", "GnuTLS gave no keys");
    return Status::Ok();
  }

  // Seals `length` bytes of `head` and `tail` from `offset` on into
  // `outgoing` and sends them.
  // `apart` first in records of its own (may be empty), then `length`
  // bytes of `head` and `tail` from `offset` on. The buffer grows to the
  // largest message and stays so: no bytes of it are cleared per message.
  Status SealAndSend(uint8_t type, std::span<const uint8_t> apart, std::span<const uint8_t> head,
                     std::span<const uint8_t> tail, size_t offset, size_t length) {
    std::span<const uint8_t> first;
    std::span<const uint8_t> second;
    if (offset < head.size()) {
      first = head.subspan(offset, std::min(length, head.size() - offset));
      second = tail.first(length - first.size());
    } else {
      first = tail.subspan(offset - head.size(), length);
    }
    const size_t lead = apart.empty() ? 0 : TlsRecords::SealedSize(apart.size());
    const size_t size = lead + TlsRecords::SealedSize(length);
    if (sealed.size() < size) {
      try {
        sealed.resize(size);
      } catch (const std::bad_alloc&) {
        return Status(ERROR_NOT_ENOUGH_MEMORY, "TLS send: no memory");
      }
    }
    if ((lead > 0 && !records->Seal(type, apart, {}, sealed.data())) ||
        !records->Seal(type, first, second, sealed.data() + lead)) {
      return Broken("TLS send", "GnuTLS did not seal a record");
    }
    outgoing.clear();
    if (SendAll(outgoing, {sealed.data(), size}) < 0)
      return Failure("TLS send", GNUTLS_E_PUSH_ERROR);
    return Status::Ok();
  }

  // GnuTLS asks whether data comes within `ms`; the deadline bounds it too.
  static int PullTimeout(gnutls_transport_ptr_t self, unsigned int ms) {
    Impl& s = *static_cast<Impl*>(self);
    if (s.HasAhead()) return 1;
    if (ms == GNUTLS_INDEFINITE_TIMEOUT) {
      const int ready = s.Wait(POLLIN);
      if (ready == 0 && !s.probing) s.timed_out = true;
      return ready;
    }
    const Clock::time_point own = s.deadline;
    if (!s.probing) s.deadline = std::min(own, Clock::now() + std::chrono::milliseconds(ms));
    const int ready = s.Wait(POLLIN);
    s.deadline = own;
    if (ready == 0 && !s.probing && Clock::now() >= own) s.timed_out = true;
    return ready;
  }

  static int ServerKey(gnutls_session_t session, const char* identity, gnutls_datum_t* key) {
    Impl& s = *static_cast<Impl*>(gnutls_session_get_ptr(session));
    std::optional<std::vector<uint8_t>> found = s.keys ? s.keys(identity) : std::nullopt;
    if (!found || found->empty()) {
      // A key nobody knows: the handshake fails as for a wrong key, and
      // tells the peer no more than that.
      found.emplace(32);
      if (gnutls_rnd(GNUTLS_RND_NONCE, found->data(), found->size()) != 0) return -1;
    }
    // The copy goes wiped: the key is a password's digest.
    const auto wiped = [&found](int result) {
      explicit_bzero(found->data(), found->size());
      return result;
    };
    key->data = static_cast<unsigned char*>(gnutls_malloc(found->size()));
    if (key->data == nullptr) return wiped(-1);
    std::memcpy(key->data, found->data(), found->size());
    key->size = static_cast<unsigned int>(found->size());
    return wiped(0);
  }

  Status Setup(unsigned flags, const char* priorities) {
    int rc = gnutls_init(&session, flags);
    if (rc != GNUTLS_E_SUCCESS) return Status(ERROR_UNEXP_NET_ERR, Text("TLS set-up", rc));
    gnutls_session_set_ptr(session, this);
    const char* bad = nullptr;
    rc = gnutls_priority_set_direct(session, priorities, &bad);
    if (rc != GNUTLS_E_SUCCESS) {
      return Status(ERROR_INVALID_PARAMETER,
                    Text("TLS priorities", rc) + " at \"" + (bad ? bad : "") + "\"");
    }
    if (client_keys != nullptr) rc = gnutls_credentials_set(session, GNUTLS_CRD_PSK, client_keys);
    if (server_keys != nullptr) rc = gnutls_credentials_set(session, GNUTLS_CRD_PSK, server_keys);
    if (rc != GNUTLS_E_SUCCESS) return Status(ERROR_UNEXP_NET_ERR, Text("TLS keys", rc));
    gnutls_transport_set_ptr(session, this);
    gnutls_transport_set_push_function(session, Push);
    gnutls_transport_set_pull_function(session, Pull);
    gnutls_transport_set_pull_timeout_function(session, PullTimeout);
    // The caller's deadline bounds the handshake, not GnuTLS' own clock.
    gnutls_handshake_set_timeout(session, 0);
    return Status::Ok();
  }

  static std::string Text(const char* what, int rc) {
    return std::string(what) + ": " + gnutls_strerror(rc);
  }

  // The Status of GnuTLS result `rc` of `what`, by the classes the header
  // names; the session is unusable afterwards.
  Status Failure(const char* what, int rc) {
    broken = true;
    const std::string head = std::string(what) + ": ";
    if (timed_out || rc == GNUTLS_E_TIMEDOUT) {
      return Status(ERROR_SEM_TIMEOUT, head + "the peer did not answer in time");
    }
    if (rc == GNUTLS_E_FATAL_ALERT_RECEIVED) {
      const gnutls_alert_description_t alert = gnutls_alert_get(session);
      const std::string said = head + "the peer ended the session (" +
                               (gnutls_alert_get_name(alert) ? gnutls_alert_get_name(alert) : "?") +
                               ")";
      switch (alert) {
        case GNUTLS_A_HANDSHAKE_FAILURE:
          if (first_byte == kAlertRecord) return Status(ERROR_NOT_SUPPORTED, said);
          return Status(ERROR_UNEXP_NET_ERR, said);
        case GNUTLS_A_DECRYPT_ERROR:
        case GNUTLS_A_BAD_RECORD_MAC:
        case GNUTLS_A_UNKNOWN_PSK_IDENTITY:
        case GNUTLS_A_ILLEGAL_PARAMETER:
        case GNUTLS_A_ACCESS_DENIED:
          return Status(ERROR_INVALID_PASSWORD, said);
        default:
          return Status(ERROR_UNEXP_NET_ERR, said);
      }
    }
    if (rc == GNUTLS_E_DECRYPTION_FAILED || rc == GNUTLS_E_INSUFFICIENT_CREDENTIALS ||
        rc == GNUTLS_E_RECEIVED_ILLEGAL_PARAMETER) {
      return Status(ERROR_INVALID_PASSWORD,
                    head + "the keys do not match (" + gnutls_strerror(rc) + ")");
    }
    if (closed || rc == 0 || rc == GNUTLS_E_PREMATURE_TERMINATION || socket_error == ECONNRESET ||
        socket_error == EPIPE) {
      return Status(ERROR_NETNAME_DELETED, head + "the peer closed the connection");
    }
    if (socket_error != 0) {
      return Status(ERROR_UNEXP_NET_ERR, head + std::strerror(socket_error));
    }
    return Status(ERROR_UNEXP_NET_ERR, Text(what, rc));
  }
};

TlsSession::TlsSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsSession::~TlsSession() = default;

Result<std::unique_ptr<TlsSession>> TlsSession::Client(int fd, std::string_view identity,
                                                       std::span<const uint8_t> key,
                                                       const char* priorities) {
  auto impl = std::make_unique<Impl>();
  impl->fd = fd;
  int rc = gnutls_psk_allocate_client_credentials(&impl->client_keys);
  if (rc != GNUTLS_E_SUCCESS) return Status(ERROR_UNEXP_NET_ERR, Impl::Text("TLS keys", rc));
  const std::string name(identity);
  gnutls_datum_t datum{const_cast<unsigned char*>(key.data()), static_cast<unsigned>(key.size())};
  rc = gnutls_psk_set_client_credentials(impl->client_keys, name.c_str(), &datum,
                                         GNUTLS_PSK_KEY_RAW);
  if (rc != GNUTLS_E_SUCCESS) return Status(ERROR_INVALID_PARAMETER, Impl::Text("TLS key", rc));
  Status status = impl->Setup(GNUTLS_CLIENT | GNUTLS_NO_TICKETS, priorities);
  if (!status.ok()) return status;
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

Result<std::unique_ptr<TlsSession>> TlsSession::Server(int fd, KeyFinder keys,
                                                       const char* priorities) {
  auto impl = std::make_unique<Impl>();
  impl->fd = fd;
  impl->keys = std::move(keys);
  const int rc = gnutls_psk_allocate_server_credentials(&impl->server_keys);
  if (rc != GNUTLS_E_SUCCESS) return Status(ERROR_UNEXP_NET_ERR, Impl::Text("TLS keys", rc));
  gnutls_psk_set_server_credentials_function(impl->server_keys, Impl::ServerKey);
  Status status = impl->Setup(GNUTLS_SERVER | GNUTLS_NO_TICKETS, priorities);
  if (!status.ok()) return status;
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

Status TlsSession::Handshake(Clock::time_point deadline) {
  Impl& s = *impl_;
  s.deadline = deadline;
  int rc;
  do {
    rc = gnutls_handshake(s.session);
  } while (rc == GNUTLS_E_INTERRUPTED || (rc == GNUTLS_E_AGAIN && !s.timed_out));
  if (rc != GNUTLS_E_SUCCESS) {
    // The peer learns why at once instead of waiting for its deadline.
    if (!s.timed_out && !s.closed && s.socket_error == 0 && rc != GNUTLS_E_FATAL_ALERT_RECEIVED) {
      s.deadline = std::min(deadline, Clock::now() + std::chrono::seconds(1));
      (void)gnutls_alert_send_appropriate(s.session, rc);
    }
    return s.Failure("TLS handshake", rc);
  }
  s.TakeRecords();
  return Status::Ok();
}

std::string TlsSession::identity() const {
  const char* name = gnutls_psk_server_get_username(impl_->session);
  return name != nullptr ? name : "";
}

Status TlsSession::Send(std::span<const uint8_t> head, std::span<const uint8_t> tail,
                        Clock::time_point deadline) {
  Impl& s = *impl_;
  if (s.broken) return Status(ERROR_NETNAME_DELETED, "TLS send: the session has failed before");
  s.deadline = deadline;
  if (s.records != nullptr) {
    if (s.records->SealingKeyWornOut()) {
      Status status = s.RenewSealingKey();
      if (!status.ok()) return status;
    }
    // Sent two records at a time as they are sealed, as below. The head of
    // a message longer than a record has a record of its own, ahead of the
    // first two: the peer then reads it, and the tail, each straight into
    // place, not out of a record that holds both.
    std::span<const uint8_t> apart;
    if (head.size() + tail.size() > kRecordPayload && !tail.empty()) {
      apart = head;
      head = {};
    }
    const size_t total = head.size() + tail.size();
    size_t offset = 0;
    do {
      size_t take = std::min(total - offset, kSendChunk);
      if (total - offset - take < kShortRemainder) take = total - offset;
      Status status = s.SealAndSend(TlsRecords::kApplicationData, apart, head, tail, offset, take);
      if (!status.ok()) return status;
      apart = {};
      offset += take;
    } while (offset < total);
    return Status::Ok();
  }
  // The records leave in chunks of two as they are sealed (what is left
  // at the end in a last send), so the peer decrypts one chunk while the
  // next is sealed. A message that fits one record is corked into one (its few bytes
  // copied); a longer one gives the head a record of its own rather than
  // copy the payload behind it.
  s.outgoing.clear();
  s.gathering = true;
  const bool corked = head.size() + tail.size() <= kRecordPayload;
  if (corked) gnutls_record_cork(s.session);
  int rc = 0;
  for (std::span<const uint8_t> part : {head, tail}) {
    while (!part.empty() && rc >= 0) {
      const ssize_t n = gnutls_record_send(s.session, part.data(), part.size());
      if (n < 0) rc = static_cast<int>(n);
      if (n > 0) part = part.subspan(static_cast<size_t>(n));
    }
  }
  if (corked) {
    const int uncorked = gnutls_record_uncork(s.session, rc < 0 ? 0 : GNUTLS_RECORD_WAIT);
    if (rc >= 0 && uncorked < 0) rc = uncorked;
  }
  s.gathering = false;
  if (rc >= 0 && !s.outgoing.empty() && s.SendAll(s.outgoing, {}) < 0) rc = GNUTLS_E_PUSH_ERROR;
  if (rc < 0) return s.Failure("TLS send", rc);
  return Status::Ok();
}

Status TlsSession::Receive(std::span<uint8_t> data, Clock::time_point deadline) {
  Impl& s = *impl_;
  if (s.broken) return Status(ERROR_NETNAME_DELETED, "TLS receive: the session has failed before");
  s.deadline = deadline;
  size_t got = 0;
  if (s.records != nullptr) {
    while (got < data.size()) {
      if (s.content_begin < s.content_end) {
        const size_t take = std::min(data.size() - got, s.content_end - s.content_begin);
        std::memcpy(data.data() + got, s.content.data() + s.content_begin, take);
        s.content_begin += take;
        got += take;
        continue;
      }
      size_t opened = 0;
      Status status = s.OpenNext("TLS receive", data.data() + got, data.size() - got, &opened);
      if (!status.ok()) return status;
      got += opened;
    }
    return Status::Ok();
  }
  while (got < data.size()) {
    const ssize_t n = gnutls_record_recv(s.session, data.data() + got, data.size() - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      s.closed = true;
      return s.Failure("TLS receive", 0);
    } else if ((n != GNUTLS_E_AGAIN && n != GNUTLS_E_INTERRUPTED) || s.timed_out) {
      return s.Failure("TLS receive", static_cast<int>(n));
    }
  }
  return Status::Ok();
}

bool TlsSession::PeerGone() {
  Impl& s = *impl_;
  if (s.broken) return true;
  if (s.records != nullptr) {
    if (s.content_begin < s.content_end) return true;
    s.probing = true;
    for (;;) {
      if (!s.HasAhead()) {
        pollfd p{s.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
      }
      std::span<const uint8_t> record;
      if (!s.NextRecord("TLS receive", &record).ok()) {
        s.broken = true;
        break;
      }
      if (record.empty()) break;  // a part of a record: the rest is on its way
      TlsRecords::Opened opened;
      if (!s.records->Open(record, s.content.data(), &opened)) {
        s.broken = true;
        break;
      }
      if (opened.type == TlsRecords::kApplicationData) {
        if (opened.length == 0) continue;
        s.broken = true;  // data nobody asked for
        break;
      }
      // A record of the TLS layer itself is taken in passing.
      if (!s.TakeOther("TLS receive", record, opened, s.content.data()).ok()) {
        s.broken = true;
        break;
      }
    }
    s.probing = false;
    return s.broken;
  }
  if (gnutls_record_check_pending(s.session) > 0) return true;
  if (!s.HasAhead()) {
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
  }
  s.probing = true;
  uint8_t byte;
  const ssize_t n = gnutls_record_recv(s.session, &byte, 1);
  s.probing = false;
  if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) return false;
  s.broken = true;
  return true;
}

bool TlsSession::set_key_update_after_for_testing(uint64_t records) {
  if (impl_->records == nullptr) return false;
  impl_->records->set_update_after_for_testing(records);
  return true;
}

Status TlsSession::Bye(Clock::time_point deadline) {
  Impl& s = *impl_;
  if (s.broken) return Status::Ok();
  s.deadline = deadline;
  if (s.records != nullptr) {
    return s.SealAndSend(TlsRecords::kAlert, {}, kCloseNotify, {}, 0, sizeof kCloseNotify);
  }
  int rc;
  do {
    rc = gnutls_bye(s.session, GNUTLS_SHUT_WR);
  } while (rc == GNUTLS_E_INTERRUPTED || (rc == GNUTLS_E_AGAIN && !s.timed_out));
  if (rc != GNUTLS_E_SUCCESS) return s.Failure("TLS close", rc);
  return Status::Ok();
}

}  // namespace quensaria::platform
