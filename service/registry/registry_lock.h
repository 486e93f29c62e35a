// RegistryLock: the one lock of the registry. A plain exclusive lock
// (BasicLockable, for std::scoped_lock) that a waiter may also give up on:
// the hooks of an engine wait for it only until their engine is stopping
// (why: service/engine/endpoint.h). Not recursive.
#ifndef QUENSARIA_SERVICE_REGISTRY_REGISTRY_LOCK_H_
#define QUENSARIA_SERVICE_REGISTRY_REGISTRY_LOCK_H_

#include <condition_variable>
#include <mutex>

namespace quensaria::registry {

class RegistryLock {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    ++waiters_;
    released_.wait(guard, [&] { return !held_; });
    --waiters_;
    held_ = true;
  }

  void unlock() {
    std::scoped_lock guard(mutex_);
    held_ = false;
    // All, not one: the woken waiter might give up instead of taking it.
    if (waiters_ > 0) released_.notify_all();
  }

  // Takes the lock unless `give_up()` is or turns true first (whoever makes
  // it true calls WakeWaiters). True when the lock was taken.
  template <typename GiveUp>
  bool LockUnless(GiveUp give_up) {
    std::unique_lock guard(mutex_);
    ++waiters_;
    released_.wait(guard, [&] { return give_up() || !held_; });
    --waiters_;
    if (give_up()) return false;
    held_ = true;
    return true;
  }

  // Makes waiters in LockUnless look at their condition again.
  void WakeWaiters() {
    std::scoped_lock guard(mutex_);
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  int waiters_ = 0;
};

}  // namespace quensaria::registry

#endif  // QUENSARIA_SERVICE_REGISTRY_REGISTRY_LOCK_H_
