// The records of the management interface: ServerConfig (one export),
// ClientEntry (one client machine of one export) and ServerStats (the live
// figures of one export), each carried at the start
// of a 2048-byte record buffer whose remaining bytes are zero on send and
// ignored on receipt. The in-memory structs are the wire layouts (natural
// alignment reproduces them; the asserts pin every offset). Addresses are
// IPv4 in network byte order (octets in dotted order in memory).
#ifndef QUENSARIA_SHARED_MANAGEMENT_RECORDS_H_
#define QUENSARIA_SHARED_MANAGEMENT_RECORDS_H_

#include <cstddef>
#include <cstdint>

#include "shared/sha1.h"  // kDigestSize

namespace quensaria {

// Names a server or a client across the management interface; 0 = none.
using ManagementHandle = uint32_t;

inline constexpr size_t kRecordBufferSize = 2048;
inline constexpr size_t kSourceCapacity = 260;    // NUL included
inline constexpr size_t kHostNameCapacity = 128;  // NUL included

struct ServerConfig {
  char Source[kSourceCapacity];  // device path or image file path
  uint32_t IpAddress;            // stored and returned only; the engine listens on all
  uint16_t Port;
  uint8_t padding[6];
  int64_t SizeBytes;                    // bytes
  int32_t Cache;                        // read cache, MiB
  uint8_t Password[kDigestSize];        // digest of the log-on password
  uint8_t ManagePassword[kDigestSize];  // digest of the full-access password
  int32_t Started;                      // 1 served while the service runs, 0 stopped
  int32_t AuthMode;                     // stored and returned unchanged
  uint32_t reserved;
};

static_assert(sizeof(ServerConfig) == 336);
static_assert(offsetof(ServerConfig, IpAddress) == 260);
static_assert(offsetof(ServerConfig, Port) == 264);
static_assert(offsetof(ServerConfig, SizeBytes) == 272);
static_assert(offsetof(ServerConfig, Cache) == 280);
static_assert(offsetof(ServerConfig, Password) == 284);
static_assert(offsetof(ServerConfig, ManagePassword) == 304);
static_assert(offsetof(ServerConfig, Started) == 324);
static_assert(offsetof(ServerConfig, AuthMode) == 328);

// ClientEntry.state values.
inline constexpr uint8_t kClientStatic = 0;
inline constexpr uint8_t kClientLoggedOn = 1;
inline constexpr uint8_t kClientRefused = 3;
// ClientEntry.nameState values.
inline constexpr uint8_t kNameUnknown = 0;
inline constexpr uint8_t kNameKnown = 1;
inline constexpr uint8_t kNameFailed = 2;

struct ClientEntry {
  uint32_t address;   // IPv4, network byte order; 0 = "Any Address"
  uint8_t access;     // ACCESS_FULL, ACCESS_VIRTUAL_WRITE, ACCESS_REFUSED
  uint8_t state;      // kClientStatic, kClientLoggedOn, kClientRefused
  uint8_t nameState;  // kNameUnknown, kNameKnown, kNameFailed
  char hostName[kHostNameCapacity];
  uint8_t padding;
  uint32_t link;  // the service's list link; meaningless outside, ignored on input
};

static_assert(sizeof(ClientEntry) == 140);
static_assert(offsetof(ClientEntry, access) == 4);
static_assert(offsetof(ClientEntry, nameState) == 6);
static_assert(offsetof(ClientEntry, hostName) == 7);
static_assert(offsetof(ClientEntry, link) == 136);

// ServerStats: the live figures of one server, the answer of the extension
// operation GetServerStats. The counters count from the start of the
// server's engine and start from 0 when it is started again; a stopped
// server has Running 0 and every figure 0. Latencies run from a request's
// first byte in to its reply's last byte out; the quantiles cover the
// requests answered in the last minute (50 to 60 seconds: 10-second steps).
// A later service may fill more fields after these: RecordSize says how
// many bytes it filled, and a receiver reads only those it knows.
struct ServerStats {
  uint32_t RecordSize;          // sizeof(ServerStats) of the service that answered
  int32_t Running;              // 1 while an engine serves the server
  uint32_t OnlineClients;       // logged-on entries of the online client list
  uint32_t Connections;         // block-protocol connections open now
  int64_t StartedAt;            // when the engine started, Unix time in seconds; 0 stopped
  uint64_t Reads;               // CMD_READ requests answered
  uint64_t Writes;              // CMD_WRITE requests answered
  uint64_t OtherRequests;       // CMD_QUERY and CMD_LOGIN requests answered
  uint64_t BytesRead;           // data bytes of the reads answered REPLY_OK
  uint64_t BytesWritten;        // data bytes of the writes answered REPLY_OK
  uint64_t Errors;              // requests answered otherwise, or ended by a close
  uint64_t RefusedConnections;  // connections turned away at admission
  uint64_t LatencySumMicros;    // of every request answered
  uint64_t CacheHits;           // reads served from the read cache
  uint64_t CacheFills;          // 1 MiB blocks read into the read cache
  uint32_t RecentRequests;      // requests answered in the last minute
  uint32_t LatencyP50Micros;    // median of those; 0 when none
  uint32_t LatencyP99Micros;    // 99th percentile of those; 0 when none
  uint32_t reserved;
};

static_assert(sizeof(ServerStats) == 120);
static_assert(offsetof(ServerStats, StartedAt) == 16);
static_assert(offsetof(ServerStats, Reads) == 24);
static_assert(offsetof(ServerStats, CacheFills) == 96);
static_assert(offsetof(ServerStats, RecentRequests) == 104);
static_assert(offsetof(ServerStats, LatencyP99Micros) == 112);

// Copies a record into the start of a zero-filled 2048-byte buffer.
void EncodeRecord(const ServerConfig& config, uint8_t* buffer);
void EncodeRecord(const ClientEntry& client, uint8_t* buffer);
void EncodeRecord(const ServerStats& stats, uint8_t* buffer);
// Copies a record out of the start of a 2048-byte buffer.
ServerConfig DecodeServerConfig(const uint8_t* buffer);
ClientEntry DecodeClientEntry(const uint8_t* buffer);
// The fields the answering service filled (RecordSize bytes, at most this
// record's); the rest are 0.
ServerStats DecodeServerStats(const uint8_t* buffer);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MANAGEMENT_RECORDS_H_
