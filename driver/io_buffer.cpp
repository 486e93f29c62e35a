#include "driver/io_buffer.h"

#include "platform/page_memory.h"

namespace quensaria::driver {
namespace {

size_t WholePages(size_t bytes) {
  return (bytes + IoBuffer::kAlignment - 1) / IoBuffer::kAlignment * IoBuffer::kAlignment;
}

}  // namespace

IoBuffer::IoBuffer(size_t size, size_t capacity) {
  const size_t room = WholePages(capacity > size ? capacity : size);
  if (room == 0) return;
  data_ = static_cast<uint8_t*>(platform::AllocatePages(room));
  if (data_ == nullptr) return;
  size_ = size;
  capacity_ = room;
}

IoBuffer::~IoBuffer() { platform::FreePages(data_, capacity_); }

IoBuffer& IoBuffer::operator=(IoBuffer&& other) noexcept {
  if (this != &other) {
    platform::FreePages(data_, capacity_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

IoBuffer IoBufferPool::Take(size_t size) {
  if (size > kRoom) return IoBuffer(size);
  {
    std::scoped_lock lock(mu_);
    if (!kept_.empty()) {
      IoBuffer buffer = std::move(kept_.back());
      kept_.pop_back();
      buffer.Resize(size);
      return buffer;
    }
  }
  return IoBuffer(size, kRoom);
}

void IoBufferPool::Give(IoBuffer buffer) noexcept {
  if (buffer.capacity() != kRoom) return;
  std::scoped_lock lock(mu_);
  // The room for kKept was reserved: this never allocates.
  if (kept_.size() < kKept) kept_.push_back(std::move(buffer));
}

void IoBufferPool::Release() {
  std::scoped_lock lock(mu_);
  kept_.clear();
}

size_t IoBufferPool::kept() const {
  std::scoped_lock lock(mu_);
  return kept_.size();
}

}  // namespace quensaria::driver
