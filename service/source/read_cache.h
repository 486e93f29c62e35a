// ReadCache: the read cache of one disk source. Blocks of 1 MiB, each
// holding the source bytes from the offset of the read that created it, kept
// in a list newest first. Hits raise a block's score; misses age every block
// and may evict one; the newest 11 positions are never evicted. A miss fills
// a new block through the source's unbuffered handle while there is room.
//
// The cache is for reads that would otherwise wait for the device: the
// request path asks Hit first (never blocks), serves what the page cache
// holds from the page cache, and calls Lookup only for bytes that must come
// from the device. So a warm source costs one failed Hit per read, not a
// 1 MiB unbuffered read per miss.
//
// Offsets are source offsets. Thread-safe: one lock guards the blocks and is
// never held across a read of the source. A block being filled is known:
// Lookups of its bytes wait for it rather than read them again, and a write
// to its bytes meanwhile keeps it out of the cache.
#ifndef QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_
#define QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/source_file.h"
#include "service/source/source_io.h"
#include "shared/block_protocol.h"

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
  ~ReadCache();
  ReadCache(const ReadCache&) = delete;
  ReadCache& operator=(const ReadCache&) = delete;

  // Copies `length` bytes at `offset` into `dest` and returns true when one
  // block holds them all (or a new block could be filled from `offset`:
  // then `*filled`, when given, is set true); false on a miss, leaving
  // `dest` unspecified. May block on the source. REQUIRES: length <= 1 MiB.
  bool Lookup(uint64_t offset, uint32_t length, uint8_t* dest, bool* filled = nullptr);

  // The hit half of Lookup: copies and returns true only when a block holds
  // the bytes. Never reads the source, never ages, never waits for a fill.
  bool Hit(uint64_t offset, uint32_t length, uint8_t* dest);

  // Copies the bytes just written at `offset` into every block that holds
  // any of them, so no block serves stale data. Never adds or removes blocks.
  void Update(uint64_t offset, uint32_t length, const uint8_t* data);

  // Drops every block that holds bytes at or past `end` (the source was cut
  // short there), and keeps such a block being filled out of the cache.
  void Forget(uint64_t end);

  // Exports that serve one file side by side each keep a cache of it: a
  // write through one must reach the blocks of all, or the others serve
  // the bytes it replaced. Makes this cache one of those of `file` (its
  // device and inode); call before the cache serves. A partition is one of
  // those of its whole disk: its `length` bytes are the disk's from
  // `first_byte`, and `pages` (its own device number) tells that the kernel
  // keeps a page cache of it apart from the disk's; 0 for a source that has
  // none apart.
  void ShareWritesWith(const platform::FileIdentity& file, uint64_t first_byte = 0,
                       uint64_t length = UINT64_MAX, uint64_t pages = 0);
  // The same for exports of one shared source (an RBD image): `source` is
  // its identity, which every export of it is told.
  void ShareWritesWith(const SourceId& source);
  // Update on this cache and on every other cache of the same file, at
  // their offsets of the bytes; one with a page cache apart first gets the
  // bytes from the device. A Win32 error code when that could not be done
  // (the others may see the old bytes), else 0.
  uint32_t UpdateAll(uint64_t offset, uint32_t length, const uint8_t* data);

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

  // The caches of one file (ShareWritesWith).
  struct Sharing {
    std::mutex mutex;
    std::vector<ReadCache*> caches;
  };

  // A block being filled, outside the lock.
  struct Filling {
    uint64_t first_byte;
    bool overwritten = false;  // a write met its bytes: not to be kept
  };

  bool HitLocked(uint64_t offset, uint32_t length, uint8_t* dest);
  bool BeingFilled(uint64_t offset, uint32_t length) const;
  void Age();
  bool Fill(Block& block);
  // Joins the caches kept under `key`.
  void JoinSharing(const std::string& key, uint64_t first_byte, uint64_t length, uint64_t pages);

  const uint32_t capacity_;
  SourceIo& io_;
  mutable std::mutex mutex_;
  std::condition_variable filled_;  // a fill ended
  std::list<Block> blocks_;         // newest first
  std::list<Filling> filling_;
  // Whether any block or fill exists: Hit on an empty cache takes no lock.
  std::atomic<bool> in_use_{false};
  std::shared_ptr<Sharing> sharing_;  // null: no other cache hears of writes
  uint64_t first_byte_ = 0;           // of byte 0 among the bytes shared
  uint64_t end_ = UINT64_MAX;         // past the last byte among them
  uint64_t pages_ = 0;                // see ShareWritesWith
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_READ_CACHE_H_
