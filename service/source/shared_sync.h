// SharedSync: the flushes of one export, sharing the syncs of its source.
// A flush is answered by a sync that began after it was asked for, so it
// covers every write that completed before it. One sync runs at a time:
// flushes asked for while it runs wait, without holding a thread, and are
// all answered by the next one, which the thread of the running sync starts
// as soon as that ends.
//
// Once a sync has failed, every flush asked for after that fails too: the
// write-back that failed may have dropped writes that no later sync brings
// back (the kernel reports such an error once). Thread-safe; `io` must
// outlive it.
#ifndef QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_
#define QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_

#include <cstdint>
#include <mutex>

#include "service/source/source_io.h"

namespace quensaria::source {

class SharedSync {
 public:
  struct Outcome {
    uint32_t error = 0;    // Win32 error; 0: every earlier write is durable
    bool earlier = false;  // the failure is that of a sync before this flush
  };

  // One flush, owned by its asker: it must stay alive until answered.
  struct Waiter {
    // Called once per Ask, with `outcome` set and `answered` true, on the
    // thread that ran the answering sync (maybe the asker's, inside Ask).
    // From then on the waiter is the asker's again.
    void (*answer)(Waiter* waiter) = nullptr;
    void* key = nullptr;      // names the asker to `answer`
    void* context = nullptr;  // and where to hand it
    Outcome outcome;
    bool answered = false;
    Waiter* next = nullptr;  // while waiting
  };

  explicit SharedSync(SourceIo& io) : io_(io) {}
  SharedSync(const SharedSync&) = delete;
  SharedSync& operator=(const SharedSync&) = delete;

  // Asks for `waiter` to be answered. When no sync runs, this thread runs
  // syncs until no flush waits (answering each as its sync ends), so Ask
  // blocks for that long; otherwise it returns at once.
  void Ask(Waiter* waiter);
  // Ask and wait for the answer.
  Outcome Flush();

  // Flushes waiting for a sync to begin, so that a test can tell when
  // they have got there.
  int WaitingForTesting();

 private:
  // Answers the waiters from `first` on (their `next` links) with `outcome`.
  void Answer(Waiter* first, const Outcome& outcome);

  SourceIo& io_;
  std::mutex mutex_;
  bool running_ = false;       // a thread is running syncs
  Waiter* waiting_ = nullptr;  // asked for since the last sync began
  Waiter** waiting_tail_ = &waiting_;
  uint32_t failed_ = 0;  // error of the first sync that failed
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_
