#include "platform/file_port.h"

namespace quensaria::platform {

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
  ready_.notify_one();
}

FileOperation* FilePort::Wait() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return shutdown_ || head_ != nullptr; });
  if (shutdown_) return nullptr;
  FileOperation* op = head_;
  head_ = op->next;
  if (head_ == nullptr) tail_ = nullptr;
  op->next = nullptr;
  return op;
}

void FilePort::PostShutdown() {
  {
    std::scoped_lock lock(mutex_);
    shutdown_ = true;
  }
  ready_.notify_all();
}

}  // namespace quensaria::platform
