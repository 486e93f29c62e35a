// StopSignals: SIGINT and SIGTERM as the service's stop control. Install
// blocks both signals in the calling thread, and so in every thread it
// starts afterwards (call it first in main, before any thread exists); Wait
// then receives them synchronously on whichever thread calls it. SIGPIPE is
// ignored process-wide, so a vanished peer is an error value, not a death.
#ifndef QUENSARIA_PLATFORM_STOP_SIGNALS_H_
#define QUENSARIA_PLATFORM_STOP_SIGNALS_H_

#include <memory>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

class StopSignals {
 public:
  static Result<std::unique_ptr<StopSignals>> Install();
  ~StopSignals();  // unblocks the signals again
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Blocks until SIGINT or SIGTERM arrives (returns its number) or Cancel
  // was called (returns 0).
  int Wait();
  // Ends every current and later Wait. Any thread.
  void Cancel();

 private:
  StopSignals(UniqueFd signals, UniqueFd cancel)
      : signals_(std::move(signals)), cancel_(std::move(cancel)) {}

  UniqueFd signals_;  // a signalfd for SIGINT and SIGTERM
  UniqueFd cancel_;   // an eventfd
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_STOP_SIGNALS_H_
