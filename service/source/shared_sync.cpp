#include "service/source/shared_sync.h"

#include <condition_variable>

namespace quensaria::source {

void SharedSync::Ask(Waiter* waiter) {
  std::unique_lock lock(mutex_);
  waiter->answered = false;
  waiter->next = nullptr;
  if (failed_ != 0) {
    lock.unlock();
    return Answer(waiter, {failed_, true});
  }
  *waiting_tail_ = waiter;
  waiting_tail_ = &waiter->next;
  // The running sync may have begun before a write this flush vouches for
  // was acknowledged: its thread answers this one with the next sync.
  if (running_) return;
  running_ = true;
  while (waiting_ != nullptr) {
    Waiter* batch = waiting_;
    waiting_ = nullptr;
    waiting_tail_ = &waiting_;
    lock.unlock();
    const uint32_t error = io_.Flush();
    lock.lock();
    if (error != 0 && failed_ == 0) failed_ = error;
    // Those that came meanwhile began after the failed sync did: they
    // fail too, as flushes after a failure do.
    Waiter* after = failed_ != 0 ? waiting_ : nullptr;
    if (after != nullptr) {
      waiting_ = nullptr;
      waiting_tail_ = &waiting_;
    }
    const uint32_t failure = failed_;
    lock.unlock();
    Answer(batch, {error, false});
    if (after != nullptr) Answer(after, {failure, true});
    lock.lock();
  }
  running_ = false;
}

void SharedSync::Answer(Waiter* first, const Outcome& outcome) {
  for (Waiter* w = first; w != nullptr;) {
    Waiter* next = w->next;  // `w` is its asker's once answered
    w->next = nullptr;
    w->outcome = outcome;
    w->answered = true;
    w->answer(w);
    w = next;
  }
}

int SharedSync::WaitingForTesting() {
  std::scoped_lock lock(mutex_);
  int count = 0;
  for (const Waiter* w = waiting_; w != nullptr; w = w->next) ++count;
  return count;
}

SharedSync::Outcome SharedSync::Flush() {
  struct Blocking : Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  } waiter;
  waiter.answer = [](Waiter* w) {
    auto* b = static_cast<Blocking*>(w);
    std::scoped_lock lock(b->mutex);
    b->finished = true;
    b->done.notify_all();
  };
  Ask(&waiter);
  std::unique_lock lock(waiter.mutex);
  waiter.done.wait(lock, [&] { return waiter.finished; });
  return waiter.outcome;
}

}  // namespace quensaria::source
