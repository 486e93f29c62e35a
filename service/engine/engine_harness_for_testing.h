// EngineHarness (tests only): one ConnectionEngine running on its own
// thread with fake registry hooks that admit, refuse and record, on a free
// loopback port.
#ifndef QUENSARIA_SERVICE_ENGINE_ENGINE_HARNESS_FOR_TESTING_H_
#define QUENSARIA_SERVICE_ENGINE_ENGINE_HARNESS_FOR_TESTING_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/engine/connection_engine.h"
#include "service/source/disk_source.h"

namespace quensaria::testing {

// What the registry would do, scripted: admission levels per address
// (unknown addresses get `default_access`, ACCESS_REFUSED = refuse), and a
// record of every call.
class FakeRegistry : public std::enable_shared_from_this<FakeRegistry> {
 public:
  void Admit(uint32_t address, uint8_t access);
  uint8_t default_access = ACCESS_FULL;

  // The hooks keep this registry alive, as a late worker may still call one.
  engine::EngineHooks Hooks();

  std::vector<uint32_t> checked() const;
  std::vector<uint32_t> disconnected() const;
  std::vector<std::pair<uint32_t, uint8_t>> logged_on() const;
  // Waits until ClientDisconnected has been reported `count` times.
  bool WaitForDisconnects(size_t count, std::chrono::milliseconds timeout) const;

  // While set, ClientLoggedOn blocks until Release (a slow name look-up).
  void HoldLogOns();
  void Release();
  // Waits until some worker sits held in ClientLoggedOn.
  bool WaitForHeldLogOn(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<uint32_t, uint8_t> levels_;
  std::vector<uint32_t> checked_, disconnected_;
  std::vector<std::pair<uint32_t, uint8_t>> logged_on_;
  bool hold_ = false;
  int held_ = 0;  // workers waiting in ClientLoggedOn
};

ServerConfig TestConfig(const std::string& source = "", int32_t cache = 0);

class EngineHarness {
 public:
  // An engine over `source` (or the path in `config` when source is null).
  explicit EngineHarness(const ServerConfig& config,
                         std::unique_ptr<source::DiskSource> source = nullptr,
                         const engine::EngineOptions& options = {});
  ~EngineHarness();

  // Installs the hooks, starts Run and waits for the port; false when the
  // engine ended instead.
  bool Start(bool install_hooks = true);
  void InstallHooks();
  // Stop, then wait for Run to return; how long that took.
  std::chrono::milliseconds StopAndWait();
  // True when Run returned within `timeout` on its own.
  bool WaitForEnd(std::chrono::milliseconds timeout);

  uint16_t port() const { return port_; }
  FakeRegistry& registry() { return *registry_; }
  engine::ConnectionEngine& engine() { return *engine_; }

 private:
  std::shared_ptr<FakeRegistry> registry_ = std::make_shared<FakeRegistry>();
  std::unique_ptr<engine::ConnectionEngine> engine_;
  std::thread runner_;
  std::mutex mutex_;
  std::condition_variable ended_changed_;
  bool ended_ = false;
  uint16_t port_ = 0;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_SERVICE_ENGINE_ENGINE_HARNESS_FOR_TESTING_H_
