// The x86 boot programs of the volumes the configurator creates, assembled
// from shared/boot/fat*.asm (scripts/assemble-boot-programs). Each one
// fills its boot sector from its offset up to the 0x55 0xAA signature.
//
// Both look for the loader file "NTLDR" in the root directory, load it to
// 2000:0000 and run it; without it they print "NTLDR is missing" and "Press
// any key to restart", wait for a key and restart the machine; a BIOS read
// failure prints "Disk error". The FAT one reads FAT12 and FAT16 volumes of
// any sector size, the FAT32 one volumes of 512-byte sectors.
#ifndef QUENSARIA_CONFIGURATOR_IMAGE_BOOT_PROGRAMS_H_
#define QUENSARIA_CONFIGURATOR_IMAGE_BOOT_PROGRAMS_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quensaria::configurator {

inline constexpr size_t kFatBootProgramOffset = 62;
inline constexpr size_t kFatBootProgramSize = 448;
inline constexpr size_t kFat32BootProgramOffset = 90;
inline constexpr size_t kFat32BootProgramSize = 420;

const std::array<uint8_t, kFatBootProgramSize>& FatBootProgram();
const std::array<uint8_t, kFat32BootProgramSize>& Fat32BootProgram();

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_IMAGE_BOOT_PROGRAMS_H_
