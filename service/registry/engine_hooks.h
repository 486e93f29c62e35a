// The three hooks through which a running engine consults the registry:
// admission of a connection, a successful log-on, the end of an address's
// last connection. Called on engine threads (see service/engine/endpoint.h);
// they never throw and never wait for the registry lock once their engine is
// stopping (they refuse, drop the log-on, or record the disconnect in `run`).
#ifndef QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_
#define QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_

#include "service/engine/endpoint.h"
#include "service/registry/engine_run.h"
#include "service/registry/registry_state.h"

namespace quensaria::registry {

// `state` and `run` outlive the engine the hooks are installed in.
engine::EngineHooks MakeEngineHooks(RegistryState& state, EngineRun& run);

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_
