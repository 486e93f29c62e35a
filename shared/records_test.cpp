// Wire layouts of the records that cross boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shared/block_protocol.h"
#include "shared/bytes.h"
#include "shared/device_control.h"
#include "shared/management_records.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"
#include "shared/utf16.h"
#include "shared/win32_error.h"
#include "shared/win32_error_text.h"

namespace quensaria {
namespace {

TEST(BlockProtocolTest, RequestHeaderLayout) {
  uint8_t header[32];
  EncodeRequestHeader({CMD_READ, 0x0102030405060708ull, 0x10000}, header);
  EXPECT_EQ(header[0], 0x82);
  EXPECT_EQ(header[8], 0x08);
  EXPECT_EQ(header[15], 0x01);
  EXPECT_EQ(header[16], 0x00);
  EXPECT_EQ(header[18], 0x01);
  const RequestHeader parsed = ParseRequestHeader(header);
  EXPECT_EQ(parsed.command, CMD_READ);
  EXPECT_EQ(parsed.offset, 0x0102030405060708ull);
  EXPECT_EQ(parsed.length, 0x10000u);
}

TEST(BlockProtocolTest, LoginCarriesDigestAtOffset8) {
  uint8_t digest[20];
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(0xA0 + i);
  uint8_t header[32];
  EncodeLoginRequest(digest, header);
  EXPECT_EQ(header[0], CMD_LOGIN);
  EXPECT_EQ(0, std::memcmp(header + 8, digest, 20));
  EXPECT_EQ(header[28], 0);
}

// The reply is built over the request; bytes 2..3 keep what the request had,
// and a client must not read them as part of the status.
TEST(BlockProtocolTest, ReplyLeavesBytes2And3) {
  uint8_t buffer[32];
  std::memset(buffer, 0x5C, sizeof buffer);
  EncodeReplyHeader({REPLY_DENIED, 512, 0}, buffer);
  EXPECT_EQ(buffer[0], 0x04);
  EXPECT_EQ(buffer[1], 0x20);
  EXPECT_EQ(buffer[2], 0x5C);
  EXPECT_EQ(buffer[3], 0x5C);
  const ReplyHeader reply = ParseReplyHeader(buffer);
  EXPECT_EQ(reply.status, REPLY_DENIED);
  EXPECT_EQ(reply.length, 512u);
  EXPECT_EQ(reply.data_length, 0u);
}

TEST(BlockProtocolTest, QueryDataLayout) {
  uint8_t data[16];
  std::memset(data, 0xFF, sizeof data);
  EncodeQueryData({ACCESS_VIRTUAL_WRITE, 1073741824ull + 32256}, data);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 1);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(data[i], 0);
  const QueryData query = ParseQueryData(data);
  EXPECT_EQ(query.disk_size, 1073741824ull + 32256);
  EXPECT_EQ(query.flags, 0);
}

// What a service of this version adds: byte 2 bit 0 says CMD_FLUSH is
// understood, bytes 4..7 carry the boot identity; byte 3 stays 0.
TEST(BlockProtocolTest, QueryDataFlagsAndBootIdentity) {
  EXPECT_EQ(CMD_FLUSH, 0x86);
  EXPECT_EQ(QUERY_FLAG_FLUSH, 0x01);
  uint8_t data[16];
  std::memset(data, 0xFF, sizeof data);
  EncodeQueryData({ACCESS_FULL, 0x0102030405060708ull, QUERY_FLAG_FLUSH, {0x5b, 0x31, 0x68, 0x28}},
                  data);
  const uint8_t expected[16] = {0, 0, 0x01, 0, 0x5b, 0x31, 0x68, 0x28, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(0, std::memcmp(data, expected, sizeof data));
  const QueryData query = ParseQueryData(expected);
  EXPECT_EQ(query.flags, QUERY_FLAG_FLUSH);
  EXPECT_EQ(query.boot_id, (std::array<uint8_t, 4>{0x5b, 0x31, 0x68, 0x28}));
  EXPECT_EQ(query.disk_size, 0x0102030405060708ull);
}

TEST(DeviceControlTest, IoctlNumberIsIowrV1) {
  // _IOWR('V', 1, 4116-byte record) as the kernel headers compute it.
  EXPECT_EQ(kDeviceControlIoctl, 0xD0145601ul);
}

TEST(NtStatusTest, MounterSeesTheErrorsItActsOn) {
  EXPECT_EQ(Win32ErrorFromNtStatus(STATUS_WRONG_PASSWORD), 86u);
  EXPECT_EQ(Win32ErrorFromNtStatus(STATUS_DEVICE_ALREADY_ATTACHED), 1056u);
  EXPECT_EQ(Win32ErrorFromNtStatus(STATUS_SUCCESS), 0u);
  EXPECT_FALSE(NT_SUCCESS(STATUS_NO_MEDIA_IN_DEVICE));
  EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
  // The wrong kind of export, each with its own sentence.
  for (const NtStatus status : {STATUS_EXPORT_NEEDS_TLS, STATUS_EXPORT_NOT_TLS}) {
    EXPECT_FALSE(NT_SUCCESS(status));
  }
  EXPECT_EQ(Win32ErrorText(Win32ErrorFromNtStatus(STATUS_EXPORT_NEEDS_TLS)),
            "The export uses TLS: mount it with TLS.");
  EXPECT_EQ(Win32ErrorText(Win32ErrorFromNtStatus(STATUS_EXPORT_NOT_TLS)),
            "The export does not use TLS: mount it without TLS.");
}

TEST(ManagementRecordsTest, RecordBufferCarriesRecordThenZeros) {
  ServerConfig config{};
  std::strcpy(config.Source, "/srv/disk.img");
  config.Port = 60000;
  config.SizeBytes = 1 << 30;
  uint8_t buffer[kRecordBufferSize];
  std::memset(buffer, 0xAA, sizeof buffer);
  EncodeRecord(config, buffer);
  EXPECT_EQ(buffer[264], 0x60);  // 60000 = 0xEA60, little-endian
  EXPECT_EQ(buffer[265], 0xEA);
  for (size_t i = sizeof(ServerConfig); i < kRecordBufferSize; ++i) ASSERT_EQ(buffer[i], 0);
  const ServerConfig back = DecodeServerConfig(buffer);
  EXPECT_STREQ(back.Source, "/srv/disk.img");
  EXPECT_EQ(back.SizeBytes, 1 << 30);
}

// What an older or a newer service sends: only the fields it filled, as its
// RecordSize says, count; the rest are zero whatever the buffer holds.
TEST(ManagementRecordsTest, ServerStatsKeepsWhatItsSenderFilled) {
  ServerStats stats{};
  stats.RecordSize = sizeof stats;
  stats.Running = 1;
  stats.BytesRead = 0x0102030405060708ull;
  stats.LatencyP99Micros = 0xCAFE;
  uint8_t buffer[kRecordBufferSize];
  EncodeRecord(stats, buffer);
  EXPECT_EQ(LoadLe32(buffer), 120u);
  EXPECT_EQ(buffer[48], 0x08);  // BytesRead, little-endian
  ServerStats back = DecodeServerStats(buffer);
  EXPECT_EQ(back.BytesRead, 0x0102030405060708ull);
  EXPECT_EQ(back.LatencyP99Micros, 0xCAFEu);

  // A sender that knew only the first 64 bytes: the rest reads as zero.
  std::memset(buffer + 64, 0x77, kRecordBufferSize - 64);
  StoreLe32(buffer, 64);
  back = DecodeServerStats(buffer);
  EXPECT_EQ(back.RecordSize, 64u);
  EXPECT_EQ(back.BytesRead, 0x0102030405060708ull);
  EXPECT_EQ(back.Errors, 0u);
  EXPECT_EQ(back.LatencyP99Micros, 0u);
  // A newer one with more fields: this record's fields, nothing beyond.
  StoreLe32(buffer, 600);
  back = DecodeServerStats(buffer);
  EXPECT_EQ(back.RecordSize, 600u);
  EXPECT_EQ(back.LatencyP99Micros, 0x77777777u);
}

TEST(MountRecordTest, NtPaths) {
  EXPECT_EQ(NtPathFromLinux("/tmp/a.img"), "\\??\\/tmp/a.img");
  EXPECT_EQ(LinuxPathFromNt("\\??\\/tmp/a.img"), "/tmp/a.img");
  EXPECT_EQ(LinuxPathFromNt("/plain"), "/plain");
}

// 10.0.0.5:60000 as a record holds it: the bytes in network order.
MountServer Server(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  MountServer s;
  const uint8_t address[4] = {a, b, c, d};
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  std::memcpy(&s.address, address, 4);
  std::memcpy(&s.port, port_bytes, 2);
  return s;
}

TEST(MountRecordTest, TheOtherServersLieInBytes49To60) {
  MountRecord record{};
  std::memset(&record, 0xEE, sizeof record);
  const std::vector<MountServer> three = {Server(10, 0, 0, 5, 60000), Server(10, 0, 0, 6, 60001),
                                          Server(192, 168, 7, 9, 443)};
  ASSERT_TRUE(SetMountServers(record, three));
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  const uint8_t first[6] = {10, 0, 0, 5, 0xEA, 0x60};
  EXPECT_EQ(0, std::memcmp(bytes + 16, first, 4));
  EXPECT_EQ(0, std::memcmp(bytes + 20, first + 4, 2));
  const uint8_t more[12] = {10, 0, 0, 6, 0xEA, 0x61, 192, 168, 7, 9, 0x01, 0xBB};
  EXPECT_EQ(0, std::memcmp(bytes + 49, more, sizeof more));
  EXPECT_EQ(bytes[61], 0xEE);  // the rest of the reserved bytes untouched
  EXPECT_EQ(bytes[10], 0xEE);
  EXPECT_EQ(MountServers(record), three);

  // Fewer servers clear the slots they do not use.
  ASSERT_TRUE(SetMountServers(record, {three[1]}));
  EXPECT_EQ(MountServers(record), std::vector<MountServer>{three[1]});
  EXPECT_EQ(std::vector<uint8_t>(bytes + 49, bytes + 61), std::vector<uint8_t>(12, 0));
  // A record from before several servers names its one.
  MountRecord old{};
  old.serverAddress = three[0].address;
  old.serverPort = three[0].port;
  EXPECT_EQ(MountServers(old), std::vector<MountServer>{three[0]});
  EXPECT_TRUE(MountServers(MountRecord{}).empty());

  // None, four, or a server 0.0.0.0 leave the record as it was.
  const MountRecord before = record;
  EXPECT_FALSE(SetMountServers(record, {}));
  EXPECT_FALSE(SetMountServers(record, {three[0], three[1], three[2], Server(1, 2, 3, 4, 5)}));
  EXPECT_FALSE(SetMountServers(record, {three[0], MountServer{}}));
  EXPECT_EQ(0, std::memcmp(&before, &record, sizeof record));

  SetCurrentServer(record, 2);
  EXPECT_EQ(bytes[43], 2);
  EXPECT_EQ(CurrentServer(record), 2);
}

// The connection count lies in byte 11, beside the flags, and touches no
// other byte the record uses.
TEST(MountRecordTest, TheConnectionCountIsByteEleven) {
  MountRecord record{};
  ASSERT_TRUE(SetMountServers(record, {Server(10, 0, 0, 5, 60000), Server(10, 0, 0, 6, 60001)}));
  record.reserved0[0] = kMountFlagTls;
  const MountRecord before = record;
  EXPECT_EQ(0, MountConnections(record));
  SetMountConnections(record, kMaxMountConnections);
  EXPECT_EQ(kMaxMountConnections, MountConnections(record));
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  const auto* was = reinterpret_cast<const uint8_t*>(&before);
  for (size_t i = 0; i < sizeof record; ++i) {
    EXPECT_EQ(i == kMountConnectionsOffset ? kMaxMountConnections : was[i], bytes[i]) << i;
  }
  EXPECT_EQ(kMountFlagTls, bytes[kMountFlagsOffset]);
}

TEST(MountRecordTest, ServerListsAreParsedOrRefusedWithTheirFault) {
  auto list = ParseServerList("10.0.0.5:60000, 10.0.0.6:60001");
  ASSERT_TRUE(list.ok()) << list.status().message();
  EXPECT_EQ(*list,
            (std::vector<MountServer>{Server(10, 0, 0, 5, 60000), Server(10, 0, 0, 6, 60001)}));
  list = ParseServerList("  127.0.0.1:1\t127.0.0.2:65535,,127.0.0.3:80 ");
  ASSERT_TRUE(list.ok()) << list.status().message();
  EXPECT_EQ(list->size(), 3u);
  EXPECT_EQ(ServerText((*list)[1]), "127.0.0.2:65535");

  struct Bad {
    const char* text;
    const char* says;
  };
  const Bad bad[] = {
      {"", "no server given"},
      {" , ", "no server given"},
      {"10.0.0.5", "give it as ADDRESS:PORT"},
      {"10.0.0:60000", "not an IPv4 address"},
      {"10.0.0.256:60000", "not an IPv4 address"},
      {"10.0.0.5.1:60000", "not an IPv4 address"},
      {"host:60000", "not an IPv4 address"},
      {"10.0.0.5:0", "from 1 to 65535"},
      {"10.0.0.5:65536", "from 1 to 65535"},
      {"10.0.0.5:6x", "from 1 to 65535"},
      {"10.0.0.5:", "from 1 to 65535"},
      {"0.0.0.0:60000", "0.0.0.0 is no server"},
      {"10.0.0.5:60000 10.0.0.5:60000", "named twice"},
      {"1.1.1.1:1 1.1.1.2:1 1.1.1.3:1 1.1.1.4:1", "at most 3 servers"},
  };
  for (const Bad& b : bad) {
    const auto parsed = ParseServerList(b.text);
    ASSERT_FALSE(parsed.ok()) << b.text;
    EXPECT_EQ(parsed.status().code(), ERROR_INVALID_PARAMETER);
    EXPECT_NE(parsed.status().message().find(b.says), std::string::npos)
        << b.text << ": " << parsed.status().message();
  }
  // The part at fault is named.
  EXPECT_NE(ParseServerList("10.0.0.5:1, 10.0.0.9:99999").status().message().find("10.0.0.9:99999"),
            std::string::npos);
  EXPECT_FALSE(ParseServerList("10.0.0.5:1 10.0.0.6:1", 1).ok());
}

TEST(Utf16Test, RoundTripsChineseAndAstralText) {
  const std::string text = "/srv/镜像/\xF0\x9F\x98\x80.img";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80").size(), 2u);
}

TEST(Utf16Test, MalformedInputBecomesReplacement) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");  // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong NUL
  const char16_t lone[] = {0xD800, u'x'};
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(lone, 2)), "\xEF\xBF\xBDx");
}

TEST(Utf16Test, FixedFieldLimits) {
  MountRecord record{};
  EXPECT_TRUE(StoreUtf16Field(std::string(299, 'a'), record.sourceName, kMountPathUnits));
  EXPECT_EQ(LoadUtf16Field(record.sourceName, kMountPathUnits), std::string(299, 'a'));
  EXPECT_FALSE(StoreUtf16Field(std::string(300, 'a'), record.sourceName, kMountPathUnits));
  EXPECT_EQ(LoadUtf16Field(record.sourceName, kMountPathUnits), "");
  // A field without a NUL is read to its end, never beyond.
  std::fill(record.cachePath, record.cachePath + kMountPathUnits, u'z');
  EXPECT_EQ(LoadUtf16Field(record.cachePath, kMountPathUnits).size(), 300u);
}

TEST(Utf16Test, TerminalTextShowsControlCharactersAsQuestionMarks) {
  EXPECT_EQ(TerminalText("\x1B[2Jdisk\tA\x7F"), "?[2Jdisk?A?");
  EXPECT_EQ(TerminalText("a\xC2\x9B"
                         "31mb"),
            "a?31mb");  // C1 CSI
  // Printable text outside ASCII stays, C2 A0 (no-break space) included.
  EXPECT_EQ(TerminalText("\xC2\xA0镜像\xF0\x9F\x98\x80"), "\xC2\xA0镜像\xF0\x9F\x98\x80");
  // A lone lead byte is no C1 control, and never reads past the end.
  EXPECT_EQ(TerminalText("x\xC2"), "x\xEF\xBF\xBD");
  EXPECT_EQ(TerminalText(std::string_view("a\0b", 3)), "a?b");
}

}  // namespace
}  // namespace quensaria
