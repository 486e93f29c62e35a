// WriteCache: the blocks a virtual-write mount has written, kept in a slot
// file on the client instead of on the server. Any thread: a lock keeps
// the requests of a disk served at once from meeting in the slot table.
//
// The disk is cut into 512-byte blocks. A block written for the first time
// gets the next free slot (numbers start at 1) and keeps it for the whole
// mount, so rewriting a block overwrites its slot and the file only grows for
// new blocks: after n distinct blocks the file holds (n + 1) * 512 bytes, slot
// s at byte s * 512 (slot 0 is never used). Slot numbers live in group pages
// of 2048 blocks, allocated on the first write into their group and found
// by their group number, so a disk costs memory only where it was written,
// however large the size its server reports. Blocks that follow each other both
// on the disk and in the slot file are moved with one file operation.
// Every block goes through the cache, block 0 included.
#ifndef QUENSARIA_DRIVER_WRITE_CACHE_H_
#define QUENSARIA_DRIVER_WRITE_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "shared/nt_status.h"

namespace quensaria::driver {

// Where the slots are kept: byte offsets in the slot file.
class SlotStore {
 public:
  virtual ~SlotStore() = default;
  virtual NtStatus ReadAt(uint8_t* data, size_t length, uint64_t offset) = 0;
  virtual NtStatus WriteAt(const uint8_t* data, size_t length, uint64_t offset) = 0;
};

class WriteCache {
 public:
  static constexpr uint32_t kGroupBlocks = 2048;

  // REQUIRES: `store` outlives the cache.
  WriteCache(SlotStore* store, uint64_t disk_size);

  // Keeps `length` bytes at disk `offset`. A request whose offset is not a
  // multiple of 512, or whose length is 0, is left alone; a partial last
  // block is stored as far as the data goes. STATUS_NO_MEMORY when a group
  // page cannot be had (blocks before it are kept), or the store's status
  // (blocks first written by this request and not stored read as before).
  // REQUIRES: offset + length <= disk size.
  NtStatus CacheWrite(const uint8_t* source, uint64_t offset, uint64_t length);
  // Replaces the cached blocks of `length` bytes read at `offset` in
  // `buffer` with their kept contents; blocks never written keep the data
  // already in the buffer.
  NtStatus CacheOverlay(uint8_t* buffer, uint64_t offset, uint64_t length);

  // Groups the disk spans (pages exist only for those written).
  uint64_t group_count() const { return group_count_; }
  uint32_t next_slot() const {
    std::scoped_lock lock(mu_);
    return next_slot_;
  }
  // Reaches the last slot numbers without writing 2^32 blocks first.
  void SetNextSlotForTesting(uint32_t slot) {
    std::scoped_lock lock(mu_);
    next_slot_ = slot;
  }

 private:
  // The slot entry of block `block`, or null if its group page is missing
  // (and `create` is false or the page cannot be allocated).
  uint32_t* Slot(uint64_t block, bool create);

  SlotStore* store_;
  mutable std::mutex mu_;
  uint32_t next_slot_ = 1;
  uint64_t group_count_;
  std::unordered_map<uint64_t, std::unique_ptr<uint32_t[]>> groups_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_WRITE_CACHE_H_
