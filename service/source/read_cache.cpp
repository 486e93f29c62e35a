#include "service/source/read_cache.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace quensaria::source {

ReadCache::ReadCache(uint32_t capacity, SourceIo& io) : capacity_(capacity), io_(io) {}

// Leaves the caches of its file; a write through another export that is
// updating this cache meanwhile is waited for.
ReadCache::~ReadCache() {
  if (!sharing_) return;
  std::scoped_lock lock(sharing_->mutex);
  std::erase(sharing_->caches, this);
}

namespace {

// The caches of each file that exports serve, by device and inode, and of
// each shared source, by its identity; one whose caches are all gone is
// forgotten at the next join.
std::mutex sharings_mutex;
std::map<std::string, std::weak_ptr<void>> sharings;

bool Holds(uint64_t first_byte, uint64_t offset, uint32_t length) {
  return first_byte <= offset && offset + length <= first_byte + kCacheBlockSize;
}

}  // namespace

bool ReadCache::HitLocked(uint64_t offset, uint32_t length, uint8_t* dest) {
  for (Block& block : blocks_) {
    if (Holds(block.first_byte, offset, length)) {
      if (block.score < kCacheScoreCap) block.score += kCacheHitBonus;
      std::memcpy(dest, block.data.get() + (offset - block.first_byte), length);
      return true;
    }
  }
  return false;
}

bool ReadCache::BeingFilled(uint64_t offset, uint32_t length) const {
  for (const Filling& f : filling_) {
    if (Holds(f.first_byte, offset, length)) return true;
  }
  return false;
}

bool ReadCache::Hit(uint64_t offset, uint32_t length, uint8_t* dest) {
  if (!in_use_.load(std::memory_order_relaxed)) return false;
  std::scoped_lock lock(mutex_);
  return HitLocked(offset, length, dest);
}

bool ReadCache::Lookup(uint64_t offset, uint32_t length, uint8_t* dest, bool* filled) {
  std::unique_lock lock(mutex_);
  // Bytes another reader is fetching already are waited for, not read twice.
  for (;;) {
    if (HitLocked(offset, length, dest)) return true;
    if (!BeingFilled(offset, length)) break;
    filled_.wait(lock);
  }
  Age();
  if (blocks_.size() + filling_.size() >= capacity_) return false;
  Block block{kCacheHitBonus, offset, platform::AllocateAligned(kCacheBlockSize)};
  if (!block.data) return false;
  auto filling = filling_.insert(filling_.end(), Filling{offset});
  in_use_.store(true, std::memory_order_relaxed);
  lock.unlock();
  const bool read = Fill(block);
  lock.lock();
  const bool keep = read && !filling->overwritten;
  filling_.erase(filling);
  if (keep) {
    std::memcpy(dest, block.data.get(), length);
    blocks_.push_front(std::move(block));
    if (filled != nullptr) *filled = true;
  }
  in_use_.store(!blocks_.empty() || !filling_.empty(), std::memory_order_relaxed);
  filled_.notify_all();
  return keep;
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
      in_use_.store(!blocks_.empty() || !filling_.empty(), std::memory_order_relaxed);
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
  for (Filling& f : filling_) {
    if (offset < f.first_byte + kCacheBlockSize && f.first_byte < end) f.overwritten = true;
  }
  for (Block& block : blocks_) {
    const uint64_t from = std::max(offset, block.first_byte);
    const uint64_t to = std::min(end, block.first_byte + kCacheBlockSize);
    if (from < to) {
      std::memcpy(block.data.get() + (from - block.first_byte), data + (from - offset), to - from);
    }
  }
}

void ReadCache::Forget(uint64_t end) {
  std::scoped_lock lock(mutex_);
  for (Filling& f : filling_) {
    if (f.first_byte + kCacheBlockSize > end) f.overwritten = true;
  }
  blocks_.remove_if([end](const Block& block) { return block.first_byte + kCacheBlockSize > end; });
  in_use_.store(!blocks_.empty() || !filling_.empty(), std::memory_order_relaxed);
}

void ReadCache::ShareWritesWith(const platform::FileIdentity& file, uint64_t first_byte,
                                uint64_t length, uint64_t pages) {
  JoinSharing("file " + std::to_string(file.device) + " " + std::to_string(file.inode), first_byte,
              length, pages);
}

void ReadCache::ShareWritesWith(const SourceId& source) {
  JoinSharing("source " + std::string(source.begin(), source.end()), 0, UINT64_MAX, 0);
}

void ReadCache::JoinSharing(const std::string& key, uint64_t first_byte, uint64_t length,
                            uint64_t pages) {
  first_byte_ = first_byte;
  end_ = length > UINT64_MAX - first_byte ? UINT64_MAX : first_byte + length;
  pages_ = pages;
  std::shared_ptr<Sharing> sharing;
  {
    std::scoped_lock lock(sharings_mutex);
    std::erase_if(sharings, [](const auto& entry) { return entry.second.expired(); });
    std::weak_ptr<void>& slot = sharings[key];
    sharing = std::static_pointer_cast<Sharing>(slot.lock());
    if (!sharing) {
      sharing = std::make_shared<Sharing>();
      slot = sharing;
    }
  }
  std::scoped_lock lock(sharing->mutex);
  sharing->caches.push_back(this);
  sharing_ = std::move(sharing);
}

uint32_t ReadCache::UpdateAll(uint64_t offset, uint32_t length, const uint8_t* data) {
  if (!sharing_) {
    Update(offset, length, data);
    return 0;
  }
  const uint64_t first = first_byte_ + offset;
  const uint64_t end = first + length;
  uint32_t error = 0;
  bool written_out = false;
  std::scoped_lock lock(sharing_->mutex);
  for (ReadCache* cache : sharing_->caches) {
    // Only the bytes that are also the other source's.
    const uint64_t from = std::max(first, cache->first_byte_);
    const uint64_t to = std::min(end, cache->end_);
    if (from >= to) continue;
    const uint64_t at = from - cache->first_byte_;
    if (cache->pages_ != pages_) {
      // Its page cache holds what the device held: the bytes go there
      // first, then its pages of them are read again.
      if (!written_out) {
        error = io_.WriteOut(offset, length);
        written_out = true;
      }
      const uint32_t dropped = cache->io_.DropCached(at, to - from);
      if (error == 0) error = dropped;
    }
    cache->Update(at, static_cast<uint32_t>(to - from), data + (from - first));
  }
  return error;
}

std::vector<ReadCache::BlockInfo> ReadCache::Blocks() const {
  std::scoped_lock lock(mutex_);
  std::vector<BlockInfo> out;
  for (const Block& block : blocks_) out.push_back({block.first_byte, block.score});
  return out;
}

}  // namespace quensaria::source
