#include "service/host/service_host.h"

#include <exception>
#include <string>

#include "platform/console.h"
#include "platform/service_notify.h"

namespace quensaria::host {

ServiceHost::ServiceHost(HostOptions options, engine::EndpointFactory factory)
    : options_(std::move(options)),
      store_(options_.state_directory),
      registry_(std::make_unique<registry::ServerRegistry>(std::move(factory))),
      operations_(
          std::make_unique<management::RegistryOperations<registry::ServerRegistry>>(*registry_)),
      management_(std::make_unique<management::ManagementServer>(
          *operations_, options_.runtime_directory, management::ManagementLimits{},
          options_.socket_group)) {}

ServiceHost::~ServiceHost() { Stop(); }

void ServiceHost::MarkStarted() {
  std::scoped_lock lock(mutex_);
  started_ = true;
  changed_.notify_all();
}

bool ServiceHost::StopRequested() {
  std::scoped_lock lock(mutex_);
  return stopped_;
}

void ServiceHost::BringUp() {
  // Every persisted change is saved at once, under the registry lock.
  registry_->SetSaveHook([this](const std::vector<StoredServer>& servers) {
    return store_.SaveConfiguration(servers).ok();
  });
  // Each export to be started may take up to its start wait: systemd's
  // start time-out is stretched ahead of every one, so many exports never
  // make the unit fail.
  // Once a stop waits, no further export is started (each may take the
  // open wait): they keep Started and come back at the next start.
  store_.LoadConfiguration(
      [this](const ServerConfig& config, const std::vector<ClientEntry>& clients) {
        const bool start = !StopRequested();
        if (start && config.Started != 0) platform::NotifyExtendTimeout(kStartTimeoutExtension);
        registry_->LoadServer(config, clients, start);
      });
  resolver_ = std::thread([this] { registry_->RunHostNameResolver(); });
  // Ready once the exports are up and the management socket exists (calls
  // queue on it until the listen loop takes them, a moment later).
  std::string problem;
  static_cast<void>(management_->UseEndpoint(&problem));
  platform::NotifyReady();
}

void ServiceHost::Run() {
  {
    std::scoped_lock lock(mutex_);
    if (stopped_) return;  // stopped before it began: bring nothing up
    running_ = true;
  }
  try {
    BringUp();
  } catch (const std::exception& e) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "service start-up failed: %s\n",
                         e.what());
  }
  MarkStarted();
  try {
    management::StartManagementInterface(*management_);
  } catch (const std::exception& e) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "management interface failed: %s\n",
                         e.what());
  }
}

void ServiceHost::Stop() {
  {
    std::unique_lock lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    // Let a start-up under way finish first; one that has not begun never will.
    changed_.wait(lock, [this] { return started_ || !running_; });
  }
  platform::NotifyStopping();
  // Nothing may reach the registry once it is being taken down.
  management_->Shutdown();
  registry_->RequestStop();
  if (resolver_.joinable()) resolver_.join();
  registry_->StopAllServers();
  (void)store_.SaveConfiguration(registry_->Snapshot());
  registry_->FreeRegistry();
}

}  // namespace quensaria::host
