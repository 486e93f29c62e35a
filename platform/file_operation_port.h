// FilePort: the completion port of file operations. Socket workers post a
// connection's file operation record; one file worker takes it, performs
// the (possibly blocking) transfer and handles its completion. Posting never
// fails and never blocks on the device. Thread-safe.
//
// A file worker that has just answered a connection may linger on it: wait
// a moment for that client's next request itself instead of going back to
// Wait, so that back-to-back requests need no hand-off from a socket worker
// to a file worker. Posts are never left waiting for a lingering worker.
#ifndef QUENSARIA_PLATFORM_FILE_OPERATION_PORT_H_
#define QUENSARIA_PLATFORM_FILE_OPERATION_PORT_H_

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/unique_fd.h"

namespace quensaria::platform {

// The part of a file operation record the port needs; embed it.
struct FileOperation {
  FileOperation* next = nullptr;  // queue link
  void* key = nullptr;            // names the operation's owner to the worker
};

enum class LingerResult {
  kDeclined,  // operations are queued (or shut down): go and take them
  kReadable,  // the socket has something to receive
  kNotYet,    // timed out, or a post found no worker asleep
};

class FilePort {
 public:
  FilePort();
  FilePort(const FilePort&) = delete;
  FilePort& operator=(const FilePort&) = delete;

  // Queues `op` (first in, first out). REQUIRES: op is not queued already.
  void Post(FileOperation* op);
  // Blocks until an operation is queued (returned, and no longer queued) or
  // shutdown is posted (null, at once and for every later Wait).
  FileOperation* Wait();
  void PostShutdown();

  // Waits up to `timeout` for `socket` to become readable, unless
  // operations are queued. A Post that finds no worker asleep in Wait ends
  // every linger at once, as PostShutdown does.
  LingerResult Linger(int socket, std::chrono::microseconds timeout);

  // Workers asleep in Wait and in Linger now, so that a test can tell when a
  // worker has got there.
  int SleepersForTesting() const { return sleepers_.load(); }
  int LingerersForTesting() const { return lingerers_.load(); }

 private:
  void Nudge();

  std::mutex mutex_;  // guards the queue; never held while waiting
  FileOperation* head_ = nullptr;
  FileOperation* tail_ = nullptr;
  // Operations queued but not yet claimed; waiters sleep on it with a futex
  // (a post wakes one only when some worker sleeps).
  std::atomic<int> available_{0};
  std::atomic<int> sleepers_{0};
  std::atomic<int> lingerers_{0};
  UniqueFd nudge_;  // eventfd that ends lingers; none: nobody lingers
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_FILE_OPERATION_PORT_H_
