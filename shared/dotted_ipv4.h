// The dotted text of an IPv4 address ("192.168.1.10") for log lines and
// tools. The text lives in the returned value, so a log line in the
// service's request path makes no allocation.
#ifndef QUENSARIA_SHARED_DOTTED_IPV4_H_
#define QUENSARIA_SHARED_DOTTED_IPV4_H_

#include <cstdint>

namespace quensaria {

struct DottedIpv4 {
  char text[16] = "";  // "255.255.255.255" and its terminator
  const char* c_str() const { return text; }
};

// `address` in network byte order, as sockets and the mount record hold it.
DottedIpv4 FormatIpv4(uint32_t address);

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_DOTTED_IPV4_H_
