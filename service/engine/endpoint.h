// Endpoint: what the registry sees of the connection engine of one running
// export, and the hooks through which the engine consults the registry. The
// rules for stopping an engine and for how long its hooks live are stated
// here once; the engine's and the registry's headers refer to them.
//
// Lifetime: the registry's engine thread creates the endpoint (which opens
// the disk source), installs the hooks with SetHooks before Run accepts its
// first connection, calls Run (blocks until the engine ends) and destroys it.
//
// Stop: called from another thread, possibly under the registry lock. It
// takes no lock that is ever held while a hook runs, so it never waits for a
// hook. Run then stops accepting, ends its workers, resets every connection
// and returns, even while a worker is still in a hook; that worker finishes
// on its own later, after Run and possibly after the endpoint is gone.
//
// Hooks: CheckClientAccess and ClientDisconnected are called with the engine
// lock held and take the registry lock inside; ClientLoggedOn is called from
// a socket worker without the engine lock. Once Stop is called only
// ClientDisconnected is called: once for each address whose connections the
// stop resets, from Run or from a late worker closing its connection. So
//  - hooks own what they use (shared ownership) and stay callable until the
//    last worker has let go of the engine, not merely until Run returns;
//  - a hook of a stopping engine never waits for the registry lock: its
//    holder may be the one waiting for this engine to end.
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
  // Fills the figures the engine keeps (requests, bytes, errors, latency,
  // read cache, connections; see ServerStats) and leaves the rest. Called
  // from any thread, possibly under the registry lock, at any time while
  // the endpoint exists; takes no lock that is held while a hook runs. An
  // endpoint that keeps no figures leaves them all.
  virtual void ReadFigures(ServerStats& figures) const { static_cast<void>(figures); }
};

// Builds the endpoint of one export from a copy of its configuration. Called
// on the engine thread. Never returns null: an endpoint that cannot serve
// says so by returning from Run at once.
using EndpointFactory = std::function<std::unique_ptr<Endpoint>(const ServerConfig& config)>;

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_ENDPOINT_H_
