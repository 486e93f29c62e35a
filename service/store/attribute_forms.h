// The text forms of the configuration file's attributes: numbers, addresses,
// sector counts, digests and the two text fields. Reading never fails: a
// present attribute that is not a number in its field's range reads as 0,
// a digest that is not 40 hexadecimal digits reads as all zeros, text is
// made valid UTF-8 and cut to its field without splitting a character.
#ifndef QUENSARIA_SERVICE_STORE_ATTRIBUTE_FORMS_H_
#define QUENSARIA_SERVICE_STORE_ATTRIBUTE_FORMS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quensaria::store {

// An optionally signed decimal integer with optional surrounding blanks.
std::optional<int64_t> ParseDecimal(std::string_view text);

// The fields' numbers, or nothing when `text` is not one in range.
std::optional<int32_t> ParseInt32(std::string_view text);
std::optional<uint16_t> ParsePort(std::string_view text);
std::optional<uint8_t> ParseByte(std::string_view text);
std::optional<uint32_t> ParseAddress(std::string_view text);
std::optional<int64_t> ParseSectorsAsBytes(std::string_view text);
// False (and `digest` untouched) when `text` is not 40 hexadecimal digits.
bool ParseDigest(std::string_view text, uint8_t* digest);

// A signed 32-bit number; anything else reads as 0.
int32_t ReadInt32(std::string_view text);
// A port 0..65535; anything else reads as 0.
uint16_t ReadPort(std::string_view text);
// An 8-bit field (access, name state); anything outside 0..255 reads as 0.
uint8_t ReadByte(std::string_view text);

// IPv4 address in network byte order <-> the signed decimal of its four
// bytes read as a little-endian 32-bit integer (192.168.0.1 is "16820416").
// Reading also takes the unsigned form of the same 32 bits.
std::string FormatAddress(uint32_t address);
uint32_t ReadAddress(std::string_view text);

// Disk size in bytes <-> whole 512-byte sectors (rounded down).
std::string FormatSectors(int64_t size_bytes);
int64_t ReadSectorsAsBytes(std::string_view text);

// 20 digest bytes <-> 40 hexadecimal digits (written lower case).
std::string FormatDigest(const uint8_t* digest);
void ReadDigest(std::string_view text, uint8_t* digest);

// `text` up to its first NUL, with invalid UTF-8 and characters that XML
// cannot carry replaced by U+FFFD, cut to at most `max_bytes` bytes on a
// character boundary.
std::string CleanText(std::string_view text, size_t max_bytes);

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_ATTRIBUTE_FORMS_H_
