// The block protocol between the Velmoran driver (client) and the Quensaria
// service: the 32-byte request header, the 12-byte reply header, the 16-byte
// query data, their constants and the scrambling key of read data.
//
// All integers are little-endian; offsets and lengths are bytes. A connection
// carries at most one outstanding request; replies match requests by order.
// Both sides use these definitions; neither defines its own.
#ifndef QUENSARIA_SHARED_BLOCK_PROTOCOL_H_
#define QUENSARIA_SHARED_BLOCK_PROTOCOL_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "shared/sha1.h"  // kDigestSize

namespace quensaria {

// Command codes (request byte 0).
inline constexpr uint8_t CMD_READ = 0x82;
inline constexpr uint8_t CMD_WRITE = 0x83;
inline constexpr uint8_t CMD_QUERY = 0x84;
inline constexpr uint8_t CMD_LOGIN = 0x85;
// Makes every write the export acknowledged before it durable. Offset and
// length are ignored; the reply is a 12-byte header. Sent only to a service
// whose query data sets QUERY_FLAG_FLUSH.
inline constexpr uint8_t CMD_FLUSH = 0x86;
// Asks which shared source the export serves (a Ceph RBD image, say, that
// other services may serve too). Offset and length are ignored; the reply
// is a 12-byte header and kSourceIdSize data bytes, all zero for a source
// no other service can serve. Answered only after a log-on (REPLY_DENIED
// before) and only by a service whose query sets QUERY_FLAG_SOURCE_ID.
inline constexpr uint8_t CMD_SOURCE_ID = 0x87;

// Reply statuses (reply bytes 0..1). Any other value is the low 16 bits of
// the operating-system error with which starting a file read failed.
inline constexpr uint16_t REPLY_OK = 0;
inline constexpr uint16_t REPLY_FAILED = 0x2002;
inline constexpr uint16_t REPLY_DENIED = 0x2004;

// Access levels: per static client, per connection, in the query reply.
inline constexpr uint8_t ACCESS_FULL = 0;
inline constexpr uint8_t ACCESS_VIRTUAL_WRITE = 1;
inline constexpr uint8_t ACCESS_REFUSED = 2;

inline constexpr size_t kRequestHeaderSize = 32;
inline constexpr size_t kReplyHeaderSize = 12;
inline constexpr size_t kQueryDataSize = 16;
// Query data byte 2: what the service understands beyond the first four
// commands, one bit each; the other bits, and byte 3, stay 0.
inline constexpr size_t kQueryFlagsOffset = 2;
inline constexpr uint8_t QUERY_FLAG_FLUSH = 0x01;
inline constexpr uint8_t QUERY_FLAG_SOURCE_ID = 0x02;
// What CMD_SOURCE_ID answers: two servers that answer the same non-zero
// identity serve the same disk, so a client may write through either.
inline constexpr size_t kSourceIdSize = 16;
using SourceId = std::array<uint8_t, kSourceIdSize>;
// Query data bytes 4..7: the server machine's boot identity (the first four
// bytes of its boot id), so a client can tell a restart of the machine,
// which may have lost acknowledged writes, from a restart of the service.
inline constexpr size_t kQueryBootIdOffset = 4;
inline constexpr size_t kBootIdSize = 4;
inline constexpr size_t kQuerySizeOffset = 8;
static_assert(kQueryFlagsOffset == 2 && kQueryBootIdOffset == 4 && kQuerySizeOffset == 8);
static_assert(kQueryBootIdOffset + kBootIdSize <= kQuerySizeOffset);
static_assert(kQuerySizeOffset + 8 == kQueryDataSize);
// The port an export listens on unless its administrator chose another, and
// the one a new mount names.
inline constexpr uint16_t kDefaultPort = 60000;
// Where a CMD_LOGIN header carries its digest.
inline constexpr size_t kLoginDigestOffset = 8;
// Largest data part of one CMD_READ or CMD_WRITE.
inline constexpr uint32_t kMaxTransfer = 0x10000;
// One request header plus the largest payload; a reply (12 + at most 65536
// bytes) fits in the same buffer.
inline constexpr size_t kConnectionBufferSize = kRequestHeaderSize + kMaxTransfer;

// An export whose stored AuthMode is AUTH_MODE_TLS speaks TLS 1.3 with a
// pre-shared key on its port before any block-protocol byte; the block
// protocol then runs unchanged inside the session, without CMD_LOGIN. The
// PSK identity names the password (kTlsIdentityLogin gives the export's
// access level, kTlsIdentityManage full access) and the key is that
// password's 20-byte digest; an all-zero digest is never a key. No digest
// crosses the wire.
inline constexpr int32_t AUTH_MODE_PLAIN = 0;
inline constexpr int32_t AUTH_MODE_TLS = 1;
inline constexpr char kTlsIdentityLogin[] = "login";
inline constexpr char kTlsIdentityManage[] = "manage";
// Both sides offer only these: TLS 1.3, PSK with or without (EC)DHE.
inline constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:-KX-ALL:+PSK:+DHE-PSK";
// A TLS export answers a plain client's first request with this status and
// closes the connection.
inline constexpr uint16_t REPLY_TLS_REQUIRED = 0x2005;
// The first byte of every TLS handshake record; no request starts with it.
inline constexpr uint8_t kTlsHandshakeByte = 0x16;
// What a plain export sends a TLS client before it closes: a fatal
// handshake_failure alert record, so the client's handshake fails at once
// and says why instead of waiting.
inline constexpr std::array<uint8_t, 7> kPlainExportTlsAlert = {0x15, 0x03, 0x03, 0x00,
                                                                0x02, 0x02, 0x28};

// Read-data scrambling key, the same constant on both sides.
inline constexpr std::array<uint8_t, 8> kScrambleKey = {0x5a, 0x13, 0xc8, 0xe4,
                                                        0x71, 0x0b, 0x9d, 0x26};

// Request header fields. Bytes 1..7 and 20..31 are not interpreted (for
// CMD_LOGIN bytes 8..27 hold the digest instead of offset and length).
struct RequestHeader {
  uint8_t command = 0;
  uint64_t offset = 0;
  uint32_t length = 0;
};

// Reads command, offset and length from 32 header bytes.
RequestHeader ParseRequestHeader(const uint8_t* header);
// Writes a CMD_READ/CMD_WRITE/CMD_QUERY header into 32 bytes; bytes the
// service does not interpret are zero.
void EncodeRequestHeader(const RequestHeader& request, uint8_t* header);
// Writes a CMD_LOGIN header carrying `digest` (20 bytes) into 32 bytes.
void EncodeLoginRequest(const uint8_t* digest, uint8_t* header);
// The 20 digest bytes of a CMD_LOGIN header.
inline const uint8_t* LoginDigest(const uint8_t* header) { return header + kLoginDigestOffset; }

struct ReplyHeader {
  uint16_t status = 0;
  uint32_t length = 0;
  uint32_t data_length = 0;
};

// Reads a 12-byte reply header. Bytes 2..3 carry no meaning and are skipped.
ReplyHeader ParseReplyHeader(const uint8_t* reply);
// Writes status, length and data length over the start of a request buffer,
// leaving bytes 2..3 as the request had them.
void EncodeReplyHeader(const ReplyHeader& reply, uint8_t* buffer);

struct QueryData {
  uint8_t access = 0;
  uint64_t disk_size = 0;
  uint8_t flags = 0;                           // QUERY_FLAG_...; 0 from a service that knows none
  std::array<uint8_t, kBootIdSize> boot_id{};  // all 0 from such a service
};

QueryData ParseQueryData(const uint8_t* data);
// Writes the 16 query bytes; bytes 0 and 3 are zero.
void EncodeQueryData(const QueryData& query, uint8_t* data);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_BLOCK_PROTOCOL_H_
