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
  uint32_t sourceType;         // kSourceType*; the driver treats != 1 as image
  uint32_t serverAddress;      // IPv4, network byte order
  uint16_t serverPort;         // network byte order
  uint8_t driveLetter;         // ASCII capital letter
  uint8_t passwordDigest[20];  // sent with CMD_LOGIN
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

// "\??\" + path, the NT form of a Linux path in the record's path fields.
std::string NtPathFromLinux(std::string_view path);
// The Linux path that follows "\??\"; a text without the prefix is returned
// unchanged.
std::string LinuxPathFromNt(std::string_view nt_path);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MOUNT_RECORD_H_
