// The back end of a mounted device: where its blocks come from and go to.
// An image file, or a network disk whose writes go either to the server
// (full access) or to a private write cache (virtual write). The device
// checks bounds and alignment before it calls, and calls from up to
// Parallel() threads at once.
#ifndef QUENSARIA_DRIVER_BACK_END_H_
#define QUENSARIA_DRIVER_BACK_END_H_

#include <cstdint>
#include <memory>

#include "driver/disk_connections.h"
#include "driver/network_disk.h"
#include "driver/write_cache.h"
#include "platform/backing_file.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

class DiskBackEnd {
 public:
  virtual ~DiskBackEnd() = default;
  // Fills `length` bytes at `offset`; bytes the medium does not have (an
  // image file shorter than its disk) read as zeros.
  virtual NtStatus Read(uint8_t* buffer, uint64_t offset, uint64_t length) = 0;
  virtual NtStatus Write(const uint8_t* buffer, uint64_t offset, uint64_t length) = 0;
  // Makes acknowledged writes durable.
  virtual NtStatus Flush() = 0;
  // The same before an unmount, which waits for it: a server that stopped
  // answering holds it no longer than a transfer.
  virtual NtStatus FlushBeforeUnmount() { return Flush(); }
  // How many requests it serves at once.
  virtual size_t Parallel() const { return 1; }
};

class ImageBackEnd final : public DiskBackEnd {
 public:
  explicit ImageBackEnd(platform::BackingFile file) : file_(std::move(file)) {}
  NtStatus Read(uint8_t* buffer, uint64_t offset, uint64_t length) override;
  NtStatus Write(const uint8_t* buffer, uint64_t offset, uint64_t length) override;
  NtStatus Flush() override { return file_.Sync(); }

 private:
  platform::BackingFile file_;
};

// A slot store on a private cache file.
class CacheFileStore final : public SlotStore {
 public:
  explicit CacheFileStore(platform::BackingFile file) : file_(std::move(file)) {}
  NtStatus ReadAt(uint8_t* data, size_t length, uint64_t offset) override;
  NtStatus WriteAt(const uint8_t* data, size_t length, uint64_t offset) override {
    return file_.WriteAt(data, length, offset);
  }

 private:
  platform::BackingFile file_;
};

class NetworkBackEnd final : public DiskBackEnd {
 public:
  // Full access: writes go to the server.
  explicit NetworkBackEnd(std::unique_ptr<DiskConnections> disk) : disk_(std::move(disk)) {}
  // Virtual write: writes stay in a cache of `disk_size` bytes kept in
  // `cache_file`, which vanishes with this back end.
  NetworkBackEnd(std::unique_ptr<DiskConnections> disk, platform::BackingFile cache_file,
                 uint64_t disk_size);

  NtStatus Read(uint8_t* buffer, uint64_t offset, uint64_t length) override;
  NtStatus Write(const uint8_t* buffer, uint64_t offset, uint64_t length) override;
  // Full access: CMD_FLUSH. Virtual write: nothing to do, the writes live
  // in the cache file, which vanishes at unmount anyway.
  NtStatus Flush() override { return cache_ ? STATUS_SUCCESS : disk_->Flush(); }
  NtStatus FlushBeforeUnmount() override {
    return cache_ ? STATUS_SUCCESS : disk_->Flush(/*bounded=*/true);
  }
  size_t Parallel() const override { return disk_->size(); }
  const DiskConnections& connections() const { return *disk_; }

 private:
  std::unique_ptr<DiskConnections> disk_;
  std::unique_ptr<CacheFileStore> store_;
  std::unique_ptr<WriteCache> cache_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_BACK_END_H_
