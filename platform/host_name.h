// Reverse look-up of client machines' host names. Blocks while the resolver
// asks /etc/hosts and DNS (seconds when a name server does not answer), so
// callers must hold no lock. Thread-safe.
#ifndef QUENSARIA_PLATFORM_HOST_NAME_H_
#define QUENSARIA_PLATFORM_HOST_NAME_H_

#include <cstdint>
#include <optional>
#include <string>

namespace quensaria::platform {

// The registered name of an IPv4 address (network byte order), or nothing
// when no name is registered or the look-up fails. Never the address text.
std::optional<std::string> LookUpHostName(uint32_t address);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_HOST_NAME_H_
