// MountRecord: the 1264-byte record of one mount. The mounter builds it and
// sends it with IOCTL_VDISK_MOUNT; the driver copies what it needs and
// answers IOCTL_VDISK_QUERY in the same layout (digest and cache path zero).
// Integers little-endian except the server address and port, which are in
// network byte order. Paths are UTF-16 NT paths ("\??\" + Linux path).
#ifndef QUENSARIA_SHARED_MOUNT_RECORD_H_
#define QUENSARIA_SHARED_MOUNT_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/sha1.h"  // kDigestSize
#include "shared/status.h"

namespace quensaria {

inline constexpr uint32_t kSourceTypeDiskImage = 0;
inline constexpr uint32_t kSourceTypeNetwork = 1;
inline constexpr uint32_t kSourceTypeCdImage = 2;

// UTF-16 units of each path field (600 bytes), NUL included.
inline constexpr size_t kMountPathUnits = 300;

struct MountRecord {
  uint64_t imageSize;    // bytes; creates a missing image file (0 = do not)
  uint8_t readOnly;      // non-zero = read-only (disks only)
  uint8_t virtualWrite;  // informational; the service decides
  uint8_t reserved0[2];
  uint32_t sourceType;                  // kSourceType*; the driver treats != 1 as image
  uint32_t serverAddress;               // IPv4, network byte order
  uint16_t serverPort;                  // network byte order
  uint8_t driveLetter;                  // ASCII capital letter
  uint8_t passwordDigest[kDigestSize];  // sent with CMD_LOGIN
  uint8_t reserved1[5];
  uint8_t networkMarker;  // 1 network disk, 0 image; not read by the driver
  uint8_t reserved2[15];
  char16_t cachePath[kMountPathUnits];   // write-cache file (network disks)
  char16_t sourceName[kMountPathUnits];  // image file's NT path; empty for network
};

static_assert(sizeof(MountRecord) == 1264);
static_assert(offsetof(MountRecord, sourceType) == 12);
static_assert(offsetof(MountRecord, serverAddress) == 16);
static_assert(offsetof(MountRecord, serverPort) == 20);
static_assert(offsetof(MountRecord, driveLetter) == 22);
static_assert(offsetof(MountRecord, passwordDigest) == 23);
static_assert(offsetof(MountRecord, networkMarker) == 48);
static_assert(offsetof(MountRecord, cachePath) == 64);
static_assert(offsetof(MountRecord, sourceName) == 664);

inline constexpr size_t kMountRecordSize = sizeof(MountRecord);

// A network disk may name up to three servers of the same disk; the driver
// goes on with the next one when the connection to its server is lost. The
// first is serverAddress/serverPort; the others lie in reserved2, six bytes
// each: the IPv4 address, then the port, both in network byte order like
// the first's. Address 0: no such server.
inline constexpr size_t kMaxMountServers = 3;
inline constexpr size_t kMoreServersOffset = 49;
inline constexpr size_t kMoreServerSize = 6;
static_assert(offsetof(MountRecord, reserved2) == kMoreServersOffset);
static_assert(kMoreServersOffset + (kMaxMountServers - 1) * kMoreServerSize <=
              offsetof(MountRecord, cachePath));
// Query output only: which of the servers (0..2) the disk is on now.
inline constexpr size_t kCurrentServerOffset = 43;
static_assert(offsetof(MountRecord, reserved1) == kCurrentServerOffset);

// Byte 10 (the first of reserved0): flags of a network mount.
// kMountFlagTls: the export speaks TLS; the driver logs on by the TLS
// handshake with the record's digest as the key, never with CMD_LOGIN.
inline constexpr size_t kMountFlagsOffset = 10;
inline constexpr uint8_t kMountFlagTls = 0x01;
static_assert(offsetof(MountRecord, reserved0) == kMountFlagsOffset);

// Byte 11 (the second of reserved0): how many connections a network disk
// opens to its server, 1..kMaxMountConnections; 0 leaves it to the driver
// (kDefaultMountConnections). The query output says how many it has open.
inline constexpr size_t kMountConnectionsOffset = 11;
inline constexpr uint8_t kDefaultMountConnections = 4;
inline constexpr uint8_t kMaxMountConnections = 16;
static_assert(kMountConnectionsOffset == offsetof(MountRecord, reserved0) + 1);

struct MountServer {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  bool operator==(const MountServer&) const = default;
};

// The servers a record names, the first first; empty for a record whose
// first address is 0.
std::vector<MountServer> MountServers(const MountRecord& record);
// Writes `servers` (1..3, none with address 0) into the record: the first
// into serverAddress/serverPort, the rest into reserved2, the unused slots
// zeroed. False, and the record unchanged, for any other count.
bool SetMountServers(MountRecord& record, const std::vector<MountServer>& servers);
// The index the query output says the disk is on now.
uint8_t CurrentServer(const MountRecord& record);
void SetCurrentServer(MountRecord& record, uint8_t index);
// The connection count a record asks for (0: the driver's choice) and the
// one to write into it.
uint8_t MountConnections(const MountRecord& record);
void SetMountConnections(MountRecord& record, uint8_t count);

// "10.0.0.5:60000".
std::string ServerText(const MountServer& server);
// A list of ADDRESS:PORT separated by commas, blanks or both
// ("10.0.0.5:60000, 10.0.0.6:60000"), ports in 1..65535; ERROR_INVALID_PARAMETER with a
// sentence naming the part that is wrong, or saying there are more than
// `max_count` or none.
Result<std::vector<MountServer>> ParseServerList(std::string_view text,
                                                 size_t max_count = kMaxMountServers);

// "\??\" + path, the NT form of a Linux path in the record's path fields.
std::string NtPathFromLinux(std::string_view path);
// The Linux path that follows "\??\"; a text without the prefix is returned
// unchanged.
std::string LinuxPathFromNt(std::string_view nt_path);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MOUNT_RECORD_H_
