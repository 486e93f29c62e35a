#include "shared/sha1.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/password_digest.h"

namespace quensaria {
namespace {

std::string Hex(std::string_view data) { return DigestToHex(Sha1Of(data)); }

// The example messages of FIPS 180 and the empty message.
TEST(Sha1Test, StandardVectors) {
  EXPECT_EQ(Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Test, OneMillionA) {
  Sha1 sha;
  const std::string chunk(1000, 'a');
  for (int i = 0; i < 1000; ++i) sha.Update(chunk.data(), chunk.size());
  EXPECT_EQ(DigestToHex(sha.Final()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Lengths around the 55/56/64-byte padding boundaries, fed whole and byte by
// byte, must agree: the padding path is where hand-written SHA-1 goes wrong.
TEST(Sha1Test, IncrementalMatchesWholeAtPaddingBoundaries) {
  for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u}) {
    const std::string data(length, 'x');
    Sha1 bytewise;
    for (char c : data) bytewise.Update(&c, 1);
    EXPECT_EQ(DigestToHex(bytewise.Final()), Hex(data)) << "length " << length;
  }
  // Known value for 64 'a's.
  EXPECT_EQ(Hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(PasswordDigestTest, EmptyPasswordIsDigestOfZeroBytes) {
  EXPECT_EQ(DigestToHex(PasswordDigest("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(PasswordDigestTest, HexRoundTripAndCase) {
  Sha1Digest digest{};
  digest[0] = 0x00;
  digest[1] = 0xab;
  const std::string text = DigestToHex(digest);
  EXPECT_EQ(text.substr(0, 4), "00ab");

  Sha1Digest parsed{};
  ASSERT_TRUE(DigestFromHex("00AB" + text.substr(4), parsed));
  EXPECT_EQ(parsed, digest);
}

TEST(PasswordDigestTest, MalformedHexIsRejectedAndLeavesDigest) {
  Sha1Digest digest{};
  digest[5] = 7;
  const Sha1Digest before = digest;
  EXPECT_FALSE(DigestFromHex("", digest));
  EXPECT_FALSE(DigestFromHex(std::string(39, '0'), digest));
  EXPECT_FALSE(DigestFromHex(std::string(41, '0'), digest));
  EXPECT_FALSE(DigestFromHex(std::string(39, '0') + "g", digest));
  EXPECT_EQ(digest, before);
}

}  // namespace
}  // namespace quensaria
