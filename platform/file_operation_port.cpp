#include "platform/file_operation_port.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

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

FilePort::FilePort() : nudge_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

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
  if (sleepers_.load(std::memory_order_seq_cst) > 0) {
    FutexWake(available_, 1);
  } else if (lingerers_.load(std::memory_order_seq_cst) > 0) {
    Nudge();
  }
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
  Nudge();
}

void FilePort::Nudge() {
  if (!nudge_) return;
  SignalEventFd(nudge_.get());
}

LingerResult FilePort::Linger(int socket, std::chrono::microseconds timeout) {
  if (!nudge_ || available_.load(std::memory_order_seq_cst) != 0) return LingerResult::kDeclined;
  lingerers_.fetch_add(1, std::memory_order_seq_cst);
  // Either a Post from now on sees this linger and nudges, or this sees
  // what it posted.
  if (available_.load(std::memory_order_seq_cst) != 0) {
    lingerers_.fetch_sub(1, std::memory_order_seq_cst);
    return LingerResult::kDeclined;
  }
  pollfd fds[2] = {{socket, POLLIN, 0}, {nudge_.get(), POLLIN, 0}};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const timespec limit{static_cast<time_t>(seconds.count()),
                       static_cast<long>((timeout - seconds).count() * 1000)};
  int ready;
  do {
    ready = ::ppoll(fds, 2, &limit, nullptr);
  } while (ready < 0 && errno == EINTR);
  lingerers_.fetch_sub(1, std::memory_order_seq_cst);
  if (ready <= 0) return LingerResult::kNotYet;
  if (fds[1].revents & POLLIN) {
    DrainEventFd(nudge_.get());  // another lingerer may have
  }
  if (fds[0].revents != 0) return LingerResult::kReadable;  // data, end of stream or error
  return LingerResult::kNotYet;
}

}  // namespace quensaria::platform
