// Test stand-ins for the connection engine: FakeEngines is the factory the
// registry builds endpoints with; each FakeEngine is the test's view of one
// built endpoint (its config, hooks, whether it runs, was stopped, ended).
// Tests call the hooks through a FakeEngine only while its endpoint runs.
#ifndef QUENSARIA_SERVICE_REGISTRY_ENGINES_FOR_TESTING_H_
#define QUENSARIA_SERVICE_REGISTRY_ENGINES_FOR_TESTING_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "service/engine/endpoint.h"
#include "shared/management_records.h"

namespace quensaria::registry::testing {

enum class FakeMode {
  kServe,                  // listens at once, runs until Stop
  kServeUnheard,           // runs until Stop, never says that it listens
  kEndAtOnce,              // Run returns at once: a source or port that failed
  kThrowOnBuild,           // the factory throws
  kNullOnBuild,            // the factory returns null
  kBusyUntilStop,          // worker threads call the hooks until Stop, then report
                           // every address of `reset_addresses` disconnected, like
                           // an engine resetting its connections; Run joins them
  kHangOnBuild,            // the factory waits until Release, as an open of a source
                           // that does not answer, then builds a serving endpoint
  kEndAtOnceSlowTeardown,  // as kEndAtOnce, and the endpoint's destruction
                           // (closing its source) waits until Release
  kServeSlowTeardown,      // as kServe, and the endpoint's destruction (closing
                           // its source) waits until Release
};

struct FakeEngine {
  ServerConfig config{};
  FakeMode mode = FakeMode::kServe;
  std::vector<uint32_t> reset_addresses;  // kBusyUntilStop
  uint32_t disconnect_in_stop = 0;        // reported from Stop() itself when nonzero

  mutable std::mutex mutex;
  std::condition_variable changed;
  engine::Endpoint* endpoint = nullptr;
  engine::EngineHooks hooks;
  bool hooks_before_run = false;
  bool running = false;
  bool ended = false;          // the endpoint has been destroyed
  bool released = false;       // kHangOnBuild: the factory may go on
  bool end_requested = false;  // Run returns as if its listener broke
  int stop_calls = 0;

  // The registry's hooks, called as the engine would (false: no engine runs).
  bool Admit(uint32_t address, uint8_t& access);
  void LogOn(uint32_t address, uint8_t access);
  void Disconnect(uint32_t address);

  bool IsRunning() const;
  bool HasEnded() const;
  int StopCalls() const;
  // kHangOnBuild, kEndAtOnceSlowTeardown, kServeSlowTeardown: lets the
  // factory or the destruction go on.
  void Release();
  // Makes Run return without a Stop, as an engine whose listener broke.
  void EndOnItsOwn();
  // Whether the endpoint was destroyed within `timeout`.
  bool EndsWithin(std::chrono::milliseconds timeout);
};

class FakeEngines {
 public:
  void SetMode(uint16_t port, FakeMode mode);
  void SetResetAddresses(uint16_t port, std::vector<uint32_t> addresses, uint32_t in_stop);
  // Must outlive every registry built with it.
  engine::EndpointFactory Factory();
  // The endpoints built for `port`, oldest first.
  std::vector<std::shared_ptr<FakeEngine>> Built(uint16_t port) const;
  std::shared_ptr<FakeEngine> Latest(uint16_t port) const;

 private:
  struct PortSetup {
    FakeMode mode = FakeMode::kServe;
    std::vector<uint32_t> reset_addresses;
    uint32_t disconnect_in_stop = 0;
  };
  mutable std::mutex mutex_;
  std::map<uint16_t, PortSetup> setups_;
  std::map<uint16_t, std::vector<std::shared_ptr<FakeEngine>>> built_;
};

// 127.0.0.1-style text to a network-order address.
uint32_t Ip(const char* text);
ServerConfig MakeConfig(uint16_t port, const char* source = "/srv/disk.img");
ClientEntry MakeClient(uint32_t address, uint8_t access, uint8_t name_state = kNameUnknown,
                       const char* host_name = "");

}  // namespace quensaria::registry::testing

#endif  // QUENSARIA_SERVICE_REGISTRY_ENGINES_FOR_TESTING_H_
