#include "service/source/write_order.h"

#include <algorithm>
#include <utility>

namespace quensaria::source {

WriteOrder::Held::Held(Held&& other) noexcept
    : order_(std::exchange(other.order_, nullptr)), id_(other.id_) {}

WriteOrder::Held& WriteOrder::Held::operator=(Held&& other) noexcept {
  if (this != &other) {
    reset();
    order_ = std::exchange(other.order_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void WriteOrder::Held::reset() {
  if (WriteOrder* order = std::exchange(order_, nullptr)) order->Release(id_);
}

bool WriteOrder::Overlaps(uint64_t offset, uint64_t end) const {
  return std::any_of(held_.begin(), held_.end(),
                     [&](const Range& r) { return r.offset < end && offset < r.end; });
}

// REQUIRES: mutex_ held, the range free.
WriteOrder::Held WriteOrder::Take(uint64_t offset, uint64_t end) {
  const uint64_t id = next_id_++;
  held_.push_back(Range{id, offset, end});
  return Held(this, id);
}

WriteOrder::Held WriteOrder::Wait(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  std::unique_lock lock(mutex_);
  if (Overlaps(offset, end)) {
    ++waiting_;
    released_.wait(lock, [&] { return !Overlaps(offset, end); });
    --waiting_;
  }
  return Take(offset, end);
}

WriteOrder::Held WriteOrder::Try(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  std::scoped_lock lock(mutex_);
  if (Overlaps(offset, end)) return Held();
  return Take(offset, end);
}

void WriteOrder::Release(uint64_t id) {
  {
    std::scoped_lock lock(mutex_);
    std::erase_if(held_, [id](const Range& r) { return r.id == id; });
  }
  released_.notify_all();
}

int WriteOrder::WaitingForTesting() {
  std::scoped_lock lock(mutex_);
  return waiting_;
}

}  // namespace quensaria::source
