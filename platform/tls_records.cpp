#include "platform/tls_records.h"

#include <algorithm>
#include <cstring>

namespace quensaria::platform {
namespace {

// AES-GCM takes its bytes in blocks: every part but a record's last must
// be a whole number of them.
constexpr size_t kBlock = 16;

void PutHeader(uint8_t* out, size_t body) {
  out[0] = TlsRecords::kApplicationData;  // what every sealed record says it is
  out[1] = 0x03;
  out[2] = 0x03;
  out[3] = static_cast<uint8_t>(body >> 8);
  out[4] = static_cast<uint8_t>(body);
}

}  // namespace

std::unique_ptr<TlsRecords> TlsRecords::Take(gnutls_session_t session) {
  const gnutls_cipher_algorithm_t algorithm = gnutls_cipher_get(session);
  if (algorithm != GNUTLS_CIPHER_AES_128_GCM) return nullptr;
  if (gnutls_protocol_get_version(session) != GNUTLS_TLS1_3) return nullptr;
  if (gnutls_record_check_pending(session) > 0) return nullptr;
  std::unique_ptr<TlsRecords> records(new TlsRecords());
  records->algorithm_ = algorithm;
  if (!records->TakeBack(session)) return nullptr;
  return records;
}

TlsRecords::~TlsRecords() {
  Release(&read_);
  Release(&write_);
}

void TlsRecords::Release(Direction* direction) {
  if (direction->cipher != nullptr) gnutls_cipher_deinit(direction->cipher);
  direction->cipher = nullptr;
  explicit_bzero(direction->iv.data(), direction->iv.size());
}

bool TlsRecords::TakeDirection(gnutls_session_t session, bool read,
                               gnutls_cipher_algorithm_t algorithm, Direction* direction) {
  gnutls_datum_t mac{};
  gnutls_datum_t iv{};
  gnutls_datum_t key{};
  unsigned char sequence[8];
  if (gnutls_record_get_state(session, read ? 1 : 0, &mac, &iv, &key, sequence) < 0) return false;
  if (iv.size != direction->iv.size() ||
      key.size != static_cast<unsigned>(gnutls_cipher_get_key_size(algorithm))) {
    return false;
  }
  gnutls_cipher_hd_t cipher = nullptr;
  if (gnutls_cipher_init(&cipher, algorithm, &key, nullptr) < 0) return false;
  Release(direction);
  direction->cipher = cipher;
  std::memcpy(direction->iv.data(), iv.data, iv.size);
  direction->sequence = 0;
  for (unsigned char byte : sequence) direction->sequence = (direction->sequence << 8) | byte;
  return true;
}

bool TlsRecords::TakeBack(gnutls_session_t session) {
  if (gnutls_cipher_get(session) != algorithm_) return false;
  return TakeDirection(session, true, algorithm_, &read_) &&
         TakeDirection(session, false, algorithm_, &write_);
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

// Each record's content is taken from the two parts where it lies, whole
// blocks straight from them, the blocks that straddle the two (and the
// content type behind the last) through a block's worth of carry.
bool TlsRecords::Seal(uint8_t type, std::span<const uint8_t> first, std::span<const uint8_t> second,
                      uint8_t* out) {
  size_t left = first.size() + second.size();
  do {
    const size_t content = std::min(left, kMaxContent);
    left -= content;
    const size_t body = content + 1 + kTagSize;
    PutHeader(out, body);
    uint8_t nonce[12];
    Nonce(&write_, nonce);
    gnutls_cipher_set_iv(write_.cipher, nonce, sizeof nonce);
    if (gnutls_cipher_add_auth(write_.cipher, out, kHeaderSize) < 0) return false;
    uint8_t* sealed = out + kHeaderSize;
    std::array<uint8_t, 2 * kBlock> carry;
    size_t carried = 0;
    size_t need = content;
    while (need > 0) {
      std::span<const uint8_t>& part = first.empty() ? second : first;
      const size_t here = std::min(need, part.size());
      size_t used = 0;
      if (carried > 0) {
        used = std::min(here, kBlock - carried);
        std::memcpy(carry.data() + carried, part.data(), used);
        carried += used;
        if (carried == kBlock) {
          if (gnutls_cipher_encrypt2(write_.cipher, carry.data(), kBlock, sealed, kBlock) < 0) {
            return false;
          }
          sealed += kBlock;
          carried = 0;
        }
      }
      const size_t whole = (here - used) / kBlock * kBlock;
      if (whole > 0) {
        if (gnutls_cipher_encrypt2(write_.cipher, part.data() + used, whole, sealed, whole) < 0) {
          return false;
        }
        sealed += whole;
        used += whole;
      }
      std::memcpy(carry.data() + carried, part.data() + used, here - used);
      carried += here - used;
      part = part.subspan(here);
      need -= here;
    }
    carry[carried++] = type;
    if (gnutls_cipher_encrypt2(write_.cipher, carry.data(), carried, sealed, carried) < 0) {
      return false;
    }
    sealed += carried;
    if (gnutls_cipher_tag(write_.cipher, sealed, kTagSize) < 0) return false;
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

// The content goes straight to `out` but for the last few bytes: a block
// or less, opened apart, so that the content type and padding behind the
// content never land past what `out` holds.
bool TlsRecords::Open(std::span<const uint8_t> record, uint8_t* out, Opened* opened) {
  const size_t sealed = record.size() - kHeaderSize - kTagSize;
  uint8_t nonce[12];
  Nonce(&read_, nonce);
  gnutls_cipher_set_iv(read_.cipher, nonce, sizeof nonce);
  if (gnutls_cipher_add_auth(read_.cipher, record.data(), kHeaderSize) < 0) return false;
  const uint8_t* in = record.data() + kHeaderSize;
  const size_t straight = (sealed - 1) / kBlock * kBlock;
  std::array<uint8_t, kBlock> last;
  const size_t last_size = sealed - straight;
  if (gnutls_cipher_decrypt2(read_.cipher, in, straight, out, straight) < 0 ||
      gnutls_cipher_decrypt2(read_.cipher, in + straight, last_size, last.data(), last_size) < 0) {
    return false;
  }
  std::array<uint8_t, kTagSize> tag;
  if (gnutls_cipher_tag(read_.cipher, tag.data(), tag.size()) < 0 ||
      gnutls_memcmp(tag.data(), in + sealed, kTagSize) != 0) {
    explicit_bzero(out, straight);
    return false;
  }
  // The type is the last byte that is not zero; the zeros behind it are
  // padding.
  size_t end = last_size;
  while (end > 0 && last[end - 1] == 0) --end;
  if (end > 0) {
    opened->type = last[end - 1];
    opened->length = straight + end - 1;
    std::memcpy(out + straight, last.data(), end - 1);
    return true;
  }
  end = straight;
  while (end > 0 && out[end - 1] == 0) --end;
  if (end == 0) return false;
  opened->type = out[end - 1];
  opened->length = end - 1;
  return true;
}

}  // namespace quensaria::platform
