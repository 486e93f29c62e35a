// ReadCache: the read cache of one disk source. Blocks of 1 MiB, each
// holding the source bytes from the offset of the read that created it, kept
// in a list newest first. Hits raise a block's score; misses age every block
// and may evict one; the newest 11 positions are never evicted. A miss fills
// a new block through the source's unbuffered handle while there is room.
//
// Offsets are source offsets. Thread-safe: one lock serialises Lookup and
// Update, and a filling miss holds it for the whole 1 MiB read.
#ifndef QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_
#define QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "platform/file.h"
#include "service/source/source_io.h"

namespace quensaria::source {

inline constexpr size_t kCacheBlockSize = 0x100000;
inline constexpr uint32_t kCacheProtectedPositions = 10;  // positions 0..10 stay
inline constexpr uint32_t kCacheHitBonus = 512;
inline constexpr uint32_t kCacheScoreCap = 0xFFFDFE01;

class ReadCache {
 public:
  // Holds at most `capacity` blocks, filled through io.CacheRead; `io` must
  // outlive the cache.
  ReadCache(uint32_t capacity, SourceIo& io);
  ReadCache(const ReadCache&) = delete;
  ReadCache& operator=(const ReadCache&) = delete;

  // Copies `length` bytes at `offset` into `dest` and returns true when one
  // block holds them all (or a new block could be filled from `offset`);
  // false on a miss, leaving `dest` unspecified. REQUIRES: length <= 1 MiB.
  bool Lookup(uint64_t offset, uint32_t length, uint8_t* dest);

  // Copies the bytes just written at `offset` into every block that holds
  // any of them, so no block serves stale data. Never adds or removes blocks.
  void Update(uint64_t offset, uint32_t length, const uint8_t* data);

  struct BlockInfo {
    uint64_t first_byte;
    uint32_t score;
  };
  // The blocks, newest first (for tests and diagnostics).
  std::vector<BlockInfo> Blocks() const;
  uint32_t capacity() const { return capacity_; }

 private:
  struct Block {
    uint32_t score;
    uint64_t first_byte;
    platform::AlignedBytes data;
  };

  void Age();
  bool Fill(Block& block);

  const uint32_t capacity_;
  SourceIo& io_;
  mutable std::mutex mutex_;
  std::list<Block> blocks_;  // newest first
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_
