// The server routines of the management interface: decode an operation's
// stub data, run it on Operations, encode the reply. Any thread; never
// throws (a failure inside an operation becomes a fault).
#ifndef QUENSARIA_SERVICE_MANAGEMENT_CALL_DISPATCH_H_
#define QUENSARIA_SERVICE_MANAGEMENT_CALL_DISPATCH_H_

#include <cstdint>
#include <span>
#include <vector>

#include "service/management/operations.h"

namespace quensaria::management {

struct CallOutcome {
  uint32_t fault = 0;    // nonzero: send a fault with this status instead
  bool executed = true;  // false: the operation was not run at all
  std::vector<uint8_t> stub;
};

CallOutcome DispatchCall(Operations& operations, uint16_t opnum, std::span<const uint8_t> stub);

}  // namespace quensaria::management

#endif  // QUENSARIA_SERVICE_MANAGEMENT_CALL_DISPATCH_H_
