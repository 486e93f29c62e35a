// FlowRunner: runs the window's mount flows (mount, unmount, remount, the
// saved drives) on a worker thread, so that the window never waits for the
// driver, a server or UDisks2. The flow's prompts and texts reach the GUI
// thread's UserPrompts through the event loop, each call waiting there for
// its answer. One flow at a time; Cancel() frees the window at once: the
// flow asks and shows nothing more, takes back a mount that comes through
// after all, and its thread ends when the call it waits in returns (the
// driver gives up on a silent server after its reply timeout).
// GUI thread only; the destructor waits for the threads still running.
#ifndef QUENSARIA_MOUNTER_FLOW_RUNNER_H_
#define QUENSARIA_MOUNTER_FLOW_RUNNER_H_

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "mounter/user_prompts.h"

namespace quensaria::mounter {

class FlowRunner : public QObject {
  Q_OBJECT

 public:
  using Flow = std::function<void(UserPrompts& prompts)>;

  // `gui_prompts` answers on this (the GUI) thread and must outlive the
  // runner.
  explicit FlowRunner(UserPrompts& gui_prompts, QObject* parent = nullptr);
  ~FlowRunner() override;

  // Starts `flow` on a thread of its own; false (and nothing started)
  // while another flow runs.
  bool Start(Flow flow);
  // Stops waiting for the running flow (see above); nothing when none runs.
  void Cancel();
  // Whether a flow runs that was not cancelled.
  bool busy() const { return current_ != nullptr; }
  // Threads still running, cancelled flows' included.
  size_t threads() const { return workers_.size(); }

  struct FlowState;

 signals:
  // busy() changed.
  void busyChanged(bool busy);
  // The running flow's latest progress text.
  void progressChanged(const QString& text);
  // A flow changed the mounted drives.
  void listChanged();
  // A flow's thread ended; `cancelled` when the user had given it up.
  void flowEnded(bool cancelled);

 private:
  class ForwardingPrompts;
  void Ended(const std::shared_ptr<FlowState>& state);

  UserPrompts& gui_prompts_;
  std::shared_ptr<FlowState> current_;
  struct Worker {
    std::shared_ptr<FlowState> state;
    std::thread thread;
  };
  std::vector<Worker> workers_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_FLOW_RUNNER_H_
