#include "shared/scramble.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "shared/block_protocol.h"

namespace quensaria {
namespace {

// The transform exactly as the protocol states it, step by step, so that the
// table-driven code is checked against the definition rather than itself.
uint8_t ReferenceScramble(uint8_t byte, int i) {
  const auto& k = kScrambleKey;
  for (int j = 0; j < 8; ++j) byte = static_cast<uint8_t>(byte + ((i | j) + k[j]));
  for (int j = 0; j < 8; ++j) byte ^= static_cast<uint8_t>((k[j] - 1) * i);
  byte ^= static_cast<uint8_t>(k[i] << i);
  return byte;
}

uint8_t ReferenceDescramble(uint8_t byte, int i) {
  const auto& k = kScrambleKey;
  byte ^= static_cast<uint8_t>(k[i] << i);
  for (int j = 0; j < 8; ++j) byte ^= static_cast<uint8_t>((k[j] - 1) * i);
  for (int j = 0; j < 8; ++j) byte = static_cast<uint8_t>(byte - ((i | j) + k[j]));
  return byte;
}

TEST(ScrambleTest, EveryValueAtEveryPositionMatchesDefinitionAndRoundTrips) {
  for (int pos = 0; pos < 8; ++pos) {
    for (int value = 0; value < 256; ++value) {
      uint8_t block[8] = {};
      block[pos] = static_cast<uint8_t>(value);
      Scramble(block, 8);
      ASSERT_EQ(block[pos], ReferenceScramble(static_cast<uint8_t>(value), pos))
          << "pos " << pos << " value " << value;
      ASSERT_EQ(ReferenceDescramble(block[pos], pos), value);
      Descramble(block, 8);
      ASSERT_EQ(block[pos], value);
    }
  }
}

// Long buffers take the vector path; every offset and tail length must agree
// with the byte-wise definition.
TEST(ScrambleTest, VectorPathMatchesDefinitionForAllTailLengths) {
  std::mt19937 rng(7);
  for (size_t length : {0u, 1u, 7u, 8u, 63u, 64u, 65u, 127u, 200u, 4096u, 65536u}) {
    std::vector<uint8_t> plain(ScrambledSpan(length) + 8);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> data = plain;
    Scramble(data.data(), length);
    for (size_t i = 0; i < ScrambledSpan(length); ++i) {
      ASSERT_EQ(data[i], ReferenceScramble(plain[i], static_cast<int>(i & 7)))
          << "length " << length << " byte " << i;
    }
    for (size_t i = ScrambledSpan(length); i < data.size(); ++i) ASSERT_EQ(data[i], plain[i]);
    Descramble(data.data(), ScrambledSpan(length));
    ASSERT_EQ(data, plain);
  }
}

// A 13-byte reply scrambles 16 bytes on the service side; the client,
// receiving only 13, must still recover them exactly and touch nothing more.
TEST(ScrambleTest, ShortFinalBlock) {
  EXPECT_EQ(ScrambledSpan(13), 16u);
  uint8_t plain[16];
  for (int i = 0; i < 16; ++i) plain[i] = static_cast<uint8_t>(i * 37 + 1);
  uint8_t data[16];
  std::copy(plain, plain + 16, data);
  Scramble(data, 13);
  EXPECT_NE(data[15], plain[15]);  // the whole last block is processed

  uint8_t received[14];
  std::copy(data, data + 13, received);
  received[13] = 0xEE;  // guard byte
  Descramble(received, 13);
  EXPECT_TRUE(std::equal(received, received + 13, plain));
  EXPECT_EQ(received[13], 0xEE);
}

TEST(ScrambleTest, DescrambleCopyLeavesSourceAlone) {
  std::vector<uint8_t> plain(1000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> wire = plain;
  Scramble(wire.data(), wire.size());
  const std::vector<uint8_t> wire_copy = wire;
  std::vector<uint8_t> out(plain.size());
  DescrambleCopy(wire.data(), out.data(), out.size());
  EXPECT_EQ(out, plain);
  EXPECT_EQ(wire, wire_copy);
}

}  // namespace
}  // namespace quensaria
