// UniqueFd: sole owner of a file descriptor, closed on destruction. Move-only.
// Also the wake-ups through event counters (eventfd) that the waiting
// threads poll.
#ifndef QUENSARIA_PLATFORM_UNIQUE_FD_H_
#define QUENSARIA_PLATFORM_UNIQUE_FD_H_

#include <utility>

namespace quensaria::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the current descriptor (if any) and owns `fd`.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Adds one to the event counter `fd`, which wakes its poller. A full
// counter (EAGAIN) has a wake-up pending already; on an open eventfd
// nothing else fails but an interrupt, which is retried.
void SignalEventFd(int fd);
// Takes the non-blocking event counter `fd` back to zero; one found at
// zero (another poller took the wake-up) is as good.
void DrainEventFd(int fd);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_UNIQUE_FD_H_
