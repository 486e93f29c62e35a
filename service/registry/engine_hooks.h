// The three hooks through which a running engine consults the registry:
// admission of a connection, a successful log-on, the end of an address's
// last connection. When and on which threads they are called, and how long
// they must stay callable, is told in service/engine/endpoint.h. Here: they
// never throw; once their engine is stopping they refuse, drop the log-on,
// or record the disconnect in `link`; and they hold `link`, and the state
// while they run, so they outlive the EngineRun and even the registry.
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
