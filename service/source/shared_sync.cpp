#include "service/source/shared_sync.h"

namespace quensaria::source {

SharedSync::Outcome SharedSync::Flush() {
  std::unique_lock lock(mutex_);
  // Syncs numbered up to `asked` began before this flush: a write
  // acknowledged just now may have missed them.
  const uint64_t asked = started_;
  for (;;) {
    if (failed_ != 0 && failed_at_ <= asked) return {failed_, true};
    if (finished_ > asked) return {failed_, false};
    if (running_) {
      ended_.wait(lock);
      continue;
    }
    running_ = true;
    const uint64_t number = ++started_;
    lock.unlock();
    const uint32_t error = io_.Flush();
    lock.lock();
    running_ = false;
    finished_ = number;
    if (error != 0 && failed_ == 0) {
      failed_ = error;
      failed_at_ = number;
    }
    ended_.notify_all();
  }
}

}  // namespace quensaria::source
