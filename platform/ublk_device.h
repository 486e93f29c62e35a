// UblkDevice: a block device /dev/ublkbN whose requests this process serves,
// through the kernel's user-space block driver (ublk_drv, /dev/ublk-control)
// over io_uring (liburing). The kernel scans its partitions (/dev/ublkbNpM),
// udev and UDisks2 see it like any disk, and file systems mount on it
// directly.
//
// One queue: a thread of its own takes the kernel's requests and hands each
// to the UblkHandler, which answers it (Answer) exactly once, from any
// thread, at once or later. Requests carry a buffer of the device's own that
// stays valid until answered: a read fills it, a write's data is in it.
// Flushes reach the handler when the device is writable (the kernel is told
// the device has a volatile write cache, and no FUA: it sends a FUA write as
// the write and a flush after it). Requests never cross the device's
// end; other kinds of request (discard, write zeroes) are not offered.
//
// Create returns once the device exists and its partitions are scanned
// (reads the handler must serve meanwhile). Remove stops the device (the
// kernel first waits for the requests in flight), ends the queue thread,
// waits until the handler has answered every request it was given and
// deletes the device. Devices of a process that died stay behind, dead, until
// RemoveStale deletes them.
#ifndef QUENSARIA_PLATFORM_UBLK_DEVICE_H_
#define QUENSARIA_PLATFORM_UBLK_DEVICE_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "shared/status.h"

namespace quensaria::platform {

class UblkDevice;

enum class UblkOp { kRead, kWrite, kFlush };

struct UblkRequest {
  UblkOp op = UblkOp::kRead;
  uint16_t tag = 0;     // names the request in Answer
  uint64_t offset = 0;  // bytes; 0 for a flush
  uint32_t length = 0;  // bytes; 0 for a flush
  uint8_t* buffer = nullptr;
};

class UblkHandler {
 public:
  virtual ~UblkHandler() = default;
  // From the queue thread. May block, but every request it holds up waits.
  virtual void Serve(UblkDevice& device, const UblkRequest& request) = 0;
};

struct UblkOptions {
  uint64_t size = 0;  // bytes; the device shows whole 512-byte sectors
  bool read_only = false;
  uint16_t queue_depth = 64;
  uint32_t max_transfer = 256 * 1024;  // bytes per request
  // Kept with the device, so that RemoveStale finds the devices a process
  // of this program left behind.
  uint64_t owner = 0;
};

class UblkDevice {
 public:
  // Whether this kernel offers ublk (/dev/ublk-control exists).
  static bool Available();

  // REQUIRES: `handler` outlives the device's Remove.
  static Result<std::unique_ptr<UblkDevice>> Create(const UblkOptions& options,
                                                    UblkHandler* handler);
  // Remove(), if not done.
  ~UblkDevice();
  UblkDevice(const UblkDevice&) = delete;
  UblkDevice& operator=(const UblkDevice&) = delete;

  // Ends request `tag`: `result` bytes done (reads and writes: the whole
  // length, or less at the device's end; flushes: 0), or a negative errno.
  void Answer(uint16_t tag, int result);

  // Stops and deletes the device; later calls do nothing.
  // REQUIRES: not called from the handler's Serve.
  Status Remove();

  int id() const { return id_; }
  // "/dev/ublkbN".
  std::string path() const { return "/dev/ublkb" + std::to_string(id_); }

  // Deletes the devices marked with `owner` whose serving process has died.
  // Returns how many.
  static int RemoveStale(uint64_t owner);

 private:
  UblkDevice(const UblkOptions& options, UblkHandler* handler);
  Status Add();
  Status SetParameters();
  Status Start();
  Status StartQueue();
  void Run();

  const UblkOptions options_;
  UblkHandler* const handler_;
  int id_ = -1;
  UniqueFd control_;
  UniqueFd queue_fd_;  // /dev/ublkcN
  void* descriptors_ = nullptr;
  size_t descriptors_size_ = 0;
  uint8_t* buffers_ = nullptr;
  size_t buffers_size_ = 0;

  std::thread queue_;
  std::atomic<std::thread::id> queue_id_;
  UniqueFd wake_;  // eventfd: answers from other threads wait in answered_

  std::mutex answered_mu_;
  std::condition_variable all_answered_;
  std::vector<std::pair<uint16_t, int>> answered_;  // guarded by answered_mu_
  // Requests handed to the handler and not answered yet: the device is not
  // freed under one of them. Guarded by answered_mu_.
  int with_handler_ = 0;
  // Answers given on the queue thread itself; that thread only.
  std::vector<std::pair<uint16_t, int>> answered_here_;
  // The answers of one round on their way to the kernel; that thread only.
  std::vector<std::pair<uint16_t, int>> answering_;

  // Whether the queue thread got its request slots to the kernel.
  std::promise<bool> queue_started_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;
  bool removed_ = false;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_UBLK_DEVICE_H_
