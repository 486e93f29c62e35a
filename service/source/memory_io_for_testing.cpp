#include "service/source/memory_io_for_testing.h"

#include <algorithm>
#include <cstring>

#include "shared/win32_error.h"

namespace quensaria::source {

void MemoryIo::SetFaults(const Faults& faults) {
  std::scoped_lock lock(mutex_);
  faults_ = faults;
}

MemoryIo::Counts MemoryIo::counts() const {
  std::scoped_lock lock(mutex_);
  return counts_;
}

std::vector<uint8_t> MemoryIo::bytes() const {
  std::scoped_lock lock(mutex_);
  return bytes_;
}

IoResult MemoryIo::CopyOut(uint64_t offset, uint8_t* data, size_t length, size_t limit) {
  if (offset >= bytes_.size()) return IoResult{};
  size_t n = std::min<uint64_t>(length, bytes_.size() - offset);
  if (limit != 0) n = std::min(n, limit);
  std::memcpy(data, bytes_.data() + offset, n);
  return IoResult{n, 0, false};
}

IoResult MemoryIo::CopyIn(uint64_t offset, const uint8_t* data, size_t length) {
  const uint64_t end = std::min<uint64_t>(faults_.full_at, bytes_.size());
  if (offset >= end) return IoResult{0, ERROR_DISK_FULL, false};
  size_t n = std::min<uint64_t>(length, end - offset);
  if (faults_.max_transfer != 0) n = std::min(n, faults_.max_transfer);
  std::memcpy(bytes_.data() + offset, data, n);
  return IoResult{n, 0, false};
}

IoResult MemoryIo::Read(uint64_t offset, uint8_t* data, size_t length) {
  std::scoped_lock lock(mutex_);
  ++counts_.reads;
  if (faults_.read_error != 0) return IoResult{0, faults_.read_error, false};
  return CopyOut(offset, data, length, faults_.max_transfer);
}

IoResult MemoryIo::Write(uint64_t offset, const uint8_t* data, size_t length) {
  std::unique_lock lock(mutex_);
  ++counts_.writes;
  released_.wait(lock, [&] { return !hold_writes_; });
  if (faults_.write_error != 0) return IoResult{0, faults_.write_error, false};
  return CopyIn(offset, data, length);
}

IoResult MemoryIo::TryRead(uint64_t offset, uint8_t* data, size_t length) {
  std::scoped_lock lock(mutex_);
  ++counts_.try_reads;
  if (faults_.try_would_block) return IoResult{0, 0, true};
  if (faults_.try_error != 0) return IoResult{0, faults_.try_error, false};
  if (faults_.read_error != 0) return IoResult{0, faults_.read_error, false};
  return CopyOut(offset, data, length, faults_.max_transfer);
}

IoResult MemoryIo::TryWrite(uint64_t offset, const uint8_t* data, size_t length) {
  std::scoped_lock lock(mutex_);
  ++counts_.try_writes;
  if (faults_.try_would_block) return IoResult{0, 0, true};
  if (faults_.try_error != 0) return IoResult{0, faults_.try_error, false};
  if (faults_.write_error != 0) return IoResult{0, faults_.write_error, false};
  return CopyIn(offset, data, length);
}

IoResult MemoryIo::CacheRead(uint64_t offset, uint8_t* data, size_t length) {
  std::scoped_lock lock(mutex_);
  ++counts_.cache_reads;
  if (faults_.cache_read_error != 0) return IoResult{0, faults_.cache_read_error, false};
  return CopyOut(offset, data, length, faults_.max_transfer);
}

void MemoryIo::HoldFlushes(bool hold) {
  std::scoped_lock lock(mutex_);
  hold_flushes_ = hold;
  released_.notify_all();
}

void MemoryIo::HoldWrites(bool hold) {
  std::scoped_lock lock(mutex_);
  hold_writes_ = hold;
  released_.notify_all();
}

uint32_t MemoryIo::WriteOut(uint64_t /*offset*/, uint64_t /*length*/) {
  std::scoped_lock lock(mutex_);
  ++counts_.write_outs;
  return faults_.write_out_error;
}

uint32_t MemoryIo::DropCached(uint64_t /*offset*/, uint64_t /*length*/) {
  std::scoped_lock lock(mutex_);
  ++counts_.drops;
  return 0;
}

uint32_t MemoryIo::Flush() {
  std::unique_lock lock(mutex_);
  ++counts_.flushes;
  released_.wait(lock, [&] { return !hold_flushes_; });
  return faults_.flush_error;
}

uint32_t MemoryIo::Associate() {
  std::scoped_lock lock(mutex_);
  return faults_.associate_error;
}

}  // namespace quensaria::source
