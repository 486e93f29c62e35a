#include "shared/dotted_ipv4.h"

#include <cstdio>

namespace quensaria {

DottedIpv4 FormatIpv4(uint32_t address) {
  // Network order: the first byte in memory is the first of the four.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  DottedIpv4 out;
  std::snprintf(out.text, sizeof out.text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return out;
}

}  // namespace quensaria
