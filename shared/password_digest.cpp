#include "shared/password_digest.h"

namespace quensaria {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Sha1Digest PasswordDigest(std::string_view password) { return Sha1Of(password); }

std::string DigestToHex(const Sha1Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * kDigestSize);
  for (uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

bool DigestFromHex(std::string_view text, Sha1Digest& digest) {
  if (text.size() != 2 * kDigestSize) return false;
  Sha1Digest parsed;
  for (size_t i = 0; i < kDigestSize; ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    parsed[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  digest = parsed;
  return true;
}

}  // namespace quensaria
