// Endpoint: what the registry sees of the connection engine of one running
// export, and the three hooks through which the engine consults the registry.
//
// Lifetime: the registry's engine thread creates the endpoint (which opens
// the disk source), installs the hooks with SetHooks before Run accepts its
// first connection, calls Run (blocks until the engine ends) and destroys
// it. Stop is called from another thread and makes Run return; it takes no
// engine lock while its caller holds the registry lock.
//
// Lock order: CheckClientAccess and ClientDisconnected are called with the
// engine lock held and take the registry lock inside; ClientLoggedOn is
// called from a socket worker without the engine lock. A stop ends every
// connection: ClientDisconnected is reported for each address it resets,
// possibly from a worker that outlives Run, so hooks own what they use.
#ifndef QUENSARIA_SERVICE_ENGINE_ENDPOINT_H_
#define QUENSARIA_SERVICE_ENGINE_ENDPOINT_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "shared/management_records.h"

namespace quensaria::engine {

class Endpoint;

struct EngineHooks {
  // Admission of a new connection from `address` (IPv4, network byte order).
  // Returns true to admit with `access` set; false to refuse (access is then
  // ACCESS_REFUSED).
  std::function<bool(Endpoint* engine, uint32_t address, uint8_t& access)> CheckClientAccess;
  // The last open connection from `address` has closed.
  std::function<void(Endpoint* engine, uint32_t address)> ClientDisconnected;
  // A CMD_LOGIN on a connection from `address` matched a password.
  std::function<void(Endpoint* engine, uint32_t address, uint8_t access)> ClientLoggedOn;
  // Run listens, with the hooks in: the export is up. Called at most once,
  // on the engine thread, with no engine lock held. May be empty.
  std::function<void(Endpoint* engine)> Listening;
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual void SetHooks(EngineHooks hooks) = 0;
  // Serves until the engine ends (Stop, or a failure to come up: an endpoint
  // whose source or port could not be opened returns at once).
  virtual void Run() = 0;
  // Ends Run: closes the listening socket and resets every connection.
  virtual void Stop() = 0;
};

// Builds the endpoint of one export from a copy of its configuration. Called
// on the engine thread. Never returns null: an endpoint that cannot serve
// says so by returning from Run at once.
using EndpointFactory = std::function<std::unique_ptr<Endpoint>(const ServerConfig& config)>;

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_ENDPOINT_H_
