// EngineRun: the thread that runs the connection engine of one started
// server. StartEndpoint brings it up, StopEndpoint ends it; both are called
// with the registry lock held, so the hooks of a stopping engine must not
// wait for that lock (service/engine/endpoint.h). Instead they ask the run's
// EngineLink whether it is stopping and leave their disconnects there for
// StopEndpoint to hand back.
#ifndef QUENSARIA_SERVICE_REGISTRY_ENGINE_RUN_H_
#define QUENSARIA_SERVICE_REGISTRY_ENGINE_RUN_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/engine/endpoint.h"
#include "shared/management_records.h"

namespace quensaria::registry {

// The longest a start waits for its engine to listen; an engine thread that
// ends within it could not bring its engine up.
inline constexpr std::chrono::milliseconds kStartWait{1000};
// The longest a start waits for its engine's source to open (a file on a
// dead hard NFS mount, a device that does not answer): beyond the RBD
// open's own time-out, so that its reason is the one told.
inline constexpr std::chrono::milliseconds kOpenWait{9000};
// The longest a stop waits for its engine's source to close (the same
// sources may hang there), so that a stop under the registry lock ends.
inline constexpr std::chrono::milliseconds kCloseWait{kOpenWait};

// What the hooks of one engine share with its EngineRun, held by shared
// ownership because a hook may outlive the EngineRun (endpoint.h), e.g. a
// slow host name look-up in a worker of a stopped engine.
class EngineLink {
 public:
  void BeginStop() { stopping_.store(true, std::memory_order_release); }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  // A disconnect the hook could not apply because the engine is stopping.
  void RecordDisconnect(uint32_t address);
  std::vector<uint32_t> TakeDisconnects();

 private:
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // apart from EngineRun's: Stop() may report at once
  std::vector<uint32_t> disconnects_;
};

class EngineRun {
 public:
  using HooksFor = std::function<engine::EngineHooks(EngineRun& run)>;

  // Starts the engine thread, which builds the endpoint with `factory` from a
  // copy of `config`, waits for the hooks (`hooks_for`, installed from this
  // thread) and runs it. Returns as soon as the engine listens, or after
  // `start_wait` at most: null when the engine's Run was over (or never
  // began) before either, its thread then joined or, while it still closes
  // its source, left to end by itself; null too when the endpoint was not
  // built within `open_wait` (the thread is then left to end by itself, its
  // late endpoint never run).
  static std::unique_ptr<EngineRun> StartEndpoint(const engine::EndpointFactory& factory,
                                                  const ServerConfig& config,
                                                  const HooksFor& hooks_for,
                                                  std::chrono::milliseconds start_wait = kStartWait,
                                                  std::chrono::milliseconds open_wait = kOpenWait);

  // Stops the engine if the caller has not (StopEndpoint) and waits for it.
  ~EngineRun();
  EngineRun(const EngineRun&) = delete;
  EngineRun& operator=(const EngineRun&) = delete;

  // Asks the engine to stop and waits without time limit for its thread to
  // end. Returns the disconnects its hooks recorded meanwhile, in order.
  std::vector<uint32_t> StopEndpoint();
  // As StopEndpoint, but waits for the thread `close_wait` at most: one
  // still closing its source then is said on the console and owns the run
  // from then on (it frees it when the close returns).
  static std::vector<uint32_t> StopWithin(std::unique_ptr<EngineRun> run,
                                          std::chrono::milliseconds close_wait);
  // StopWithin in two steps, so that many engines stop side by side: asks
  // the engine to stop; then waits for its thread until `deadline` (one
  // shared by all of them), as StopWithin does for `close_wait`.
  void AskToStop();
  static std::vector<uint32_t> WaitForStop(std::unique_ptr<EngineRun> run,
                                           std::chrono::steady_clock::time_point deadline,
                                           std::chrono::milliseconds close_wait);

  // The engine's figures (Endpoint::ReadFigures); false, leaving `figures`
  // as it is, once the engine has ended (by a stop or by itself) or before
  // it was built.
  bool ReadFigures(ServerStats& figures);

  // Marks the engine stopping (for good) ahead of StopEndpoint, which does
  // it too, so that its hooks stop waiting for the registry lock.
  void BeginStop() { link_->BeginStop(); }
  bool stopping() const { return link_->stopping(); }
  const std::shared_ptr<EngineLink>& link() const { return link_; }

 private:
  EngineRun() = default;
  void Body(engine::EndpointFactory factory, ServerConfig config);

  std::thread thread_;
  std::mutex mutex_;  // guards the fields below; held across Stop()
  std::condition_variable changed_;
  bool published_ = false;
  bool hooks_installed_ = false;
  bool ended_ = false;
  bool listening_ = false;
  bool returned_ = false;                 // Run is over, or never began: it serves no more
  bool abandoned_ = false;                // nobody waits any more: the thread frees the run
  engine::Endpoint* endpoint_ = nullptr;  // alive while non-null

  const std::shared_ptr<EngineLink> link_ = std::make_shared<EngineLink>();
  std::string source_;  // for the console
};

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_ENGINE_RUN_H_
