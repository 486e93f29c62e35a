// Where the parts of a new disk image lie, worked out from the image's size
// alone. An image is a master boot record, 62 empty sectors and one active
// partition from sector 63 (byte 32256) to the end, holding an empty FAT
// volume (4096-byte sectors, 64 KiB clusters, FAT12 or FAT16 by cluster
// count) or an empty FAT32 volume (512-byte sectors).
//
// The planners refuse sizes whose volume real tools would not accept (too
// few or too many clusters for the file system, 32-bit sector counts
// overflowing); the refusal's message says why, for the user.
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_IMAGE_GEOMETRY_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_IMAGE_GEOMETRY_H_

#include <cstdint>

#include "shared/sector.h"
#include "shared/status.h"

namespace quensaria::configurator {

// The dialog's file-system index.
enum class ImageFileSystem : int { kFat = 0, kFat32 = 1 };

inline constexpr uint32_t kPartitionFirstSector = 63;
inline constexpr uint64_t kPartitionOffset = uint64_t{kPartitionFirstSector} * kSectorSize;
// Images from 2 TiB on would overflow the 32-bit sector counts.
inline constexpr uint64_t kImageSizeLimit = uint64_t{1} << 41;
inline constexpr uint8_t kPartitionTypeFat = 0x0E;
inline constexpr uint8_t kPartitionTypeFat32 = 0x0B;

// The FAT volume. Sector numbers count 4096-byte volume sectors from the
// partition's start.
inline constexpr uint32_t kFatBytesPerSector = 4096;
inline constexpr uint32_t kFatSectorsPerCluster = 16;
inline constexpr uint32_t kFatReservedSectors = 1;
inline constexpr uint32_t kFatCount = 2;
inline constexpr uint32_t kFatRootEntries = 512;
inline constexpr uint32_t kFatRootSectors = kFatRootEntries * 32 / kFatBytesPerSector;
inline constexpr uint32_t kFat12ClusterLimit = 4085;   // fewer clusters: 12-bit FAT
inline constexpr uint32_t kFat16ClusterLimit = 65525;  // fewer clusters: 16-bit FAT

struct FatGeometry {
  uint32_t total_sectors = 0;    // volume sectors: (size - 32768) / 4096
  uint32_t sectors_per_fat = 0;  // the smallest FAT that holds every entry
  uint32_t cluster_count = 0;
  uint32_t fat_bits = 0;     // 12 or 16
  bool small_total = false;  // the 16-bit total-sectors field holds the count
  uint32_t FatSector(uint32_t index) const { return kFatReservedSectors + index * sectors_per_fat; }
  uint32_t RootSector() const { return FatSector(kFatCount); }
};

// The FAT32 volume. Sector numbers count 512-byte sectors from the
// partition's start.
inline constexpr uint32_t kFat32ReservedSectors = 32;
inline constexpr uint32_t kFat32FsInfoSector = 1;
inline constexpr uint32_t kFat32BackupBootSector = 6;
inline constexpr uint32_t kFat32RootCluster = 2;

struct Fat32Geometry {
  uint32_t total_sectors = 0;        // TS = (size - 32768) / 512
  uint32_t sectors_per_fat = 0;      // FS, sized as if clusters were one sector
  uint32_t sectors_per_cluster = 0;  // SPC, by the image's sector count
  uint32_t cluster_count = 0;
  uint32_t FatSector(uint32_t index) const {
    return kFat32ReservedSectors + index * sectors_per_fat;
  }
  uint32_t RootSector() const { return FatSector(kFatCount); }
};

Result<FatGeometry> PlanFatVolume(uint64_t image_bytes);
Result<Fat32Geometry> PlanFat32Volume(uint64_t image_bytes);

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_IMAGE_GEOMETRY_H_
