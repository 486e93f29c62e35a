#include "service/source/read_cache.h"

#include <algorithm>
#include <cstring>

namespace quensaria::source {

ReadCache::ReadCache(uint32_t capacity, SourceIo& io) : capacity_(capacity), io_(io) {}

bool ReadCache::Lookup(uint64_t offset, uint32_t length, uint8_t* dest) {
  std::scoped_lock lock(mutex_);
  for (Block& block : blocks_) {
    if (block.first_byte <= offset && offset + length <= block.first_byte + kCacheBlockSize) {
      if (block.score < kCacheScoreCap) block.score += kCacheHitBonus;
      std::memcpy(dest, block.data.get() + (offset - block.first_byte), length);
      return true;
    }
  }
  Age();
  if (blocks_.size() >= capacity_) return false;
  Block block{kCacheHitBonus, offset, platform::AllocateAligned(kCacheBlockSize)};
  if (!block.data || !Fill(block)) return false;
  std::memcpy(dest, block.data.get(), length);
  blocks_.push_front(std::move(block));
  return true;
}

// One pass per miss: every block loses a point, and the first one past the
// protected positions to run out is dropped. A score stays at 0 rather than
// wrapping, so a block that ran out while protected goes as soon as it leaves
// the protected positions.
void ReadCache::Age() {
  uint32_t position = 0;
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it, ++position) {
    if (it->score > 0) --it->score;
    if (it->score == 0 && position > kCacheProtectedPositions) {
      blocks_.erase(it);
      return;
    }
  }
}

bool ReadCache::Fill(Block& block) {
  size_t filled = 0;
  while (filled < kCacheBlockSize) {
    const IoResult r = io_.CacheRead(block.first_byte + filled, block.data.get() + filled,
                                     kCacheBlockSize - filled);
    if (r.error != 0 || r.would_block || r.bytes == 0) return false;
    filled += r.bytes;
  }
  return true;
}

void ReadCache::Update(uint64_t offset, uint32_t length, const uint8_t* data) {
  const uint64_t end = offset + length;
  std::scoped_lock lock(mutex_);
  for (Block& block : blocks_) {
    const uint64_t from = std::max(offset, block.first_byte);
    const uint64_t to = std::min(end, block.first_byte + kCacheBlockSize);
    if (from < to) {
      std::memcpy(block.data.get() + (from - block.first_byte), data + (from - offset), to - from);
    }
  }
}

std::vector<ReadCache::BlockInfo> ReadCache::Blocks() const {
  std::scoped_lock lock(mutex_);
  std::vector<BlockInfo> out;
  for (const Block& block : blocks_) out.push_back({block.first_byte, block.score});
  return out;
}

}  // namespace quensaria::source
