#include "configurator/image/volume_sectors.h"

#include <cstring>

#include "configurator/image/boot_programs.h"
#include "shared/bytes.h"

namespace quensaria::configurator {
namespace {

constexpr char kOemName[] = "Ostravin";
constexpr uint8_t kMedia = 0xF8;
constexpr uint16_t kSectorsPerTrack = 63;
constexpr uint16_t kHeads = 255;
constexpr uint8_t kDriveNumber = 0x80;
constexpr uint8_t kExtendedBootSignature = 0x29;

void PutText(uint8_t* p, const char* text, size_t length) { std::memcpy(p, text, length); }

void PutSignature(Sector& s) {
  s[510] = 0x55;
  s[511] = 0xAA;
}

// The part of the BIOS parameter block both volumes share (offsets 0..35).
void PutCommonFields(Sector& s, uint8_t jump, uint16_t bytes_per_sector,
                     uint8_t sectors_per_cluster, uint16_t reserved_sectors,
                     uint16_t root_entries) {
  s[0] = 0xEB;
  s[1] = jump;
  s[2] = 0x90;
  PutText(&s[3], kOemName, 8);
  StoreLe16(&s[11], bytes_per_sector);
  s[13] = sectors_per_cluster;
  StoreLe16(&s[14], reserved_sectors);
  s[16] = kFatCount;
  StoreLe16(&s[17], root_entries);
  s[21] = kMedia;
  StoreLe16(&s[24], kSectorsPerTrack);
  StoreLe16(&s[26], kHeads);
  StoreLe32(&s[28], kPartitionFirstSector);  // hidden sectors
}

}  // namespace

Sector FatBootSector(const FatGeometry& g, uint32_t serial) {
  Sector s{};
  PutCommonFields(s, 0x3C, kFatBytesPerSector, kFatSectorsPerCluster, kFatReservedSectors,
                  kFatRootEntries);
  if (g.small_total) {
    StoreLe16(&s[19], static_cast<uint16_t>(g.total_sectors));
  } else {
    StoreLe32(&s[32], g.total_sectors);
  }
  StoreLe16(&s[22], static_cast<uint16_t>(g.sectors_per_fat));
  s[36] = kDriveNumber;
  s[38] = kExtendedBootSignature;
  StoreLe32(&s[39], serial);
  PutText(&s[43], kVolumeLabel, 11);
  PutText(&s[54], "FAT16   ", 8);
  std::memcpy(&s[kFatBootProgramOffset], FatBootProgram().data(), kFatBootProgramSize);
  PutSignature(s);
  return s;
}

Sector Fat32BootSector(const Fat32Geometry& g) {
  Sector s{};
  PutCommonFields(s, 0x58, kSectorSize, static_cast<uint8_t>(g.sectors_per_cluster),
                  kFat32ReservedSectors, 0);
  StoreLe32(&s[32], g.total_sectors);
  StoreLe32(&s[36], g.sectors_per_fat);
  StoreLe32(&s[44], kFat32RootCluster);
  StoreLe16(&s[48], kFat32FsInfoSector);
  StoreLe16(&s[50], kFat32BackupBootSector);
  s[64] = kDriveNumber;
  s[66] = kExtendedBootSignature;
  StoreLe32(&s[67], kFat32SerialNumber);
  PutText(&s[71], "NO NAME    ", 11);
  PutText(&s[82], "FAT32   ", 8);
  std::memcpy(&s[kFat32BootProgramOffset], Fat32BootProgram().data(), kFat32BootProgramSize);
  PutSignature(s);
  return s;
}

Sector FsInfoSector() {
  Sector s{};
  StoreLe32(&s[0], 0x41615252);
  StoreLe32(&s[484], 0x61417272);
  StoreLe32(&s[488], 0xFFFFFFFF);  // free cluster count unknown
  StoreLe32(&s[492], 0xFFFFFFFF);  // no hint where to look for a free cluster
  StoreLe32(&s[508], 0xAA550000);
  return s;
}

Sector SignatureSector() {
  Sector s{};
  PutSignature(s);
  return s;
}

std::span<const uint8_t> FatHead(uint32_t fat_bits) {
  static constexpr uint8_t kFat12[] = {0xF8, 0xFF, 0xFF};
  static constexpr uint8_t kFat16[] = {0xF8, 0xFF, 0xFF, 0xFF};
  static constexpr uint8_t kFat32[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
  if (fat_bits == 12) return kFat12;
  if (fat_bits == 16) return kFat16;
  return kFat32;
}

std::array<uint8_t, 32> VolumeLabelEntry() {
  std::array<uint8_t, 32> entry{};
  PutText(entry.data(), kVolumeLabel, 11);
  entry[11] = 0x08;  // volume label
  return entry;
}

}  // namespace quensaria::configurator
