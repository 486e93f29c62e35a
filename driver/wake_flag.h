// WakeFlag: a flag one thread raises to cut short the pauses of another.
// A device raises it when an unmount or an unload is waiting, so that a
// request pausing between reconnect attempts gives up at once. Thread-safe.
#ifndef QUENSARIA_DRIVER_WAKE_FLAG_H_
#define QUENSARIA_DRIVER_WAKE_FLAG_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quensaria::driver {

class WakeFlag {
 public:
  void Raise() {
    {
      std::scoped_lock lock(mu_);
      raised_ = true;
    }
    wake_.notify_all();
  }
  void Lower() {
    std::scoped_lock lock(mu_);
    raised_ = false;
  }
  bool raised() const {
    std::scoped_lock lock(mu_);
    return raised_;
  }
  // Waits `pause`, or less if the flag is (or gets) raised. True when the
  // whole pause passed with the flag down.
  bool Pause(std::chrono::steady_clock::duration pause) const {
    std::unique_lock lock(mu_);
    return !wake_.wait_for(lock, pause, [this] { return raised_; });
  }

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable wake_;
  bool raised_ = false;  // guarded by mu_
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_WAKE_FLAG_H_
