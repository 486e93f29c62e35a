// SHA-1 (FIPS 180-1), the digest of the system's passwords. Incremental:
// Update any number of times, then Final once. Not thread-safe per object.
#ifndef QUENSARIA_SHARED_SHA1_H_
#define QUENSARIA_SHARED_SHA1_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quensaria {

// The length of a SHA-1 digest, and so of every password digest the
// programs store, send and compare.
inline constexpr size_t kDigestSize = 20;
using Sha1Digest = std::array<uint8_t, kDigestSize>;

class Sha1 {
 public:
  Sha1();
  void Update(const void* data, size_t length);
  // Standard output order: the first state word first, most significant
  // byte first. The object must not be updated afterwards.
  Sha1Digest Final();

 private:
  void ProcessBlock(const uint8_t* block);

  std::array<uint32_t, 5> state_;
  std::array<uint8_t, 64> block_{};
  size_t block_used_ = 0;
  uint64_t total_bytes_ = 0;
};

Sha1Digest Sha1Of(std::string_view data);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_SHA1_H_
