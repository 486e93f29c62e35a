// MemoryIo: a SourceIo over bytes in memory, with faults to order: errors,
// short transfers, a limit past which writes find the disk full, no-wait
// calls that always or never wait, and failing or held flushes. For tests
// of the cache, the request path and the engine. Thread-safe.
#ifndef QUENSARIA_SERVICE_SOURCE_MEMORY_IO_FOR_TESTING_H_
#define QUENSARIA_SERVICE_SOURCE_MEMORY_IO_FOR_TESTING_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "service/source/source_io.h"

namespace quensaria::source {

class MemoryIo final : public SourceIo {
 public:
  struct Faults {
    uint32_t read_error = 0;        // every Read fails with this
    uint32_t write_error = 0;       // every Write fails with this
    uint32_t cache_read_error = 0;  // every CacheRead fails with this
    uint32_t try_error = 0;         // every TryRead/TryWrite fails with this
    size_t max_transfer = 0;        // nonzero: no call moves more than this
    uint64_t full_at = UINT64_MAX;  // writes stop here: short, then ERROR_DISK_FULL
    bool try_would_block = false;   // TryRead/TryWrite always say "would block"
    uint32_t associate_error = 0;
    uint32_t flush_error = 0;      // every Flush fails with this
    uint32_t write_out_error = 0;  // every WriteOut fails with this
  };
  struct Counts {
    int reads = 0, writes = 0, try_reads = 0, try_writes = 0, cache_reads = 0;
    int flushes = 0;  // Flush calls begun
    int write_outs = 0, drops = 0;
  };

  explicit MemoryIo(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  void SetFaults(const Faults& faults);
  Counts counts() const;
  // While held, Flush calls wait (counted as begun) until released.
  void HoldFlushes(bool hold);
  // While held, Write calls (not TryWrite) wait (counted as begun) until
  // released: a slow device under the file workers.
  void HoldWrites(bool hold);
  // A copy of the current bytes.
  std::vector<uint8_t> bytes() const;

  IoResult Read(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult Write(uint64_t offset, const uint8_t* data, size_t length) override;
  IoResult TryRead(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult TryWrite(uint64_t offset, const uint8_t* data, size_t length) override;
  bool NoWaitReads() const override { return true; }
  IoResult CacheRead(uint64_t offset, uint8_t* data, size_t length) override;
  uint32_t Flush() override;
  uint32_t WriteOut(uint64_t offset, uint64_t length) override;
  uint32_t DropCached(uint64_t offset, uint64_t length) override;
  uint32_t Associate() override;
  int HandleValue() const override { return -1; }

 private:
  IoResult CopyOut(uint64_t offset, uint8_t* data, size_t length, size_t limit);
  IoResult CopyIn(uint64_t offset, const uint8_t* data, size_t length);

  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::vector<uint8_t> bytes_;
  Faults faults_;
  Counts counts_;
  bool hold_flushes_ = false;
  bool hold_writes_ = false;
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_MEMORY_IO_FOR_TESTING_H_
