// FileIo: SourceIo over a path's two handles, the buffered I/O handle
// (positioned reads and writes; no-wait attempts through RWF_NOWAIT) and the
// unbuffered cache handle (O_DIRECT where the file system allows it).
// Flush is fdatasync of the I/O handle, the only one that writes: for an
// image file its data (and the size, when it grew), for a whole disk or a
// partition the device's pages and then its write cache, which the kernel
// flushes on a sync of any block device, a partition's included.
#ifndef QUENSARIA_SERVICE_SOURCE_FILE_IO_H_
#define QUENSARIA_SERVICE_SOURCE_FILE_IO_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/unique_fd.h"
#include "service/source/source_io.h"
#include "shared/status.h"

namespace quensaria::source {

class FileIo final : public SourceIo {
 public:
  // Opens both handles; fails with the error of the first that cannot open.
  static Result<std::unique_ptr<FileIo>> Open(const std::string& path);

  IoResult Read(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult Write(uint64_t offset, const uint8_t* data, size_t length) override;
  IoResult TryRead(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult TryWrite(uint64_t offset, const uint8_t* data, size_t length) override;
  bool NoWaitReads() const override { return read_nowait_.load(std::memory_order_relaxed); }
  IoResult CacheRead(uint64_t offset, uint8_t* data, size_t length) override;
  uint32_t Flush() override;
  uint32_t WriteOut(uint64_t offset, uint64_t length) override;
  uint32_t DropCached(uint64_t offset, uint64_t length) override;
  uint32_t Associate() override;
  int HandleValue() const override { return io_.get(); }

  int io_fd() const { return io_.get(); }
  int cache_fd() const { return cache_.get(); }
  bool cache_is_direct() const { return direct_; }

  // Runs between the opens of the two handles (an empty one: nothing). Tests only.
  static void SetBetweenOpensForTesting(std::function<void()> hook);

 private:
  FileIo(platform::UniqueFd io, platform::UniqueFd cache, bool direct);

  platform::UniqueFd io_;
  platform::UniqueFd cache_;
  const bool direct_;
  // Cleared the first time the file system says it cannot do no-wait
  // transfers, so later attempts cost no system call.
  std::atomic<bool> read_nowait_{true};
  std::atomic<bool> write_nowait_{true};
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_FILE_IO_H_
