// The contents of the sectors that make a new image's volume: boot sectors,
// the FAT32 information and signature sectors, the first bytes of a FAT and
// the volume-label directory entry. Pure functions; the caller places the
// bytes (see format_image.h).
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_VOLUME_SECTORS_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_VOLUME_SECTORS_H_

#include <array>
#include <cstdint>
#include <span>

#include "configurator/image/image_geometry.h"

namespace quensaria::configurator {

using Sector = std::array<uint8_t, kSectorSize>;

// "Quensaria" and two spaces: the label both volumes carry.
inline constexpr char kVolumeLabel[] = "Quensaria  ";
inline constexpr uint32_t kFat32SerialNumber = 0xCC36F7A7;  // bytes A7 F7 36 CC

// The FAT volume's boot sector, with `serial` as its volume serial number.
Sector FatBootSector(const FatGeometry& geometry, uint32_t serial);
// The FAT32 volume's boot sector (also its backup at partition sector 6).
Sector Fat32BootSector(const Fat32Geometry& geometry);
// The FAT32 information sector: free count and next-free hint unknown.
Sector FsInfoSector();
// Zeros and the 0x55 0xAA signature.
Sector SignatureSector();

// The FAT's first entries: 0 (media 0xF8) and 1 (end of chain) for FAT12 and
// FAT16; for FAT32 also entry 2, the root directory's one cluster. Returns
// the bytes to place at the FAT's start.
std::span<const uint8_t> FatHead(uint32_t fat_bits);

// The root directory's first entry: the label, attribute 0x08, all else 0.
std::array<uint8_t, 32> VolumeLabelEntry();

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_VOLUME_SECTORS_H_
