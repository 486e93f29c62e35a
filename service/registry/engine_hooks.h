// The three hooks through which a running engine consults the registry:
// admission of a connection, a successful log-on, the end of an address's
// last connection. Called on engine threads (see service/engine/endpoint.h);
// they never throw and never wait for the registry lock once their engine is
// stopping (they refuse, drop the log-on, or record the disconnect in
// `link`). They may be called after the engine's EngineRun, and even the
// registry, is gone: they hold `link`, and the state while they run.
#ifndef QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_
#define QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_

#include <memory>

#include "service/engine/endpoint.h"
#include "service/registry/engine_run.h"
#include "service/registry/registry_state.h"

namespace quensaria::registry {

engine::EngineHooks MakeEngineHooks(std::weak_ptr<RegistryState> state,
                                    std::shared_ptr<EngineLink> link);

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_ENGINE_HOOKS_H_
