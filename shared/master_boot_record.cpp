#include "shared/master_boot_record.h"

#include <cstring>

#include "shared/bytes.h"

namespace quensaria {

void BuildMasterBootRecord(uint32_t signature, const PartitionEntry& entry, uint8_t* sector) {
  std::memset(sector, 0, kSectorSize);
  std::memcpy(sector, MbrBootProgram().data(), kBootProgramSize);
  StoreLe32(sector + kDiskSignatureOffset, signature);
  uint8_t* e = sector + kPartitionTableOffset;
  e[0] = 0x80;                            // active
  e[1] = 0x01, e[2] = 0x01, e[3] = 0x00;  // head 1, sector 1, cylinder 0
  e[4] = entry.type;
  StoreLe32(e + 8, entry.first_sector);
  StoreLe32(e + 12, entry.sector_count);
  sector[kBootSignatureOffset] = 0x55;
  sector[kBootSignatureOffset + 1] = 0xAA;
}

}  // namespace quensaria
