#include "driver/write_cache.h"

#include <algorithm>
#include <new>
#include <utility>

#include "shared/sector.h"

namespace quensaria::driver {
namespace {

constexpr uint64_t kBlock = kSectorSize;

uint64_t BlocksOf(uint64_t bytes) { return (bytes + kBlock - 1) / kBlock; }

// A stretch of blocks contiguous on the disk and in the slot file.
struct Run {
  uint64_t disk_offset = 0;
  uint64_t file_offset = 0;
  uint64_t length = 0;
};

// What the walk learns of one block: its slot (0: not cached, which ends
// the run), or a status that ends the walk.
struct BlockSlot {
  uint32_t slot = 0;
  NtStatus status = STATUS_SUCCESS;
};

// Hands `move` each run of the blocks of [offset, offset + length), in disk
// order; the last block may be partial. `slot_of(block)` says where a block
// is kept. A failing `move` ends the walk at once; a failing `slot_of` ends
// it once the run gathered before that block has been moved, so no block
// before it is left with a new slot that holds nothing.
template <typename SlotOf, typename Move>
NtStatus ForEachRun(uint64_t offset, uint64_t length, SlotOf slot_of, Move move) {
  Run run;
  auto flush = [&]() -> NtStatus {
    if (run.length == 0) return STATUS_SUCCESS;
    return move(std::exchange(run, Run{}));
  };
  for (uint64_t p = offset; p < offset + length; p += kBlock) {
    const BlockSlot block = slot_of(p / kBlock);
    if (block.status != STATUS_SUCCESS || block.slot == 0) {
      if (NtStatus s = flush(); s != STATUS_SUCCESS) return s;
      if (block.status != STATUS_SUCCESS) return block.status;
      continue;
    }
    const uint64_t file_offset = uint64_t{block.slot} * kBlock;
    const uint64_t piece = std::min(kBlock, offset + length - p);
    if (run.length != 0 && file_offset == run.file_offset + run.length) {
      run.length += piece;
      continue;
    }
    if (NtStatus s = flush(); s != STATUS_SUCCESS) return s;
    run = {p, file_offset, piece};
  }
  return flush();
}

}  // namespace

WriteCache::WriteCache(SlotStore* store, uint64_t disk_size)
    : store_(store), group_count_((BlocksOf(disk_size) + kGroupBlocks - 1) / kGroupBlocks) {}

uint32_t* WriteCache::Slot(uint64_t block, bool create) {
  const uint64_t group = block / kGroupBlocks;
  if (group >= group_count_) return nullptr;
  if (auto found = groups_.find(group); found != groups_.end()) {
    return &found->second[block % kGroupBlocks];
  }
  if (!create) return nullptr;
  std::unique_ptr<uint32_t[]> page(new (std::nothrow) uint32_t[kGroupBlocks]());
  if (!page) return nullptr;
  uint32_t* slots = page.get();
  groups_.emplace(group, std::move(page));
  return &slots[block % kGroupBlocks];
}

NtStatus WriteCache::CacheWrite(const uint8_t* source, uint64_t offset, uint64_t length) {
  if (offset % kBlock != 0 || length == 0) return STATUS_SUCCESS;
  std::scoped_lock lock(mu_);
  auto slot_of = [&](uint64_t block) -> BlockSlot {
    uint32_t* slot = Slot(block, /*create=*/true);
    if (slot == nullptr) {
      return {0, block / kGroupBlocks < group_count_ ? STATUS_NO_MEMORY : STATUS_INVALID_PARAMETER};
    }
    if (*slot == 0) {
      if (next_slot_ == UINT32_MAX) return {0, STATUS_DISK_FULL};
      *slot = next_slot_++;
    }
    return {*slot, STATUS_SUCCESS};
  };
  const uint32_t first_new = next_slot_;
  uint64_t unmoved = offset + length;  // where the blocks not in the file begin
  const NtStatus status = ForEachRun(offset, length, slot_of, [&](const Run& run) {
    const NtStatus moved = store_->WriteAt(source + (run.disk_offset - offset),
                                           static_cast<size_t>(run.length), run.file_offset);
    if (moved != STATUS_SUCCESS) unmoved = run.disk_offset;
    return moved;
  });
  // A block given its slot by this request and not stored there goes back
  // to the server's data: its slot holds nothing (zeros, or the end of the
  // file), not what it had.
  for (uint64_t p = unmoved; p < offset + length; p += kBlock) {
    uint32_t* slot = Slot(p / kBlock, /*create=*/false);
    if (slot != nullptr && *slot >= first_new) *slot = 0;
  }
  return status;
}

NtStatus WriteCache::CacheOverlay(uint8_t* buffer, uint64_t offset, uint64_t length) {
  if (offset % kBlock != 0 || length == 0) return STATUS_SUCCESS;
  std::scoped_lock lock(mu_);
  auto slot_of = [&](uint64_t block) -> BlockSlot {
    const uint32_t* slot = Slot(block, /*create=*/false);
    return {slot == nullptr ? 0 : *slot, STATUS_SUCCESS};
  };
  return ForEachRun(offset, length, slot_of, [&](const Run& run) {
    return store_->ReadAt(buffer + (run.disk_offset - offset), static_cast<size_t>(run.length),
                          run.file_offset);
  });
}

}  // namespace quensaria::driver
