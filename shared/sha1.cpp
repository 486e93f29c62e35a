#include "shared/sha1.h"

#include <bit>
#include <cstring>

namespace quensaria {

Sha1::Sha1() : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::ProcessBlock(const uint8_t* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = uint32_t{block[4 * t]} << 24 | uint32_t{block[4 * t + 1]} << 16 |
           uint32_t{block[4 * t + 2]} << 8 | uint32_t{block[4 * t + 3]};
  }
  for (int t = 16; t < 80; ++t) w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6;
    }
    const uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
    e = d, d = c, c = std::rotl(b, 30), b = a, a = temp;
  }
  state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d, state_[4] += e;
}

void Sha1::Update(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  total_bytes_ += length;
  while (length > 0) {
    if (block_used_ == 0 && length >= 64) {
      ProcessBlock(p);
      p += 64, length -= 64;
      continue;
    }
    const size_t take = std::min(length, 64 - block_used_);
    std::memcpy(block_.data() + block_used_, p, take);
    block_used_ += take, p += take, length -= take;
    if (block_used_ == 64) {
      ProcessBlock(block_.data());
      block_used_ = 0;
    }
  }
}

Sha1Digest Sha1::Final() {
  const uint64_t bit_length = total_bytes_ * 8;
  const uint8_t pad = 0x80;
  Update(&pad, 1);
  const uint8_t zero = 0;
  while (block_used_ != 56) Update(&zero, 1);
  uint8_t length_bytes[8];
  for (int i = 0; i < 8; ++i) length_bytes[i] = static_cast<uint8_t>(bit_length >> (56 - 8 * i));
  Update(length_bytes, 8);

  Sha1Digest digest;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
  }
  return digest;
}

Sha1Digest Sha1Of(std::string_view data) {
  Sha1 sha;
  sha.Update(data.data(), data.size());
  return sha.Final();
}

}  // namespace quensaria
