// Facts about the machine the engine sizes itself by.
#ifndef QUENSARIA_PLATFORM_SYSTEM_INFO_H_
#define QUENSARIA_PLATFORM_SYSTEM_INFO_H_

#include <array>
#include <cstdint>
#include <string_view>

namespace quensaria::platform {

// Processors online (at least 1).
int ProcessorCount();

// The first four bytes of this boot's id (/proc/sys/kernel/random/boot_id):
// the same for every process until the machine restarts. All zero when it
// cannot be read.
std::array<uint8_t, 4> BootIdentity();
// The four bytes the hex text of a boot id ("5b316828-523f-...") starts
// with; false unless it starts with eight hexadecimal digits.
bool ParseBootIdentity(std::string_view text, std::array<uint8_t, 4>& identity);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_SYSTEM_INFO_H_
