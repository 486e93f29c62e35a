// ConnectionEngine: the TCP server of one running export. It owns the
// export's disk source, listens on the export's port (all local IPv4
// addresses), admits each connection through the registry's hooks, and
// serves the block protocol on two worker pools: socket workers (receives,
// sends, requests that need no waiting on the source) and file workers
// (transfers on the source that may block). Each connection has one
// operation outstanding at a time, handled by one worker.
//
// Threads, Stop and the hooks' lifetime: as every Endpoint (endpoint.h).
// Specific to this engine: after Stop, Run waits about a second for a worker
// stuck in a hook, then returns anyway; the engine's state, and the
// connections still open, live until that worker has finished.
#ifndef QUENSARIA_SERVICE_ENGINE_CONNECTION_ENGINE_H_
#define QUENSARIA_SERVICE_ENGINE_CONNECTION_ENGINE_H_

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/socket.h"
#include "service/engine/endpoint.h"
#include "service/source/disk_source.h"
#include "shared/management_records.h"
#include "shared/status.h"

namespace quensaria::engine {

// At most this many workers of each kind.
inline constexpr int kMaxWorkers = 16;
// The system's maximum: a burst of connections waits in the queue.
inline constexpr int kListenBacklog = platform::kMaxListenBacklog;

// Settings of the engine itself, apart from the export's stored record.
struct EngineOptions {
  // A connection that has sent part of a request (or has part of its reply
  // still to take) and then nothing for this long is reset, and its end
  // reported like any other. Idle connections between requests stay open.
  std::chrono::milliseconds stalled_request_timeout{60000};
  // How often the engine thread looks for such connections and for a source
  // changed under the export.
  std::chrono::milliseconds sweep_interval{5000};
};

class ConnectionEngine final : public Endpoint {
 public:
  // Construct: copies the settings and opens the source they name. An
  // engine whose source did not open returns from Run at once.
  explicit ConnectionEngine(const ServerConfig& config, const EngineOptions& options = {});
  // The same over a source made elsewhere (other back ends, tests).
  ConnectionEngine(const ServerConfig& config, Result<std::unique_ptr<source::DiskSource>> source,
                   const EngineOptions& options = {});
  // REQUIRES: Run is not running.
  ~ConnectionEngine() override;
  ConnectionEngine(const ConnectionEngine&) = delete;
  ConnectionEngine& operator=(const ConnectionEngine&) = delete;

  // Installs the hooks; Run accepts nothing before they are in.
  void SetHooks(EngineHooks hooks) override;
  void Run() override;
  // Makes Run stop accepting, end its workers and reset every connection.
  void Stop() override;
  // The figures of EngineStats (engine_stats.h) and the connections open
  // now. Any thread; takes only the lock of the list of live connections.
  void ReadFigures(ServerStats& figures) const override;

  // Waits up to `timeout` for Run to start listening and returns the port
  // (the one the kernel picked when the settings say 0); 0 when the engine
  // ended or did not listen in time.
  uint16_t WaitUntilListening(std::chrono::milliseconds timeout);
  // Workers of each kind that Run starts on this machine.
  static int WorkerCount();

  // Connections admitted and not yet closed; a closing connection has had
  // its disconnect reported before it leaves this count.
  int LiveConnectionsForTesting() const;
  // Accepts retried because the process was out of file descriptors.
  int DescriptorRetriesForTesting() const;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

// The EndpointFactory the registry is given to serve exports with.
std::unique_ptr<Endpoint> CreateConnectionEngine(const ServerConfig& config);

}  // namespace quensaria::engine

#endif  // QUENSARIA_SERVICE_ENGINE_CONNECTION_ENGINE_H_
