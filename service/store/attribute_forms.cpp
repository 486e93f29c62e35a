#include "service/store/attribute_forms.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "shared/password_digest.h"

namespace quensaria::store {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<int64_t> ReadInRange(std::string_view text, int64_t low, int64_t high) {
  const std::optional<int64_t> value = ParseDecimal(text);
  if (!value || *value < low || *value > high) return std::nullopt;
  return value;
}

// Length of the UTF-8 sequence at the start of `s` and its code point, or 0
// when the bytes there do not form one (overlong forms and surrogates too).
size_t DecodeUtf8(std::string_view s, char32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(0);
  size_t length;
  char32_t min;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The characters of XML 1.0 (its Char production).
bool IsXmlChar(char32_t c) {
  if (c < 0x20) return c == 0x9 || c == 0xA || c == 0xD;
  return c <= 0xD7FF || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::optional<int64_t> ParseDecimal(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<int32_t> ParseInt32(std::string_view text) {
  const auto value =
      ReadInRange(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  const auto value = ReadInRange(text, 0, 65535);
  if (!value) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::optional<uint8_t> ParseByte(std::string_view text) {
  const auto value = ReadInRange(text, 0, 255);
  if (!value) return std::nullopt;
  return static_cast<uint8_t>(*value);
}

int32_t ReadInt32(std::string_view text) { return ParseInt32(text).value_or(0); }

uint16_t ReadPort(std::string_view text) { return ParsePort(text).value_or(0); }

uint8_t ReadByte(std::string_view text) { return ParseByte(text).value_or(0); }

std::string FormatAddress(uint32_t address) {
  // On this little-endian host the 32-bit value of the four bytes in memory
  // order is exactly their little-endian reading.
  return std::to_string(static_cast<int32_t>(address));
}

std::optional<uint32_t> ParseAddress(std::string_view text) {
  const auto value =
      ReadInRange(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

uint32_t ReadAddress(std::string_view text) { return ParseAddress(text).value_or(0); }

std::string FormatSectors(int64_t size_bytes) { return std::to_string(size_bytes / 512); }

std::optional<int64_t> ParseSectorsAsBytes(std::string_view text) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 512;
  const auto value = ReadInRange(text, -kLimit, kLimit);
  if (!value) return std::nullopt;
  return *value * 512;
}

int64_t ReadSectorsAsBytes(std::string_view text) { return ParseSectorsAsBytes(text).value_or(0); }

std::string FormatDigest(const uint8_t* digest) {
  Sha1Digest bytes;
  std::memcpy(bytes.data(), digest, bytes.size());
  return DigestToHex(bytes);
}

bool ParseDigest(std::string_view text, uint8_t* digest) {
  Sha1Digest bytes{};
  if (!DigestFromHex(TrimBlanks(text), bytes)) return false;
  std::memcpy(digest, bytes.data(), bytes.size());
  return true;
}

void ReadDigest(std::string_view text, uint8_t* digest) {
  if (!ParseDigest(text, digest)) std::memset(digest, 0, sizeof(Sha1Digest));
}

std::string CleanText(std::string_view text, size_t max_bytes) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::string clean;
  clean.reserve(std::min(text.size(), max_bytes));
  while (!text.empty()) {
    char32_t code = 0;
    size_t length = DecodeUtf8(text, code);
    std::string_view piece = text.substr(0, length);
    if (length == 0 || !IsXmlChar(code)) {
      piece = kReplacement;
      length = length == 0 ? 1 : length;
    }
    if (clean.size() + piece.size() > max_bytes) break;
    clean.append(piece);
    text.remove_prefix(length);
  }
  return clean;
}

}  // namespace quensaria::store
