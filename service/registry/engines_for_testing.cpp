#include "service/registry/engines_for_testing.h"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "shared/block_protocol.h"

namespace quensaria::registry::testing {
namespace {

class FakeEndpoint final : public engine::Endpoint {
 public:
  explicit FakeEndpoint(std::shared_ptr<FakeEngine> engine) : engine_(std::move(engine)) {
    std::scoped_lock lock(engine_->mutex);
    engine_->endpoint = this;
  }

  ~FakeEndpoint() override {
    std::unique_lock lock(engine_->mutex);
    if (engine_->mode == FakeMode::kEndAtOnceSlowTeardown ||
        engine_->mode == FakeMode::kServeSlowTeardown)
      engine_->changed.wait(lock, [this] { return engine_->released; });
    engine_->hooks = {};
    engine_->endpoint = nullptr;
    engine_->running = false;
    engine_->ended = true;
    engine_->changed.notify_all();
  }

  void SetHooks(engine::EngineHooks hooks) override {
    std::scoped_lock lock(engine_->mutex);
    engine_->hooks = std::move(hooks);
  }

  void Run() override {
    engine::EngineHooks hooks;
    {
      std::scoped_lock lock(engine_->mutex);
      hooks = engine_->hooks;
      engine_->hooks_before_run =
          hooks.CheckClientAccess && hooks.ClientDisconnected && hooks.ClientLoggedOn;
      const bool ends_at_once = engine_->mode == FakeMode::kEndAtOnce ||
                                engine_->mode == FakeMode::kEndAtOnceSlowTeardown;
      engine_->running = !ends_at_once;
      engine_->changed.notify_all();
      if (ends_at_once) return;
    }
    if (engine_->mode != FakeMode::kServeUnheard && hooks.Listening) hooks.Listening(this);
    std::vector<std::thread> workers;
    if (engine_->mode == FakeMode::kBusyUntilStop) {
      for (uint32_t address : engine_->reset_addresses) {
        workers.emplace_back([this, &hooks, address] { Work(hooks, address); });
      }
    }
    WaitForStop();
    for (std::thread& worker : workers) worker.join();
    std::scoped_lock lock(engine_->mutex);
    engine_->running = false;
  }

  void Stop() override {
    engine::EngineHooks hooks;
    {
      std::scoped_lock lock(engine_->mutex);
      ++engine_->stop_calls;
      stop_requested_ = true;
      hooks = engine_->hooks;
      engine_->changed.notify_all();
    }
    if (engine_->disconnect_in_stop != 0)
      hooks.ClientDisconnected(this, engine_->disconnect_in_stop);
  }

 private:
  bool StopRequested() {
    std::scoped_lock lock(engine_->mutex);
    return stop_requested_;
  }

  void WaitForStop() {
    std::unique_lock lock(engine_->mutex);
    engine_->changed.wait(lock, [&] { return stop_requested_ || engine_->end_requested; });
  }

  // One connection's worth of hook traffic, then its reset.
  void Work(const engine::EngineHooks& hooks, uint32_t address) {
    while (!StopRequested()) {
      {
        std::scoped_lock engine_lock(engine_lock_);
        uint8_t access = ACCESS_REFUSED;
        hooks.CheckClientAccess(this, address, access);
      }
      hooks.ClientLoggedOn(this, address, ACCESS_VIRTUAL_WRITE);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::scoped_lock engine_lock(engine_lock_);
    hooks.ClientDisconnected(this, address);
  }

  std::shared_ptr<FakeEngine> engine_;
  std::mutex engine_lock_;       // plays the engine lock of the real engine
  bool stop_requested_ = false;  // guarded by engine_->mutex
};

}  // namespace

bool FakeEngine::Admit(uint32_t address, uint8_t& access) {
  std::unique_lock lock(mutex);
  if (endpoint == nullptr || !hooks.CheckClientAccess) return false;
  auto check = hooks.CheckClientAccess;
  engine::Endpoint* self = endpoint;
  lock.unlock();
  return check(self, address, access);
}

void FakeEngine::LogOn(uint32_t address, uint8_t access) {
  std::unique_lock lock(mutex);
  if (endpoint == nullptr || !hooks.ClientLoggedOn) return;
  auto logged_on = hooks.ClientLoggedOn;
  engine::Endpoint* self = endpoint;
  lock.unlock();
  logged_on(self, address, access);
}

void FakeEngine::Disconnect(uint32_t address) {
  std::unique_lock lock(mutex);
  if (endpoint == nullptr || !hooks.ClientDisconnected) return;
  auto disconnected = hooks.ClientDisconnected;
  engine::Endpoint* self = endpoint;
  lock.unlock();
  disconnected(self, address);
}

bool FakeEngine::IsRunning() const {
  std::scoped_lock lock(mutex);
  return running;
}

bool FakeEngine::HasEnded() const {
  std::scoped_lock lock(mutex);
  return ended;
}

int FakeEngine::StopCalls() const {
  std::scoped_lock lock(mutex);
  return stop_calls;
}

void FakeEngine::Release() {
  std::scoped_lock lock(mutex);
  released = true;
  changed.notify_all();
}

void FakeEngine::EndOnItsOwn() {
  std::scoped_lock lock(mutex);
  end_requested = true;
  changed.notify_all();
}

bool FakeEngine::EndsWithin(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [this] { return ended; });
}

void FakeEngines::SetMode(uint16_t port, FakeMode mode) {
  std::scoped_lock lock(mutex_);
  setups_[port].mode = mode;
}

void FakeEngines::SetResetAddresses(uint16_t port, std::vector<uint32_t> addresses,
                                    uint32_t in_stop) {
  std::scoped_lock lock(mutex_);
  setups_[port].mode = FakeMode::kBusyUntilStop;
  setups_[port].reset_addresses = std::move(addresses);
  setups_[port].disconnect_in_stop = in_stop;
}

engine::EndpointFactory FakeEngines::Factory() {
  return [this](const ServerConfig& config) -> std::unique_ptr<engine::Endpoint> {
    auto engine = std::make_shared<FakeEngine>();
    engine->config = config;
    {
      std::scoped_lock lock(mutex_);
      const PortSetup& setup = setups_[config.Port];
      engine->mode = setup.mode;
      engine->reset_addresses = setup.reset_addresses;
      engine->disconnect_in_stop = setup.disconnect_in_stop;
      built_[config.Port].push_back(engine);
    }
    if (engine->mode == FakeMode::kThrowOnBuild)
      throw std::runtime_error("source cannot be opened");
    if (engine->mode == FakeMode::kNullOnBuild) return nullptr;
    if (engine->mode == FakeMode::kHangOnBuild) {
      std::unique_lock lock(engine->mutex);
      engine->changed.wait(lock, [&] { return engine->released; });
    }
    return std::make_unique<FakeEndpoint>(engine);
  };
}

std::vector<std::shared_ptr<FakeEngine>> FakeEngines::Built(uint16_t port) const {
  std::scoped_lock lock(mutex_);
  auto found = built_.find(port);
  return found == built_.end() ? std::vector<std::shared_ptr<FakeEngine>>{} : found->second;
}

std::shared_ptr<FakeEngine> FakeEngines::Latest(uint16_t port) const {
  auto built = Built(port);
  return built.empty() ? nullptr : built.back();
}

uint32_t Ip(const char* text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) throw std::invalid_argument(text);
  return parsed.s_addr;
}

ServerConfig MakeConfig(uint16_t port, const char* source) {
  ServerConfig config{};
  std::strncpy(config.Source, source, sizeof config.Source - 1);
  config.Port = port;
  config.SizeBytes = 64 << 20;
  config.Cache = 16;
  config.AuthMode = 7;
  config.Password[0] = 0xAB;
  config.ManagePassword[19] = 0xCD;
  return config;
}

ClientEntry MakeClient(uint32_t address, uint8_t access, uint8_t name_state,
                       const char* host_name) {
  ClientEntry client{};
  client.address = address;
  client.access = access;
  client.nameState = name_state;
  std::strncpy(client.hostName, host_name, sizeof client.hostName - 1);
  return client;
}

}  // namespace quensaria::registry::testing
