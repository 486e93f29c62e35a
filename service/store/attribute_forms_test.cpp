// Text forms of the configuration attributes, one table per form.
#include "service/store/attribute_forms.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace quensaria::store {
namespace {

uint32_t Ip(const char* dotted) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1);
  return address.s_addr;
}

TEST(AttributeFormsTest, AddressesAsSignedLittleEndianDecimal) {
  const struct {
    const char* dotted;
    const char* text;
  } rows[] = {
      {"192.168.0.1", "16820416"}, {"10.0.0.200", "-939524086"}, {"0.0.0.0", "0"},
      {"255.255.255.255", "-1"},   {"127.0.0.1", "16777343"},    {"1.0.0.128", "-2147483647"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FormatAddress(Ip(row.dotted)), row.text) << row.dotted;
    EXPECT_EQ(ReadAddress(row.text), Ip(row.dotted)) << row.text;
  }
  // The unsigned form of the same bits reads as well.
  EXPECT_EQ(ReadAddress("3355443210"), Ip("10.0.0.200"));
  EXPECT_EQ(ReadAddress("4294967296"), 0u);
  EXPECT_EQ(ReadAddress("-2147483649"), 0u);
}

TEST(AttributeFormsTest, NumbersThatAreNotNumbersReadAsZero) {
  const struct {
    const char* text;
    int32_t int32;
    uint16_t port;
    uint8_t byte;
  } rows[] = {
      {"60000", 60000, 60000, 0},
      {" 7 ", 7, 7, 7},
      {"+3", 3, 3, 3},
      {"-1", -1, 0, 0},
      {"", 0, 0, 0},
      {"abc", 0, 0, 0},
      {"12abc", 0, 0, 0},
      {"1e3", 0, 0, 0},
      {"0x10", 0, 0, 0},
      {"65536", 65536, 0, 0},
      {"255", 255, 255, 255},
      {"256", 256, 256, 0},
      {"2147483647", 2147483647, 0, 0},
      {"2147483648", 0, 0, 0},
      {"-2147483648", INT32_MIN, 0, 0},
      {"+-5", 0, 0, 0},
      {"--5", 0, 0, 0},
      {"99999999999999999999", 0, 0, 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ReadInt32(row.text), row.int32) << '"' << row.text << '"';
    EXPECT_EQ(ReadPort(row.text), row.port) << '"' << row.text << '"';
    EXPECT_EQ(ReadByte(row.text), row.byte) << '"' << row.text << '"';
  }
}

TEST(AttributeFormsTest, CapabilityCountsWholeSectors) {
  EXPECT_EQ(FormatSectors(1073741824), "2097152");
  EXPECT_EQ(ReadSectorsAsBytes("2097152"), 1073741824);
  EXPECT_EQ(FormatSectors(1023), "1");  // rounded down to whole sectors
  EXPECT_EQ(FormatSectors(511), "0");
  // Disks of 1 TiB and more keep their size.
  EXPECT_EQ(FormatSectors(int64_t{4} << 40), "8589934592");
  EXPECT_EQ(ReadSectorsAsBytes("8589934592"), int64_t{4} << 40);
  EXPECT_EQ(ReadSectorsAsBytes("-1"), -512);
  EXPECT_EQ(ReadSectorsAsBytes("18014398509481984"), 0);  // would overflow 64 bits
  EXPECT_EQ(ReadSectorsAsBytes("big"), 0);
}

TEST(AttributeFormsTest, DigestsLowerCaseOutAnyCaseIn) {
  uint8_t digest[20] = {0x00, 0xab};
  digest[19] = 0xff;
  const std::string text = FormatDigest(digest);
  EXPECT_EQ(text, "00ab0000000000000000000000000000000000ff");
  uint8_t read[20];
  ReadDigest("00AB0000000000000000000000000000000000FF", read);
  EXPECT_EQ(0, memcmp(read, digest, 20));
  memset(read, 0x77, sizeof read);
  ReadDigest("00ab", read);  // too short: all zeros
  for (uint8_t b : read) EXPECT_EQ(b, 0);
  memset(read, 0x77, sizeof read);
  ReadDigest("zzab0000000000000000000000000000000000ff", read);
  for (uint8_t b : read) EXPECT_EQ(b, 0);
}

TEST(AttributeFormsTest, CleanTextKeepsValidTextAndCutsOnCharacterBoundaries) {
  EXPECT_EQ(CleanText("/srv/中文.img", 259), "/srv/中文.img");
  EXPECT_EQ(CleanText(std::string_view("ab\0cd", 5), 259), "ab");
  // "中" is three bytes: a cut at 4 or 5 bytes must not split the second one.
  EXPECT_EQ(CleanText("a中中", 4), "a中");
  EXPECT_EQ(CleanText("a中中", 6), "a中");
  EXPECT_EQ(CleanText("a中中", 7), "a中中");
  EXPECT_EQ(CleanText(std::string(300, 'x'), 259), std::string(259, 'x'));
}

TEST(AttributeFormsTest, CleanTextReplacesWhatXmlCannotCarry) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(CleanText("a\x01"
                      "b",
                      10),
            "a" + replacement + "b");
  EXPECT_EQ(CleanText("a\xff"
                      "b",
                      10),
            "a" + replacement + "b");
  EXPECT_EQ(CleanText("\xC0\xAF", 10), replacement + replacement);  // overlong '/'
  EXPECT_EQ(CleanText("\xED\xA0\x80", 10), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(CleanText("\xE4\xB8", 10), replacement + replacement);  // truncated sequence
  EXPECT_EQ(CleanText("tab\tand\nline", 20), "tab\tand\nline");
  EXPECT_EQ(CleanText("\xF0\x9F\x98\x80", 10), "\xF0\x9F\x98\x80");  // emoji is fine
}

}  // namespace
}  // namespace quensaria::store
