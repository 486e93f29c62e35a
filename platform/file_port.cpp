#include "platform/file_port.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quensaria::platform {
namespace {

constexpr int kShutdown = 1 << 30;  // far more than can ever be queued

void FutexWait(std::atomic<int>& word, int expected) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
}

void FutexWake(std::atomic<int>& word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
            0);
}

}  // namespace

void FilePort::Post(FileOperation* op) {
  op->next = nullptr;
  {
    std::scoped_lock lock(mutex_);
    if (tail_ != nullptr) {
      tail_->next = op;
    } else {
      head_ = op;
    }
    tail_ = op;
  }
  available_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) > 0) FutexWake(available_, 1);
}

FileOperation* FilePort::Wait() {
  int seen = available_.load(std::memory_order_acquire);
  for (;;) {
    if (seen >= kShutdown) return nullptr;
    if (seen > 0) {
      if (available_.compare_exchange_weak(seen, seen - 1, std::memory_order_acquire)) break;
      continue;
    }
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (available_.load(std::memory_order_seq_cst) == 0) FutexWait(available_, 0);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    seen = available_.load(std::memory_order_acquire);
  }
  std::scoped_lock lock(mutex_);
  FileOperation* op = head_;
  head_ = op->next;
  if (head_ == nullptr) tail_ = nullptr;
  op->next = nullptr;
  return op;
}

void FilePort::PostShutdown() {
  available_.fetch_add(kShutdown, std::memory_order_seq_cst);
  FutexWake(available_, INT32_MAX);
}

}  // namespace quensaria::platform
