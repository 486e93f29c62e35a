// Which other server a mounted network disk may go on with when the
// connection to its own is lost. Plain rules, no I/O; the worker thread of
// the disk asks them before it repeats a request elsewhere.
//
// Every server must serve a disk of the same size. A disk whose writes
// reach the server (full access, not read-only) goes on only with a server
// that grants full access too and names the same shared source, non-zero,
// as the server it had: writes then never land on two copies that drift
// apart. A disk whose writes stay here (virtual write) or that takes none
// (read-only) only reads, from any server of the same size that does not
// refuse this client (access 2), as a mount passes such a server over.
#ifndef QUENSARIA_DRIVER_SERVER_CHOICE_H_
#define QUENSARIA_DRIVER_SERVER_CHOICE_H_

#include <cstdint>

#include "shared/block_protocol.h"

namespace quensaria::driver {

// What a server told a disk: its query and CMD_SOURCE_ID.
struct ServerOffer {
  uint64_t disk_size = 0;
  uint8_t access = ACCESS_FULL;
  SourceId source_id{};  // all zero: not a shared source, or the server cannot tell
};

enum class ServerFit {
  kFits,
  kOtherSize,       // another disk size
  kNoSharedSource,  // writes reach the server, and the disk's own names no shared source
  kOtherSource,     // writes reach the server, and this one serves another source (or none)
  kNoFullAccess,    // writes reach the server, and this one would refuse them
  kRefused,         // the server refuses this client (access 2): nothing to read there
};

// Whether a disk mounted with `mounted` may go on with `offered`.
ServerFit JudgeServer(const ServerOffer& mounted, const ServerOffer& offered,
                      bool writes_reach_server);

// Says why a server does not fit, for the log ("serves another disk size").
const char* ServerFitText(ServerFit fit);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_SERVER_CHOICE_H_
