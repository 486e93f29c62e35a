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

// The flow's UserPrompts on its worker thread: each call is handed to the
// GUI thread and waited for, until the flow is cancelled. Progress and list
// changes go to the runner's signals; the rest to the window's prompts.
class FlowRunner::ForwardingPrompts final : public UserPrompts {
 public:
  ForwardingPrompts(FlowRunner* runner, std::shared_ptr<FlowState> state)
      : runner_(runner), state_(std::move(state)) {}

  void Message(const QString& text) override {
    Do([=](UserPrompts& p) { p.Message(text); });
  }
  bool Question(const QString& text) override {
    bool yes = false;
    OnGui<bool>([=](UserPrompts& p) { return p.Question(text); }, &yes);
    return yes;
  }
  QString OpenFileName(const QString& caption, const QString& filter) override {
    QString name;
    OnGui<QString>([=](UserPrompts& p) { return p.OpenFileName(caption, filter); }, &name);
    return name;
  }
  void StatusText(const QString& text) override {
    Do([=](UserPrompts& p) { p.StatusText(text); });
  }
  std::optional<AddDeviceAnswer> AskAddDevice(const AddDeviceDefaults& defaults,
                                              const std::vector<char>& free_letters) override {
    std::optional<AddDeviceAnswer> answer;
    OnGui<std::optional<AddDeviceAnswer>>(
        [=](UserPrompts& p) { return p.AskAddDevice(defaults, free_letters); }, &answer);
    return answer;
  }
  std::optional<PasswordAnswer> AskPassword(PasswordPrompt prompt,
                                            const QString& resource) override {
    std::optional<PasswordAnswer> answer;
    OnGui<std::optional<PasswordAnswer>>(
        [=](UserPrompts& p) { return p.AskPassword(prompt, resource); }, &answer);
    return answer;
  }
  void OpenInFileManager(const QString& path) override {
    Do([=](UserPrompts& p) { p.OpenInFileManager(path); });
  }
  void RefreshList() override {
    FlowRunner* runner = runner_;
    Do([runner](UserPrompts&) { emit runner->listChanged(); });
  }
  void ShowProgress(const QString& text) override {
    FlowRunner* runner = runner_;
    Do([runner, text](UserPrompts&) { emit runner->progressChanged(text); });
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
  bool OnGui(std::function<T(UserPrompts&)> call, T* out) {
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
          T value = call(runner->gui_prompts_);
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
  void Do(std::function<void(UserPrompts&)> call) {
    bool done = false;
    OnGui<bool>(
        [call](UserPrompts& p) {
          call(p);
          return true;
        },
        &done);
  }

  FlowRunner* runner_;
  std::shared_ptr<FlowState> state_;
};

FlowRunner::FlowRunner(UserPrompts& gui_prompts, QObject* parent)
    : QObject(parent), gui_prompts_(gui_prompts) {}

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
    ForwardingPrompts prompts(runner, state);
    try {
      flow(prompts);
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
