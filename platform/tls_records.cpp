#include "platform/tls_records.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace quensaria::platform {
namespace {

void PutHeader(uint8_t* out, size_t body) {
  out[0] = TlsRecords::kApplicationData;  // what every sealed record says it is
  out[1] = 0x03;
  out[2] = 0x03;
  out[3] = static_cast<uint8_t>(body >> 8);
  out[4] = static_cast<uint8_t>(body);
}

// The library's functions for the widest instructions this processor has;
// they keep no state of their own, so every thread shares them.
IMB_MGR* Gcm() {
  static IMB_MGR* const gcm = [] {
    IMB_MGR* manager = alloc_mb_mgr(0);
    if (manager == nullptr) return manager;
    init_mb_mgr_auto(manager, nullptr);
    if (imb_get_errno(manager) != 0) {
      free_mb_mgr(manager);
      return static_cast<IMB_MGR*>(nullptr);
    }
    return manager;
  }();
  return gcm;
}

// A test's pick of code, and the managers made for it; they are kept, as
// records taken with one may outlive the pick.
std::atomic<TlsRecords::Code> picked{TlsRecords::Code::kAuto};
std::mutex made_lock;
std::array<IMB_MGR*, static_cast<size_t>(TlsRecords::Code::kNone)> made{};

IMB_MGR* Make(TlsRecords::Code code) {
  using Code = TlsRecords::Code;
  IMB_MGR* manager = alloc_mb_mgr(0);
  if (manager == nullptr) return manager;
  switch (code) {
    case Code::kSse:
      init_mb_mgr_sse(manager);
      break;
    case Code::kAvx:
      init_mb_mgr_avx(manager);
      break;
    case Code::kAvx2:
      init_mb_mgr_avx2(manager);
      break;
    case Code::kAvx512:
      init_mb_mgr_avx512(manager);
      break;
    default:
      init_mb_mgr_auto(manager, nullptr);
      break;
  }
  if (imb_get_errno(manager) != 0) {
    free_mb_mgr(manager);
    return nullptr;
  }
  return manager;
}

}  // namespace

bool TlsRecords::UseCodeForTesting(Code code) {
  if (code != Code::kAuto && code != Code::kNone) {
    std::lock_guard<std::mutex> hold(made_lock);
    IMB_MGR*& manager = made[static_cast<size_t>(code)];
    if (manager == nullptr) manager = Make(code);
    if (manager == nullptr) return false;
  }
  picked.store(code, std::memory_order_release);
  return true;
}

std::unique_ptr<TlsRecords> TlsRecords::Take(gnutls_session_t session) {
  if (gnutls_cipher_get(session) != GNUTLS_CIPHER_AES_128_GCM) return nullptr;
  if (gnutls_protocol_get_version(session) != GNUTLS_TLS1_3) return nullptr;
  if (gnutls_record_check_pending(session) > 0) return nullptr;
  IMB_MGR* gcm = nullptr;
  const Code code = picked.load(std::memory_order_acquire);
  if (code == Code::kAuto) {
    gcm = Gcm();
  } else if (code != Code::kNone) {
    std::lock_guard<std::mutex> hold(made_lock);
    gcm = made[static_cast<size_t>(code)];
  }
  if (gcm == nullptr) return nullptr;
  std::unique_ptr<TlsRecords> records(new TlsRecords(gcm));
  if (!records->TakeBack(session)) return nullptr;
  return records;
}

TlsRecords::~TlsRecords() {
  Release(&read_);
  Release(&write_);
}

void TlsRecords::Release(Direction* direction) {
  explicit_bzero(&direction->key, sizeof direction->key);
  explicit_bzero(&direction->state, sizeof direction->state);
  explicit_bzero(direction->iv.data(), direction->iv.size());
}

bool TlsRecords::TakeDirection(gnutls_session_t session, bool read, Direction* direction) {
  gnutls_datum_t mac{};
  gnutls_datum_t iv{};
  gnutls_datum_t key{};
  unsigned char sequence[8];
  if (gnutls_record_get_state(session, read ? 1 : 0, &mac, &iv, &key, sequence) < 0) return false;
  if (iv.size != direction->iv.size() || key.size != IMB_KEY_128_BYTES) return false;
  IMB_AES128_GCM_PRE(gcm_, key.data, &direction->key);
  std::memcpy(direction->iv.data(), iv.data, iv.size);
  direction->sequence = 0;
  for (unsigned char byte : sequence) direction->sequence = (direction->sequence << 8) | byte;
  return true;
}

bool TlsRecords::TakeBack(gnutls_session_t session) {
  if (gnutls_cipher_get(session) != GNUTLS_CIPHER_AES_128_GCM) return false;
  return TakeDirection(session, true, &read_) && TakeDirection(session, false, &write_);
}

void TlsRecords::PutSequence(uint64_t sequence, unsigned char out[8]) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(sequence);
    sequence >>= 8;
  }
}

bool TlsRecords::HandBack(gnutls_session_t session, bool reread) const {
  unsigned char sequence[8];
  PutSequence(read_.sequence - (reread ? 1 : 0), sequence);
  if (gnutls_record_set_state(session, 1, sequence) < 0) return false;
  PutSequence(write_.sequence, sequence);
  return gnutls_record_set_state(session, 0, sequence) >= 0;
}

// The record's nonce: the IV with the record's sequence number mixed into
// its last eight bytes.
void TlsRecords::Nonce(Direction* direction, uint8_t nonce[12]) {
  std::memcpy(nonce, direction->iv.data(), 12);
  uint64_t sequence = direction->sequence++;
  for (int i = 11; i >= 4; --i) {
    nonce[i] ^= static_cast<uint8_t>(sequence);
    sequence >>= 8;
  }
}

size_t TlsRecords::SealedSize(size_t length) {
  const size_t records = length == 0 ? 1 : (length + kMaxContent - 1) / kMaxContent;
  return length + records * (kHeaderSize + 1 + kTagSize);
}

bool TlsRecords::Seal(uint8_t type, std::span<const uint8_t> first, std::span<const uint8_t> second,
                      uint8_t* out) {
  size_t left = first.size() + second.size();
  do {
    const size_t content = std::min(left, kMaxContent);
    left -= content;
    PutHeader(out, content + 1 + kTagSize);
    uint8_t nonce[12];
    Nonce(&write_, nonce);
    IMB_AES128_GCM_INIT(gcm_, &write_.key, &write_.state, nonce, out, kHeaderSize);
    uint8_t* sealed = out + kHeaderSize;
    size_t need = content;
    while (need > 0) {
      std::span<const uint8_t>& part = first.empty() ? second : first;
      const size_t here = std::min(need, part.size());
      IMB_AES128_GCM_ENC_UPDATE(gcm_, &write_.key, &write_.state, sealed, part.data(), here);
      sealed += here;
      part = part.subspan(here);
      need -= here;
    }
    IMB_AES128_GCM_ENC_UPDATE(gcm_, &write_.key, &write_.state, sealed, &type, 1);
    sealed += 1;
    IMB_AES128_GCM_ENC_FINALIZE(gcm_, &write_.key, &write_.state, sealed, kTagSize);
    out = sealed + kTagSize;
  } while (left > 0);
  return true;
}

ptrdiff_t TlsRecords::RecordSize(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return 0;
  const size_t body = (size_t{bytes[3]} << 8) | bytes[4];
  // After the handshake every record is sealed and says it is application
  // data; its real type is inside.
  if (bytes[0] != kApplicationData || bytes[1] != 0x03 || bytes[2] != 0x03 || body < kTagSize + 1 ||
      body > kMaxBody) {
    return -1;
  }
  return static_cast<ptrdiff_t>(kHeaderSize + body);
}

void TlsRecords::MakeRoom(std::span<uint8_t> buffer, size_t* begin, size_t* end) {
  if (*begin == *end) {
    *begin = *end = 0;
  } else if (buffer.size() - *begin < kMaxRecord) {
    std::memmove(buffer.data(), buffer.data() + *begin, *end - *begin);
    *end -= *begin;
    *begin = 0;
  }
}

// The content goes straight to `out` but for the last byte, opened apart,
// so that the content type never lands past what `out` holds.
bool TlsRecords::Open(std::span<const uint8_t> record, uint8_t* out, Opened* opened) {
  const size_t sealed = record.size() - kHeaderSize - kTagSize;
  uint8_t nonce[12];
  Nonce(&read_, nonce);
  IMB_AES128_GCM_INIT(gcm_, &read_.key, &read_.state, nonce, record.data(), kHeaderSize);
  const uint8_t* in = record.data() + kHeaderSize;
  const size_t straight = sealed - 1;
  uint8_t last = 0;
  IMB_AES128_GCM_DEC_UPDATE(gcm_, &read_.key, &read_.state, out, in, straight);
  IMB_AES128_GCM_DEC_UPDATE(gcm_, &read_.key, &read_.state, &last, in + straight, 1);
  std::array<uint8_t, kTagSize> tag;
  IMB_AES128_GCM_DEC_FINALIZE(gcm_, &read_.key, &read_.state, tag.data(), tag.size());
  if (gnutls_memcmp(tag.data(), in + sealed, kTagSize) != 0) {
    explicit_bzero(out, straight);
    return false;
  }
  // The type is the last byte that is not zero; the zeros behind it are
  // padding.
  if (last != 0) {
    opened->type = last;
    opened->length = straight;
    return true;
  }
  size_t end = straight;
  while (end > 0 && out[end - 1] == 0) --end;
  if (end == 0) return false;
  opened->type = out[end - 1];
  opened->length = end - 1;
  return true;
}

}  // namespace quensaria::platform
