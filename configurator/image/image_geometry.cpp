#include "configurator/image/image_geometry.h"

#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

// Both volumes end 512 bytes before the image does: their sector counts are
// taken from the size less 32768 (the 63-sector header and one sector more).
constexpr uint64_t kVolumeOverhead = 32768;
// Up to this many bytes (less the overhead) the FAT volume's sector count
// goes in the boot sector's 16-bit field, above it in the 32-bit one.
constexpr uint64_t kFatSmallVolumeLimit = 33554432;

Status Refuse(const char* message) { return Status(ERROR_INVALID_PARAMETER, message); }

constexpr const char kTooLarge[] = "The file size must be less than 2 TB (2097152 MB)";

// Clusters left when each FAT takes `fat_sectors` sectors.
uint32_t FatClusters(uint32_t total_sectors, uint32_t fat_sectors) {
  uint32_t overhead = kFatReservedSectors + kFatCount * fat_sectors + kFatRootSectors;
  if (total_sectors <= overhead) return 0;
  return (total_sectors - overhead) / kFatSectorsPerCluster;
}

// The smallest FAT of `bits`-wide entries that holds an entry for every
// cluster it leaves, plus the two reserved entries.
uint32_t SmallestFat(uint32_t total_sectors, uint32_t bits) {
  constexpr uint64_t kBitsPerSector = uint64_t{kFatBytesPerSector} * 8;
  uint32_t sectors = 1;
  while (uint64_t{sectors} * kBitsPerSector <
         (uint64_t{FatClusters(total_sectors, sectors)} + 2) * bits) {
    ++sectors;
  }
  return sectors;
}

}  // namespace

Result<FatGeometry> PlanFatVolume(uint64_t image_bytes) {
  if (image_bytes >= kImageSizeLimit) return Refuse(kTooLarge);
  if (image_bytes <= kVolumeOverhead) return Refuse("The file is too small for a FAT volume");
  FatGeometry g;
  g.total_sectors = static_cast<uint32_t>((image_bytes - kVolumeOverhead) / kFatBytesPerSector);
  g.small_total = image_bytes - kVolumeOverhead <= kFatSmallVolumeLimit;
  // The entry width follows from the cluster count, which depends on the
  // FAT's size: try 12-bit entries first. A 16-bit FAT is never smaller, so
  // if its count falls below the FAT12 limit the volume is FAT12 with a FAT
  // that has room to spare.
  g.sectors_per_fat = SmallestFat(g.total_sectors, 12);
  g.cluster_count = FatClusters(g.total_sectors, g.sectors_per_fat);
  if (g.cluster_count >= kFat12ClusterLimit) {
    g.sectors_per_fat = SmallestFat(g.total_sectors, 16);
    g.cluster_count = FatClusters(g.total_sectors, g.sectors_per_fat);
  }
  g.fat_bits = g.cluster_count < kFat12ClusterLimit ? 12 : 16;
  if (g.cluster_count == 0) return Refuse("The file is too small for a FAT volume");
  if (g.cluster_count >= kFat16ClusterLimit) {
    return Refuse("The FAT file system supports at most 4095 MB (65524 clusters of 64 KB)");
  }
  return g;
}

Result<Fat32Geometry> PlanFat32Volume(uint64_t image_bytes) {
  if (image_bytes >= kImageSizeLimit) return Refuse(kTooLarge);
  uint64_t image_sectors = image_bytes / kSectorSize;
  // The FAT specification's FAT32 cluster-size table, by the image's sector
  // count; its first row (below 66600 sectors) is too small for FAT32.
  uint32_t spc;
  if (image_sectors < 66600) {
    return Refuse("The FAT32 file system needs a file size of at least 33 MB");
  } else if (image_sectors < 532480) {
    spc = 1;
  } else if (image_sectors < 16777216) {
    spc = 8;
  } else if (image_sectors < 33554432) {
    spc = 16;
  } else if (image_sectors < 67108864) {
    spc = 32;
  } else {
    spc = 64;
  }
  Fat32Geometry g;
  g.total_sectors = static_cast<uint32_t>((image_bytes - kVolumeOverhead) / kSectorSize);
  // The specification's sizing formula for 32 reserved sectors, 2 FATs and no
  // root directory area, taken with one-sector clusters: T = (256 * 1 + 2) / 2.
  constexpr uint64_t kT = (256 * 1 + 2) / 2;
  g.sectors_per_fat = static_cast<uint32_t>((uint64_t{g.total_sectors} + kT - 33) / kT);
  g.sectors_per_cluster = spc;
  g.cluster_count = (g.total_sectors - g.RootSector()) / spc;
  // The oversized FAT can push a volume just past a row of the table below
  // the FAT32 minimum (260 MB is one); tools would take it for FAT16.
  if (g.cluster_count < kFat16ClusterLimit) {
    return Refuse("This size gives a FAT32 volume fewer than 65525 clusters; choose another size");
  }
  return g;
}

}  // namespace quensaria::configurator
