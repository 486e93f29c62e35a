#include "service/engine/tls_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "platform/console.h"
#include "platform/socket.h"
#include "shared/dotted_ipv4.h"
#include "shared/win32_error.h"

namespace quensaria::engine {
namespace {

using platform::ConsoleLog;
using platform::ConsolePriority;
using platform::LayerTransfer;
using platform::Transfer;

// A request of the largest size in its records, with room to spare.
constexpr size_t kReadAhead = 80 * 1024;

// The plain bytes one send of a reply carries: two full TLS records, so
// that the client decrypts them while the next two are sealed.
constexpr size_t kSendChunk = 32768;
// What is left after a chunk that is sealed with it instead.
constexpr size_t kShortRemainder = 4096;
// The records of the largest reply sealed whole, with room for each
// record's header, content type and tag: the gathering buffer is made this
// big once, whichever way the replies are cut.
constexpr size_t kLargestReplyRecords =
    kReplyHeaderSize + kMaxTransfer + ((kReplyHeaderSize + kMaxTransfer) / 16384 + 1) * 64;

// Alert descriptions: this side sends no more; the close that follows is
// the end.
constexpr uint8_t kCloseNotify = 0;
constexpr uint8_t kUserCanceled = 90;

bool IsZero(const std::array<uint8_t, kDigestSize>& digest) {
  return std::all_of(digest.begin(), digest.end(), [](uint8_t b) { return b == 0; });
}

// A peer's identity as a log line may show it: printable ASCII, at most 32.
std::string Printable(const char* name) {
  std::string text;
  for (size_t i = 0; name[i] != '\0' && i < 32; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return text;
}

// GnuTLS calls the transport functions and is C: no exception may unwind
// through it, so these report a failed allocation instead.
bool Grow(std::vector<uint8_t>& buffer, size_t size) {
  try {
    buffer.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool Append(std::vector<uint8_t>& buffer, const uint8_t* bytes, size_t length) {
  try {
    buffer.insert(buffer.end(), bytes, bytes + length);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

Result<std::unique_ptr<TlsKeys>> TlsKeys::Create(const ServerConfig& config) {
  std::unique_ptr<TlsKeys> keys(new TlsKeys());
  std::memcpy(keys->login_.data(), config.Password, kDigestSize);
  std::memcpy(keys->manage_.data(), config.ManagePassword, kDigestSize);
  int r = gnutls_psk_allocate_server_credentials(&keys->credentials_);
  if (r < 0) return Status(ERROR_NOT_ENOUGH_MEMORY, gnutls_strerror(r));
  gnutls_psk_set_server_credentials_function(keys->credentials_, &TlsLink::FindKey);
  // The shared priorities, with the server choosing the cipher: AES-GCM
  // first, which the processor does in hardware where GnuTLS might
  // otherwise take ChaCha20 from the client's list at a fraction of the speed.
  const std::string priorities = std::string(kTlsPriorities) +
                                 ":-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
                                 "%SERVER_PRECEDENCE";
  r = gnutls_priority_init(&keys->priorities_, priorities.c_str(), nullptr);
  if (r < 0) return Status(ERROR_INVALID_PARAMETER, gnutls_strerror(r));
  return keys;
}

TlsKeys::~TlsKeys() {
  // The digests are the export's passwords.
  explicit_bzero(login_.data(), login_.size());
  explicit_bzero(manage_.data(), manage_.size());
  if (priorities_ != nullptr) gnutls_priority_deinit(priorities_);
  if (credentials_ != nullptr) gnutls_psk_free_server_credentials(credentials_);
}

TlsLink::TlsLink(const TlsKeys& keys, int socket, uint32_t address,
                 std::atomic<int64_t>* stall_clock)
    : keys_(keys), socket_(socket), address_(address), stall_clock_(stall_clock) {}

std::unique_ptr<TlsLink> TlsLink::Create(const TlsKeys& keys, int socket, uint32_t address,
                                         std::atomic<int64_t>* stall_clock) {
  std::unique_ptr<TlsLink> link(new TlsLink(keys, socket, address, stall_clock));
  if (gnutls_init(&link->session_, GNUTLS_SERVER | GNUTLS_NONBLOCK) < 0) {
    link->session_ = nullptr;
    return nullptr;
  }
  gnutls_session_t s = link->session_;
  if (gnutls_priority_set(s, keys.priorities_) < 0 ||
      gnutls_credentials_set(s, GNUTLS_CRD_PSK, keys.credentials_) < 0) {
    return nullptr;
  }
  gnutls_session_set_ptr(s, link.get());
  gnutls_transport_set_ptr(s, link.get());
  gnutls_transport_set_pull_function(s, &TlsLink::Pull);
  gnutls_transport_set_push_function(s, &TlsLink::Push);
  gnutls_transport_set_vec_push_function(s, &TlsLink::PushVector);
  return link;
}

TlsLink::~TlsLink() {
  if (session_ != nullptr) gnutls_deinit(session_);
}

// The key of the identity the client names: its password's digest. No key
// for another name, nor for a password that is not set.
int TlsLink::FindKey(gnutls_session_t session, const char* name, gnutls_datum_t* key) {
  auto* link = static_cast<TlsLink*>(gnutls_session_get_ptr(session));
  const std::array<uint8_t, kDigestSize>* digest = nullptr;
  Identity identity = Identity::kNone;
  if (std::strcmp(name, kTlsIdentityLogin) == 0) {
    digest = &link->keys_.login_;
    identity = Identity::kLogin;
  } else if (std::strcmp(name, kTlsIdentityManage) == 0) {
    digest = &link->keys_.manage_;
    identity = Identity::kManage;
  }
  if (digest == nullptr || IsZero(*digest)) {
    link->identity_refused_ = true;
    ConsoleLog(ConsolePriority::kNotice, "client %s: TLS identity \"%s\" %s, log-on refused\n",
               FormatIpv4(link->address_).c_str(), Printable(name).c_str(),
               digest == nullptr ? "is unknown" : "has no password set");
    return -1;
  }
  key->data = static_cast<unsigned char*>(gnutls_malloc(kDigestSize));
  if (key->data == nullptr) return -1;
  std::memcpy(key->data, digest->data(), kDigestSize);
  key->size = kDigestSize;
  link->identity_ = identity;
  return 0;
}

ssize_t TlsLink::Pull(gnutls_transport_ptr_t self, void* data, size_t length) {
  auto* link = static_cast<TlsLink*>(self);
  if (link->replaying_) {
    if (link->replay_.empty()) {
      gnutls_transport_set_errno(link->session_, EAGAIN);
      return -1;
    }
    const size_t n = std::min(length, link->replay_.size());
    std::memcpy(data, link->replay_.data(), n);
    link->replay_ = link->replay_.subspan(n);
    return static_cast<ssize_t>(n);
  }
  if (link->prefix_used_ < link->prefix_length_) {
    const size_t n = std::min(length, link->prefix_length_ - link->prefix_used_);
    std::memcpy(data, link->prefix_.data() + link->prefix_used_, n);
    link->prefix_used_ += n;
    return static_cast<ssize_t>(n);
  }
  if (link->received_begin_ == link->received_end_) {
    if (link->received_.empty() && !Grow(link->received_, kReadAhead)) return link->NoMemory();
    const Transfer t =
        platform::ReceiveSome(link->socket_, link->received_.data(), link->received_.size());
    if (t.error != 0) {
      link->last_errno_ = t.error;
      gnutls_transport_set_errno(link->session_, t.error);
      return -1;
    }
    if (t.bytes == 0) return 0;
    link->received_begin_ = 0;
    link->received_end_ = t.bytes;
  }
  const size_t n = std::min(length, link->received_end_ - link->received_begin_);
  std::memcpy(data, link->received_.data() + link->received_begin_, n);
  link->received_begin_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t TlsLink::Push(gnutls_transport_ptr_t self, const void* data, size_t length) {
  auto* link = static_cast<TlsLink*>(self);
  if (link->gathering_) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!Append(link->records_, bytes, length)) return link->NoMemory();
    return static_cast<ssize_t>(length);
  }
  const Transfer t = platform::SendSome(link->socket_, data, length);
  if (t.error != 0) {
    link->last_errno_ = t.error;
    gnutls_transport_set_errno(link->session_, t.error);
    return -1;
  }
  return static_cast<ssize_t>(t.bytes);
}

ssize_t TlsLink::PushVector(gnutls_transport_ptr_t self, const giovec_t* iov, int count) {
  auto* link = static_cast<TlsLink*>(self);
  if (link->gathering_) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
      const auto* bytes = static_cast<const uint8_t*>(iov[i].iov_base);
      if (!Append(link->records_, bytes, iov[i].iov_len)) return link->NoMemory();
      total += iov[i].iov_len;
    }
    return static_cast<ssize_t>(total);
  }
  const Transfer t = platform::SendSomeVector(link->socket_, iov, count);
  if (t.error != 0) {
    link->last_errno_ = t.error;
    gnutls_transport_set_errno(link->session_, t.error);
    return -1;
  }
  return static_cast<ssize_t>(t.bytes);
}

ssize_t TlsLink::NoMemory() {
  last_errno_ = ENOMEM;
  gnutls_transport_set_errno(session_, ENOMEM);
  return -1;
}

void TlsLink::Settled() {
  if (stall_clock_ != nullptr) stall_clock_->store(0, std::memory_order_relaxed);
}

// A GnuTLS failure as the port reports one: a socket error where there was
// one, else a protocol error.
LayerTransfer TlsLink::Failure(int code, const char* call) const {
  if (code == GNUTLS_E_PULL_ERROR || code == GNUTLS_E_PUSH_ERROR) {
    return {0, last_errno_ != 0 ? last_errno_ : EIO, call};
  }
  return {0, EPROTO, call};
}

LayerTransfer TlsLink::Handshake() {
  const int r = gnutls_handshake(session_);
  if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) return {0, EAGAIN};
  if (r == 0) {
    state_ = State::kSession;
    TakeRecords();
    Settled();
    return {0, EAGAIN};  // the caller goes on to the records
  }
  state_ = State::kFailed;
  // Never a key byte: the reason only.
  ConsoleLog(ConsolePriority::kNotice, "client %s: TLS log-on failed: %s%s, connection closed\n",
             FormatIpv4(address_).c_str(), gnutls_strerror(r),
             identity_refused_              ? " (no key for the identity)"
             : identity_ != Identity::kNone ? " (wrong key)"
                                            : "");
  if (r == GNUTLS_E_PREMATURE_TERMINATION) return {0, 0};  // the peer went away
  if (r == GNUTLS_E_PULL_ERROR || r == GNUTLS_E_PUSH_ERROR) return Failure(r, "gnutls_handshake");
  // The alert tells the client why (a wrong key, say) instead of a bare
  // close, so it can try its other identity or say the password is wrong.
  // One small record: the socket takes it, or the client sees the close.
  (void)gnutls_alert_send_appropriate(session_, r);
  return {0, ECONNABORTED, "gnutls_handshake"};
}

namespace {
std::atomic<uint64_t> key_update_after_for_testing{0};
}  // namespace

void TlsLink::SetKeyUpdateAfterForTesting(uint64_t records) {
  key_update_after_for_testing.store(records, std::memory_order_relaxed);
}

void TlsLink::TakeRecords() {
  records_own_ = platform::TlsRecords::Take(session_);
  if (records_own_ == nullptr) return;
  if (const uint64_t after = key_update_after_for_testing.load(std::memory_order_relaxed)) {
    records_own_->set_update_after_for_testing(after);
  }
  if (!Grow(content_, platform::TlsRecords::kMaxBody)) records_own_ = nullptr;
}

// A record that carries no data: an alert ends the connection, anything
// else goes to GnuTLS to read (a key update changes the keys that open; its
// answer, if it asks for one, waits with the records to send).
LayerTransfer TlsLink::TakeOther(std::span<const uint8_t> record,
                                 const platform::TlsRecords::Opened& opened,
                                 const uint8_t* content) {
  using platform::TlsRecords;
  if (opened.type == TlsRecords::kAlert) {
    if (opened.length == 2 && content[1] == kUserCanceled) return {0, EAGAIN};
    if (opened.length == 2 && content[1] == kCloseNotify) return {0, 0};
    return {0, EPROTO, "gnutls_record_recv"};
  }
  if (opened.type != TlsRecords::kHandshake) return {0, EPROTO, "gnutls_record_recv"};
  if (!records_own_->HandBack(session_, true)) return {0, EPROTO, "gnutls_record_set_state"};
  if (records_sent_ == records_.size()) {
    records_.clear();
    records_sent_ = 0;
  }
  replay_ = record;
  replaying_ = true;
  gathering_ = true;
  uint8_t byte;
  const ssize_t r = gnutls_record_recv(session_, &byte, 1);
  gathering_ = false;
  replaying_ = false;
  replay_ = {};
  if (r != GNUTLS_E_AGAIN) {
    return r >= 0 ? LayerTransfer{0, EPROTO, "gnutls_record_recv"}
                  : Failure(static_cast<int>(r), "gnutls_record_recv");
  }
  if (!records_own_->TakeBack(session_)) return {0, EPROTO, "gnutls_record_get_state"};
  // An answer sealed behind the records of a reply still being sent goes
  // out after them.
  if (reply_bytes_ != 0 && records_sent_ < records_.size()) {
    const size_t answer = records_.size() - records_sent_;
    if (!Grow(sealed_, std::max(sealed_.size(), sealed_end_ + answer))) {
      return {0, ENOMEM, "gnutls_record_recv"};
    }
    std::memcpy(sealed_.data() + sealed_end_, records_.data() + records_sent_, answer);
    sealed_end_ += answer;
    records_.clear();
    records_sent_ = 0;
  }
  return {0, EAGAIN};
}

// Records opened here: straight into `data` where it takes all a record
// may carry, else into `content_`, handed out from there.
LayerTransfer TlsLink::ReceiveOwnRecords(uint8_t* data, size_t length) {
  using platform::TlsRecords;
  for (;;) {
    if (content_begin_ < content_end_) {
      const size_t n = std::min(length, content_end_ - content_begin_);
      std::memcpy(data, content_.data() + content_begin_, n);
      content_begin_ += n;
      return {n, 0};
    }
    const std::span<const uint8_t> have(received_.data() + received_begin_,
                                        received_end_ - received_begin_);
    const ptrdiff_t size = TlsRecords::RecordSize(have);
    if (size < 0) return {0, EPROTO, "gnutls_record_recv"};
    if (size > 0 && have.size() >= static_cast<size_t>(size)) {
      const std::span<const uint8_t> record = have.first(static_cast<size_t>(size));
      received_begin_ += record.size();
      uint8_t* place = TlsRecords::MostContent(record) <= length ? data : content_.data();
      TlsRecords::Opened opened;
      if (!records_own_->Open(record, place, &opened)) return {0, EPROTO, "gnutls_record_recv"};
      if (opened.type == TlsRecords::kApplicationData) {
        if (place == data) {
          if (opened.length > 0) return {opened.length, 0};
        } else {
          content_begin_ = 0;
          content_end_ = opened.length;
        }
        continue;
      }
      const LayerTransfer t = TakeOther(record, opened, place);
      if (t.error != EAGAIN) return t;
      continue;
    }
    if (received_.empty() && !Grow(received_, kReadAhead)) return {0, ENOMEM, "recv"};
    TlsRecords::MakeRoom(received_, &received_begin_, &received_end_);
    const Transfer t = platform::ReceiveSome(socket_, received_.data() + received_end_,
                                             received_.size() - received_end_);
    if (t.error != 0 || t.bytes == 0) return LayerTransfer::Of(t, "recv");
    received_end_ += t.bytes;
  }
}

// A new key to seal with, before the one in use has sealed all AES-GCM
// allows: GnuTLS seals the key update, which goes out ahead of the records
// sealed next.
bool TlsLink::RenewSealingKey() {
  if (!records_own_->HandBack(session_, false)) return false;
  gathering_ = true;
  const int r = gnutls_session_key_update(session_, 0);
  gathering_ = false;
  return r == 0 && records_own_->TakeBack(session_);
}

LayerTransfer TlsLink::ReceiveRecords(uint8_t* data, size_t length) {
  if (records_own_ != nullptr) return ReceiveOwnRecords(data, length);
  ssize_t r = gnutls_record_recv(session_, data, length);
  // A record for GnuTLS itself (a key update) gives no data; the records
  // behind it may be in hand already, and the socket then never wakes the
  // port for them.
  while ((r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) &&
         gnutls_record_get_direction(session_) == 0 && HasBuffered()) {
    r = gnutls_record_recv(session_, data, length);
  }
  if (r >= 0) return {static_cast<size_t>(r), 0};
  if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) return {0, EAGAIN};
  if (r == GNUTLS_E_PREMATURE_TERMINATION) return {0, 0};
  return Failure(static_cast<int>(r), "gnutls_record_recv");
}

LayerTransfer TlsLink::Receive(uint8_t* data, size_t length) {
  switch (state_) {
    case State::kFirstByte: {
      const Transfer t = platform::ReceiveSome(socket_, data, std::min(length, prefix_.size()));
      if (t.error != 0 || t.bytes == 0) return LayerTransfer::Of(t, "recv");
      if (data[0] != kTlsHandshakeByte) {
        state_ = State::kPlain;
        Settled();
        return {t.bytes, 0};  // a plain request's first bytes, in place
      }
      std::memcpy(prefix_.data(), data, t.bytes);
      prefix_length_ = t.bytes;
      state_ = State::kHandshake;
      [[fallthrough]];
    }
    case State::kHandshake: {
      const LayerTransfer t = Handshake();
      if (state_ != State::kSession) return t;
      return ReceiveRecords(data, length);
    }
    case State::kSession:
      return ReceiveRecords(data, length);
    case State::kPlain:
      return LayerTransfer::Of(platform::ReceiveSome(socket_, data, length), "recv");
    case State::kFailed:
      break;
  }
  return {0, ECONNABORTED, "gnutls_handshake"};
}

// A reply leaves two records at a time, sent as soon as they are sealed:
// the client decrypts them while the next two are sealed, instead of
// waiting for all of them. What one call seals is gathered in
// the link's buffer (its capacity kept from reply to reply) and sent whole
// where the socket takes it; the rest goes out on the next call, which the
// port makes with the same window once the socket can take more. The call
// reports the plain bytes of the records on the wire, so the port comes
// back at once for the next ones.
LayerTransfer TlsLink::Send(const uint8_t* data, size_t length) {
  if (state_ == State::kPlain) {
    return LayerTransfer::Of(platform::SendSome(socket_, data, length), "send");
  }
  if (state_ != State::kSession) return {0, ENOTCONN, "gnutls_record_send"};
  if (records_own_ != nullptr) return SendOwnRecords(data, length);
  if (reply_bytes_ == 0) {
    records_.clear();
    records_.reserve(kLargestReplyRecords);
    records_sent_ = 0;
    gathering_ = true;
    // A short remainder rides with the records before it rather than
    // costing a send of its own.
    const size_t chunk = pipelined_ ? kSendChunk : length;
    const size_t take =
        length - std::min(length, chunk) < kShortRemainder ? length : std::min(length, chunk);
    size_t made = 0;
    while (made < take) {
      const ssize_t r = gnutls_record_send(session_, data + made, take - made);
      if (r <= 0) {
        gathering_ = false;
        return Failure(static_cast<int>(r), "gnutls_record_send");
      }
      made += static_cast<size_t>(r);
    }
    gathering_ = false;
    reply_bytes_ = made;
  }
  while (records_sent_ < records_.size()) {
    const Transfer t = platform::SendSome(socket_, records_.data() + records_sent_,
                                          records_.size() - records_sent_);
    if (t.error == EAGAIN) return {0, EAGAIN};
    if (t.error != 0) {
      reply_bytes_ = 0;
      return LayerTransfer::Of(t, "send");
    }
    records_sent_ += t.bytes;
  }
  return {std::exchange(reply_bytes_, 0), 0};
}

// As Send, with the records sealed here, straight into the buffer that
// goes to the socket. Records GnuTLS made (a key update, its answer) leave
// first.
LayerTransfer TlsLink::SendOwnRecords(const uint8_t* data, size_t length) {
  using platform::TlsRecords;
  if (reply_bytes_ == 0) {
    if (records_own_->SealingKeyWornOut() && !RenewSealingKey()) {
      return {0, EPROTO, "gnutls_session_key_update"};
    }
    const size_t chunk = pipelined_ ? kSendChunk : length;
    const size_t take =
        length - std::min(length, chunk) < kShortRemainder ? length : std::min(length, chunk);
    // A reply's header longer than a record's worth has a record of its
    // own: the client reads it, and the data, each straight into place, not
    // out of a record that holds both. Only the records' cut depends on
    // where replies begin, so a wrong guess costs nothing but that.
    size_t apart = 0;
    if (reply_left_ == 0 && take > kReplyHeaderSize) {
      apart = kReplyHeaderSize;
      reply_left_ = kReplyHeaderSize + size_t{ParseReplyHeader(data).data_length};
    }
    reply_left_ -= std::min(reply_left_, take);
    const size_t lead = apart == 0 ? 0 : TlsRecords::SealedSize(apart);
    const size_t size = lead + TlsRecords::SealedSize(take - apart);
    if (sealed_.size() < size && !Grow(sealed_, std::max(size, kLargestReplyRecords))) {
      return {0, ENOMEM, "gnutls_record_send"};
    }
    if ((apart > 0 &&
         !records_own_->Seal(TlsRecords::kApplicationData, {data, apart}, {}, sealed_.data())) ||
        !records_own_->Seal(TlsRecords::kApplicationData, {data + apart, take - apart}, {},
                            sealed_.data() + lead)) {
      return {0, EPROTO, "gnutls_record_send"};
    }
    sealed_end_ = size;
    sealed_sent_ = 0;
    reply_bytes_ = take;
  }
  for (;;) {
    std::vector<uint8_t>& from = records_sent_ < records_.size() ? records_ : sealed_;
    size_t& sent = &from == &records_ ? records_sent_ : sealed_sent_;
    const size_t end = &from == &records_ ? records_.size() : sealed_end_;
    if (sent == end) break;
    const Transfer t = platform::SendSome(socket_, from.data() + sent, end - sent);
    if (t.error == EAGAIN) return {0, EAGAIN};
    if (t.error != 0) {
      reply_bytes_ = 0;
      return LayerTransfer::Of(t, "send");
    }
    sent += t.bytes;
  }
  records_.clear();
  records_sent_ = 0;
  return {std::exchange(reply_bytes_, 0), 0};
}

bool TlsLink::HasBuffered() const {
  if (prefix_used_ < prefix_length_ || received_begin_ < received_end_) return true;
  if (content_begin_ < content_end_) return true;
  if (records_own_ != nullptr) return false;
  return state_ == State::kSession && gnutls_record_check_pending(session_) > 0;
}

bool TlsLink::WaitsToWrite(bool sending) const {
  if (state_ == State::kSession && records_own_ != nullptr) return sending;
  if (state_ == State::kHandshake || state_ == State::kSession) {
    return gnutls_record_get_direction(session_) == 1;
  }
  return sending;
}

}  // namespace quensaria::engine
