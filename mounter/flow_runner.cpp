#include "mounter/flow_runner.h"

#include <QMetaObject>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace quensaria::mounter {

struct FlowRunner::FlowState {
  std::mutex mutex;
  std::condition_variable answered;
  bool cancelled = false;  // by the user, or by the runner's end
};

// The flow's MountDialogs on its worker thread: each call is handed to the
// GUI thread and waited for, until the flow is cancelled.
class FlowRunner::ForwardingDialogs final : public MountDialogs {
 public:
  ForwardingDialogs(FlowRunner* runner, std::shared_ptr<FlowState> state)
      : runner_(runner), state_(std::move(state)) {}

  std::optional<AddDeviceAnswer> AskAddDevice() override {
    std::optional<AddDeviceAnswer> answer;
    OnGui<std::optional<AddDeviceAnswer>>([](MountDialogs& d) { return d.AskAddDevice(); },
                                          &answer);
    return answer;
  }
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override {
    std::optional<PasswordAnswer> answer;
    OnGui<std::optional<PasswordAnswer>>(
        [=](MountDialogs& d) { return d.AskPassword(prompt, resource); }, &answer);
    return answer;
  }
  bool AskYesNo(const QString& question) override {
    bool yes = false;
    OnGui<bool>([=](MountDialogs& d) { return d.AskYesNo(question); }, &yes);
    return yes;
  }
  void ShowStatus(const QString& text) override {
    Do([=](MountDialogs& d) { d.ShowStatus(text); });
  }
  void ShowMessage(const QString& text) override {
    Do([=](MountDialogs& d) { d.ShowMessage(text); });
  }
  void RefreshList() override {
    Do([](MountDialogs& d) { d.RefreshList(); });
  }
  void ShowProgress(const QString& text) override {
    FlowRunner* runner = runner_;
    Do([runner, text](MountDialogs&) { emit runner->progressChanged(text); });
  }
  bool Cancelled() const override {
    std::scoped_lock lock(state_->mutex);
    return state_->cancelled;
  }

 private:
  // Runs `call` on the GUI thread and waits for its value in *out; false
  // (and *out untouched) once the flow is cancelled: then the call is
  // skipped, or its value dropped.
  template <typename T>
  bool OnGui(std::function<T(MountDialogs&)> call, T* out) {
    struct Pending {
      bool done = false;
      T value{};
    };
    auto pending = std::make_shared<Pending>();
    {
      std::scoped_lock lock(state_->mutex);
      if (state_->cancelled) return false;
    }
    // The runner outlives this thread (its destructor joins it), and while
    // it is being destroyed the posted call is dropped with its events.
    std::shared_ptr<FlowState> state = state_;
    FlowRunner* runner = runner_;
    QMetaObject::invokeMethod(
        runner,
        [runner, state, pending, call] {
          {
            std::scoped_lock lock(state->mutex);
            if (state->cancelled) return;
          }
          T value = call(runner->gui_dialogs_);
          std::scoped_lock lock(state->mutex);
          pending->value = std::move(value);
          pending->done = true;
          state->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state_->mutex);
    state_->answered.wait(lock, [&] { return pending->done || state_->cancelled; });
    if (state_->cancelled) return false;
    *out = std::move(pending->value);
    return true;
  }
  void Do(std::function<void(MountDialogs&)> call) {
    bool done = false;
    OnGui<bool>(
        [call](MountDialogs& d) {
          call(d);
          return true;
        },
        &done);
  }

  FlowRunner* runner_;
  std::shared_ptr<FlowState> state_;
};

FlowRunner::FlowRunner(MountDialogs& gui_dialogs, QObject* parent)
    : QObject(parent), gui_dialogs_(gui_dialogs) {}

FlowRunner::~FlowRunner() {
  for (Worker& worker : workers_) {
    {
      std::scoped_lock lock(worker.state->mutex);
      worker.state->cancelled = true;
    }
    worker.state->answered.notify_all();
  }
  for (Worker& worker : workers_) worker.thread.join();
}

bool FlowRunner::Start(Flow flow) {
  if (current_ != nullptr) return false;
  auto state = std::make_shared<FlowState>();
  current_ = state;
  FlowRunner* runner = this;
  std::thread thread([runner, state, flow = std::move(flow)] {
    ForwardingDialogs dialogs(runner, state);
    try {
      flow(dialogs);
    } catch (const std::exception&) {
      // A flow's exception ends the flow, never the program.
    }
    QMetaObject::invokeMethod(
        runner, [runner, state] { runner->Ended(state); }, Qt::QueuedConnection);
  });
  workers_.push_back(Worker{state, std::move(thread)});
  emit busyChanged(true);
  return true;
}

void FlowRunner::Cancel() {
  if (current_ == nullptr) return;
  {
    std::scoped_lock lock(current_->mutex);
    current_->cancelled = true;
  }
  current_->answered.notify_all();
  current_.reset();
  emit busyChanged(false);
}

void FlowRunner::Ended(const std::shared_ptr<FlowState>& state) {
  for (auto it = workers_.begin(); it != workers_.end(); ++it) {
    if (it->state != state) continue;
    it->thread.join();  // it has just returned from its flow
    workers_.erase(it);
    break;
  }
  bool cancelled = false;
  {
    std::scoped_lock lock(state->mutex);
    cancelled = state->cancelled;
  }
  if (current_ == state) {
    current_.reset();
    emit busyChanged(false);
  }
  emit flowEnded(cancelled);
}

}  // namespace quensaria::mounter
