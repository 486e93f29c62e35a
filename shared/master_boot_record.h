// The master boot record that the system writes: the x86 boot program (boot
// code and its three messages, bytes 0..439) shared by the service's
// synthesized sector 0 of a partition and the configurator's new images, and
// the one active partition entry both of them describe.
#ifndef QUENSARIA_SHARED_MASTER_BOOT_RECORD_H_
#define QUENSARIA_SHARED_MASTER_BOOT_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "shared/sector.h"

namespace quensaria {

inline constexpr size_t kBootProgramSize = 440;  // code, messages, message offsets
inline constexpr size_t kDiskSignatureOffset = 440;
inline constexpr size_t kPartitionTableOffset = 446;
// 0x55 0xAA here end a master boot record or a boot sector.
inline constexpr size_t kBootSignatureOffset = 510;

// Bytes 0..439 of the sector: 300 bytes of real-mode code that relocates
// itself, finds the active partition, loads its first sector through the
// BIOS and jumps to it; the messages "Invalid partition table" (300),
// "Error loading operating system" (324), "Missing operating system" (355);
// zeros; and at 437..439 the low bytes of the three message offsets.
const std::array<uint8_t, kBootProgramSize>& MbrBootProgram();

struct PartitionEntry {
  uint8_t type = 0;           // partition type byte
  uint32_t first_sector = 0;  // LBA of the partition's first sector
  uint32_t sector_count = 0;  // sectors of 512 bytes
};

// Writes a whole 512-byte sector: the boot program, `signature` at 440..443
// (little-endian), one active entry (start head 1, sector 1, cylinder 0, end
// address not given), three empty entries and 0x55 0xAA.
void BuildMasterBootRecord(uint32_t signature, const PartitionEntry& entry, uint8_t* sector);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_MASTER_BOOT_RECORD_H_
