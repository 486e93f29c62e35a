#include "service/registry/engine_run.h"

#include <cstring>
#include <exception>
#include <utility>

#include "platform/console.h"

namespace quensaria::registry {
namespace {

void LogEngineException(const char* step, const std::exception* error) {
  platform::ConsoleLog(platform::ConsolePriority::kError, "Engine %s failed: %s\n", step,
                       error ? error->what() : "unknown exception");
}

}  // namespace

std::unique_ptr<EngineRun> EngineRun::StartEndpoint(const engine::EndpointFactory& factory,
                                                    const ServerConfig& config,
                                                    const HooksFor& hooks_for,
                                                    std::chrono::milliseconds start_wait,
                                                    std::chrono::milliseconds open_wait) {
  std::unique_ptr<EngineRun> run(new EngineRun);
  try {
    run->source_.assign(config.Source, strnlen(config.Source, sizeof config.Source));
    run->thread_ = std::thread(&EngineRun::Body, run.get(), factory, config);
  } catch (const std::exception& error) {
    LogEngineException("thread", &error);
    return nullptr;
  }

  std::unique_lock lock(run->mutex_);
  if (!run->changed_.wait_for(lock, open_wait, [&] { return run->published_; })) {
    // The caller holds the registry lock: a source that does not answer
    // must not hold up every other call. The thread owns the run from now on.
    platform::ConsoleLog(
        platform::ConsolePriority::kError,
        "%.150s: cannot be served: the source does not answer within %lld s\n", config.Source,
        static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(open_wait).count()));
    run->abandoned_ = true;
    run->thread_.detach();
    static_cast<void>(run.release());
    return nullptr;
  }
  if (run->endpoint_ != nullptr) {
    try {
      engine::EngineHooks hooks = hooks_for(*run);
      // The run outlives its engine thread, which alone calls this.
      EngineRun* self = run.get();
      hooks.Listening = [self](engine::Endpoint*) {
        std::scoped_lock listening_lock(self->mutex_);
        self->listening_ = true;
        self->changed_.notify_all();
      };
      run->endpoint_->SetHooks(std::move(hooks));
    } catch (...) {
      // An engine without hooks cannot admit anybody; do not run it.
      LogEngineException("hooks", nullptr);
      run->endpoint_ = nullptr;
    }
  }
  run->hooks_installed_ = true;
  run->changed_.notify_all();
  // Many exports start one after another (at service start): each waits
  // only until its engine is up. One still busy after the wait counts as
  // started, as long as it has not ended.
  const auto deadline = std::chrono::steady_clock::now() + start_wait;
  run->changed_.wait_until(lock, deadline,
                           [&] { return run->ended_ || run->listening_ || run->returned_; });
  // Its Run is over before it listened: failed, however long closing its
  // source takes; that close gets the rest of the wait.
  const bool failed = run->returned_ && !run->listening_;
  if (failed) run->changed_.wait_until(lock, deadline, [&] { return run->ended_; });
  if (run->ended_) {
    lock.unlock();
    run->thread_.join();
    return nullptr;
  }
  if (failed) {
    // Not waited for under the registry lock: the thread owns the run now.
    run->abandoned_ = true;
    run->thread_.detach();
    static_cast<void>(run.release());
    return nullptr;
  }
  lock.unlock();
  return run;
}

void EngineRun::Body(engine::EndpointFactory factory, ServerConfig config) {
  std::unique_ptr<engine::Endpoint> endpoint;
  try {
    endpoint = factory(config);
  } catch (const std::exception& error) {
    LogEngineException("construction", &error);
  } catch (...) {
    LogEngineException("construction", nullptr);
  }

  bool run_it = false;
  {
    std::unique_lock lock(mutex_);
    if (abandoned_) {
      lock.unlock();
      endpoint.reset();
      delete this;
      return;
    }
    endpoint_ = endpoint.get();
    published_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return hooks_installed_; });
    run_it = endpoint_ != nullptr;
  }
  if (run_it) {
    try {
      endpoint->Run();
    } catch (const std::exception& error) {
      LogEngineException("run", &error);
    } catch (...) {
      LogEngineException("run", nullptr);
    }
  }
  {
    // Waits out a Stop() in progress; none can start once endpoint_ is null.
    std::scoped_lock lock(mutex_);
    endpoint_ = nullptr;
    returned_ = true;
    changed_.notify_all();
  }
  endpoint.reset();

  std::unique_lock lock(mutex_);
  ended_ = true;
  if (abandoned_) {
    lock.unlock();
    delete this;
    return;
  }
  changed_.notify_all();
}

std::vector<uint32_t> EngineRun::StopEndpoint() {
  AskToStop();
  if (thread_.joinable()) thread_.join();
  return link_->TakeDisconnects();
}

void EngineRun::AskToStop() {
  BeginStop();
  std::scoped_lock lock(mutex_);
  if (endpoint_ == nullptr) return;
  try {
    endpoint_->Stop();
  } catch (const std::exception& error) {
    LogEngineException("stop", &error);
  } catch (...) {
    LogEngineException("stop", nullptr);
  }
}

std::vector<uint32_t> EngineRun::StopWithin(std::unique_ptr<EngineRun> run,
                                            std::chrono::milliseconds close_wait) {
  run->AskToStop();
  return WaitForStop(std::move(run), std::chrono::steady_clock::now() + close_wait, close_wait);
}

std::vector<uint32_t> EngineRun::WaitForStop(std::unique_ptr<EngineRun> run,
                                             std::chrono::steady_clock::time_point deadline,
                                             std::chrono::milliseconds close_wait) {
  std::unique_lock lock(run->mutex_);
  if (run->thread_.joinable() &&
      !run->changed_.wait_until(lock, deadline, [&] { return run->ended_; })) {
    // The caller holds the registry lock: a source that does not close
    // must not hold up every other call. The thread owns the run from now on.
    platform::ConsoleLog(
        platform::ConsolePriority::kError,
        "%.150s: stopped, but the source does not close within %lld s; it is closed once it "
        "answers\n",
        run->source_.c_str(),
        static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(close_wait).count()));
    std::vector<uint32_t> disconnects = run->link_->TakeDisconnects();
    run->abandoned_ = true;
    run->thread_.detach();
    static_cast<void>(run.release());
    return disconnects;
  }
  lock.unlock();
  if (run->thread_.joinable()) run->thread_.join();
  return run->link_->TakeDisconnects();
}

bool EngineRun::ReadFigures(ServerStats& figures) {
  std::scoped_lock lock(mutex_);
  if (endpoint_ == nullptr) return false;
  try {
    endpoint_->ReadFigures(figures);
  } catch (const std::exception& error) {
    LogEngineException("figures", &error);
  }
  return true;
}

EngineRun::~EngineRun() {
  if (thread_.joinable()) static_cast<void>(StopEndpoint());
}

void EngineLink::RecordDisconnect(uint32_t address) {
  std::scoped_lock lock(mutex_);
  disconnects_.push_back(address);
}

std::vector<uint32_t> EngineLink::TakeDisconnects() {
  std::scoped_lock lock(mutex_);
  return std::exchange(disconnects_, {});
}

}  // namespace quensaria::registry
