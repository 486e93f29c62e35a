// FilePort: the completion port of file operations. Socket workers post a
// connection's file operation record; one file worker takes it, performs
// the (possibly blocking) transfer and handles its completion. Posting never
// fails and never blocks on the device. Thread-safe.
#ifndef QUENSARIA_PLATFORM_FILE_PORT_H_
#define QUENSARIA_PLATFORM_FILE_PORT_H_

#include <atomic>
#include <mutex>

namespace quensaria::platform {

// The part of a file operation record the port needs; embed it.
struct FileOperation {
  FileOperation* next = nullptr;  // queue link
  void* key = nullptr;            // names the operation's owner to the worker
};

class FilePort {
 public:
  FilePort() = default;
  FilePort(const FilePort&) = delete;
  FilePort& operator=(const FilePort&) = delete;

  // Queues `op` (first in, first out). REQUIRES: op is not queued already.
  void Post(FileOperation* op);
  // Blocks until an operation is queued (returned, and no longer queued) or
  // shutdown is posted (null, at once and for every later Wait).
  FileOperation* Wait();
  void PostShutdown();

 private:
  std::mutex mutex_;  // guards the queue; never held while waiting
  FileOperation* head_ = nullptr;
  FileOperation* tail_ = nullptr;
  // Operations queued but not yet claimed; waiters sleep on it with a futex
  // (a post wakes one only when some worker sleeps).
  std::atomic<int> available_{0};
  std::atomic<int> sleepers_{0};
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_FILE_PORT_H_
