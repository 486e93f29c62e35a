#include "service/engine/engine_harness_for_testing.h"

#include <cstring>

#include "shared/password_digest.h"

namespace quensaria::testing {

void FakeRegistry::Admit(uint32_t address, uint8_t access) {
  std::scoped_lock lock(mutex_);
  levels_[address] = access;
}

engine::EngineHooks FakeRegistry::Hooks() {
  engine::EngineHooks hooks;
  auto self = shared_from_this();
  hooks.CheckClientAccess = [this, self](engine::Endpoint*, uint32_t address, uint8_t& access) {
    std::scoped_lock lock(mutex_);
    checked_.push_back(address);
    auto it = levels_.find(address);
    access = it != levels_.end() ? it->second : default_access;
    return access != ACCESS_REFUSED;
  };
  hooks.ClientDisconnected = [this, self](engine::Endpoint*, uint32_t address) {
    std::scoped_lock lock(mutex_);
    disconnected_.push_back(address);
    changed_.notify_all();
  };
  hooks.ClientLoggedOn = [this, self](engine::Endpoint*, uint32_t address, uint8_t access) {
    std::unique_lock lock(mutex_);
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold_; });
    --held_;
    logged_on_.emplace_back(address, access);
  };
  return hooks;
}

std::vector<uint32_t> FakeRegistry::checked() const {
  std::scoped_lock lock(mutex_);
  return checked_;
}
std::vector<uint32_t> FakeRegistry::disconnected() const {
  std::scoped_lock lock(mutex_);
  return disconnected_;
}
std::vector<std::pair<uint32_t, uint8_t>> FakeRegistry::logged_on() const {
  std::scoped_lock lock(mutex_);
  return logged_on_;
}

bool FakeRegistry::WaitForDisconnects(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return disconnected_.size() >= count; });
}

bool FakeRegistry::WaitForHeldLogOn(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return held_ > 0; });
}

void FakeRegistry::HoldLogOns() {
  std::scoped_lock lock(mutex_);
  hold_ = true;
}

void FakeRegistry::Release() {
  std::scoped_lock lock(mutex_);
  hold_ = false;
  changed_.notify_all();
}

ServerConfig TestConfig(const std::string& source, int32_t cache) {
  ServerConfig config{};
  std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
  config.Port = 0;  // a free port, picked by the kernel
  config.Cache = cache;
  std::memcpy(config.Password, PasswordDigest("login").data(), kDigestSize);
  std::memcpy(config.ManagePassword, PasswordDigest("manage").data(), kDigestSize);
  return config;
}

EngineHarness::EngineHarness(const ServerConfig& config, std::unique_ptr<source::DiskSource> source,
                             const engine::EngineOptions& options) {
  if (source) {
    engine_ = std::make_unique<engine::ConnectionEngine>(config, std::move(source), options);
  } else {
    engine_ = std::make_unique<engine::ConnectionEngine>(config, options);
  }
}

EngineHarness::~EngineHarness() {
  if (runner_.joinable()) {
    engine_->Stop();
    runner_.join();
  }
  registry_->Release();
}

void EngineHarness::InstallHooks() { engine_->SetHooks(registry_->Hooks()); }

bool EngineHarness::Start(bool install_hooks) {
  if (install_hooks) InstallHooks();
  runner_ = std::thread([this] {
    engine_->Run();
    std::scoped_lock lock(mutex_);
    ended_ = true;
    ended_changed_.notify_all();
  });
  port_ = engine_->WaitUntilListening(std::chrono::seconds(10));
  return port_ != 0;
}

bool EngineHarness::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return ended_changed_.wait_for(lock, timeout, [this] { return ended_; });
}

std::chrono::milliseconds EngineHarness::StopAndWait() {
  const auto start = std::chrono::steady_clock::now();
  engine_->Stop();
  runner_.join();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace quensaria::testing
