#include "configurator/service_control.h"

namespace quensaria::configurator {

ServiceCheck CheckAndStartService(UserPrompts&) { return ServiceCheck::kCannotOpen; }

}  // namespace quensaria::configurator
