#include "driver/write_cache.h"

#include <algorithm>
#include <new>

#include "shared/sector.h"

namespace quensaria::driver {
namespace {

constexpr uint64_t kBlock = kSectorSize;

uint64_t BlocksOf(uint64_t bytes) { return (bytes + kBlock - 1) / kBlock; }

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
  Run run;
  auto flush = [&]() -> NtStatus {
    if (run.length == 0) return STATUS_SUCCESS;
    const NtStatus status = store_->WriteAt(source + (run.disk_offset - offset),
                                            static_cast<size_t>(run.length), run.file_offset);
    run.length = 0;
    return status;
  };
  for (uint64_t p = offset; p < offset + length; p += kBlock) {
    uint32_t* slot = Slot(p / kBlock, /*create=*/true);
    if (slot == nullptr) {
      const NtStatus written = flush();
      if (written != STATUS_SUCCESS) return written;
      return p / kBlock / kGroupBlocks < group_count_ ? STATUS_NO_MEMORY
                                                        : STATUS_INVALID_PARAMETER;
    }
    if (*slot == 0) {
      if (next_slot_ == UINT32_MAX) return STATUS_DISK_FULL;
      *slot = next_slot_++;
    }
    const uint64_t file_offset = uint64_t{*slot} * kBlock;
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

NtStatus WriteCache::CacheOverlay(uint8_t* buffer, uint64_t offset, uint64_t length) {
  if (offset % kBlock != 0 || length == 0) return STATUS_SUCCESS;
  Run run;
  auto flush = [&]() -> NtStatus {
    if (run.length == 0) return STATUS_SUCCESS;
    const NtStatus status = store_->ReadAt(buffer + (run.disk_offset - offset),
                                           static_cast<size_t>(run.length), run.file_offset);
    run.length = 0;
    return status;
  };
  for (uint64_t p = offset; p < offset + length; p += kBlock) {
    const uint32_t* slot = Slot(p / kBlock, /*create=*/false);
    if (slot == nullptr || *slot == 0) {
      if (NtStatus s = flush(); s != STATUS_SUCCESS) return s;
      continue;
    }
    const uint64_t file_offset = uint64_t{*slot} * kBlock;
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

}  // namespace quensaria::driver
