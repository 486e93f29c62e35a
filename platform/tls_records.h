// TLS 1.3 records sealed and opened with the keys a GnuTLS session agreed
// on, in place of GnuTLS's record functions: those copy each record into a
// buffer of their own, allocate per record and hand the plain bytes out
// with another copy. Here a record is sealed from the caller's bytes
// straight into the buffer that goes to the socket, and opened from the
// received bytes straight into the caller's buffer where it fits.
//
// The cipher is Intel's multi-buffer library's AES-GCM, which takes the
// widest vector instructions the processor has: with VAES and AVX-512 it
// is over twice GnuTLS's, and on two cores the cipher is most of what TLS
// costs.
//
// Only AES-128-GCM is done here (what the service picks); for another cipher
// Take gives nothing and GnuTLS's record functions stay in use. Records
// other than application data and alerts (a key update, a ticket) go back
// to GnuTLS: HandBack gives it the sequence numbers, and TakeBack the keys
// it has then.
//
// Threads: one at a time, like the session it came from.
#ifndef QUENSARIA_PLATFORM_TLS_RECORDS_H_
#define QUENSARIA_PLATFORM_TLS_RECORDS_H_

#include <gnutls/gnutls.h>
#include <intel-ipsec-mb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quensaria::platform {

class TlsRecords {
 public:
  static constexpr size_t kHeaderSize = 5;
  static constexpr size_t kTagSize = 16;
  // The most content one record carries, and the most a record may hold
  // after its header (content, type, padding and tag).
  static constexpr size_t kMaxContent = 16384;
  static constexpr size_t kMaxBody = kMaxContent + 256;
  static constexpr size_t kMaxRecord = kHeaderSize + kMaxBody;

  static constexpr uint8_t kAlert = 21;
  static constexpr uint8_t kHandshake = 22;
  static constexpr uint8_t kApplicationData = 23;

  // The keys of `session`, whose handshake is done; null for a cipher not
  // done here, or when GnuTLS holds received records not yet read, or when
  // the processor has no cipher here.
  static std::unique_ptr<TlsRecords> Take(gnutls_session_t session);

  // The library's code that Take gives: kAuto, the widest the processor
  // has, unless a test picks another path other processors get, or kNone
  // for GnuTLS's own record functions.
  enum class Code { kAuto, kSse, kAvx, kAvx2, kAvx512, kNone };
  // False, and nothing changed, when this processor cannot run `code`.
  // Sessions taken before keep the code they had.
  static bool UseCodeForTesting(Code code);
  ~TlsRecords();
  TlsRecords(const TlsRecords&) = delete;
  TlsRecords& operator=(const TlsRecords&) = delete;

  // What `length` bytes of content take on the wire, in records of at most
  // kMaxContent.
  static size_t SealedSize(size_t length);
  // Seals the bytes of `first` and then `second` as records of `type` at
  // `out` (SealedSize of their sum): kMaxContent a record, the last one
  // what is left.
  bool Seal(uint8_t type, std::span<const uint8_t> first, std::span<const uint8_t> second,
            uint8_t* out);

  // The size of the record that starts `bytes`: 0 while its header is not
  // all there, -1 for a header no TLS 1.3 peer sends.
  static ptrdiff_t RecordSize(std::span<const uint8_t> bytes);
  // Makes room behind `[*begin, *end)` of `buffer` (at least kMaxRecord
  // bytes long) for the rest of the record that starts there: the part in
  // hand moves to the front where the rest would not fit.
  static void MakeRoom(std::span<uint8_t> buffer, size_t* begin, size_t* end);
  // The most content the whole record `record` can carry.
  static size_t MostContent(std::span<const uint8_t> record) {
    return record.size() - kHeaderSize - kTagSize - 1;
  }

  struct Opened {
    uint8_t type = 0;
    size_t length = 0;  // of the content, at the place Open was given
  };
  // Opens the whole record `record` into `out`, which holds
  // MostContent(record) bytes. False when it does not open (a wrong key
  // or tag, no content type): the session is broken, and `out` holds no
  // content of it.
  bool Open(std::span<const uint8_t> record, uint8_t* out, Opened* opened);

  // Whether the key that seals should be changed: its records near the
  // count AES-GCM allows one key.
  bool SealingKeyWornOut() const { return write_.sequence >= update_after_; }
  void set_update_after_for_testing(uint64_t records) { update_after_ = records; }

  // Gives GnuTLS this side's sequence numbers, before it reads or sends a
  // record of its own (`reread`: it reads the record opened last again);
  // TakeBack then takes its keys and numbers again.
  bool HandBack(gnutls_session_t session, bool reread) const;
  bool TakeBack(gnutls_session_t session);

 private:
  struct Direction {
    alignas(64) gcm_key_data key;        // the expanded key and its hash key's powers
    alignas(64) gcm_context_data state;  // of the record being sealed or opened
    std::array<uint8_t, 12> iv{};
    uint64_t sequence = 0;
  };
  explicit TlsRecords(IMB_MGR* gcm) : gcm_(gcm) {}
  bool TakeDirection(gnutls_session_t session, bool read, Direction* direction);
  static void Release(Direction* direction);
  static void Nonce(Direction* direction, uint8_t nonce[12]);
  static void PutSequence(uint64_t sequence, unsigned char out[8]);

  IMB_MGR* const gcm_;  // the library's functions for this processor
  Direction read_;
  Direction write_;
  // 2^24.5 records is AES-GCM's bound for one key; change well before.
  uint64_t update_after_ = uint64_t{1} << 23;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_TLS_RECORDS_H_
