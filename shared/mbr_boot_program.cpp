// Placeholder until the assembled boot program lands: messages at their
// offsets, no code. Replaced by the bytes assembled from boot/mbr.asm.
#include "shared/master_boot_record.h"

#include <cstring>

namespace quensaria {

const std::array<uint8_t, kBootProgramSize>& MbrBootProgram() {
  static const std::array<uint8_t, kBootProgramSize> program = [] {
    std::array<uint8_t, kBootProgramSize> p{};
    std::memcpy(p.data() + 300, "Invalid partition table", 24);
    std::memcpy(p.data() + 324, "Error loading operating system", 31);
    std::memcpy(p.data() + 355, "Missing operating system", 25);
    p[437] = 0x2C, p[438] = 0x44, p[439] = 0x63;
    return p;
  }();
  return program;
}

}  // namespace quensaria
