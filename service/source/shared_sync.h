// SharedSync: the flushes of one export, sharing the syncs of its source.
// A flush is answered by a sync that began after it was asked for, so it
// covers every write that completed before it; flushes asked for while a
// sync runs wait for it to end and then share the next one. One sync runs
// at a time.
//
// Once a sync has failed, every flush asked for after that fails too: the
// write-back that failed may have dropped writes that no later sync brings
// back. Flush blocks the calling thread (a file worker of the engine).
// Thread-safe; `io` must outlive it.
#ifndef QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_
#define QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_

#include <condition_variable>
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

  explicit SharedSync(SourceIo& io) : io_(io) {}
  SharedSync(const SharedSync&) = delete;
  SharedSync& operator=(const SharedSync&) = delete;

  Outcome Flush();

 private:
  SourceIo& io_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool running_ = false;    // a sync is under way
  uint64_t started_ = 0;    // syncs begun so far; the running one is the last
  uint64_t finished_ = 0;   // number of the last sync that ended
  uint32_t failed_ = 0;     // error of the first sync that failed
  uint64_t failed_at_ = 0;  // its number
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_SHARED_SYNC_H_
