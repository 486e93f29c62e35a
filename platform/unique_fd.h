// UniqueFd: sole owner of a file descriptor, closed on destruction. Move-only.
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

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_UNIQUE_FD_H_
