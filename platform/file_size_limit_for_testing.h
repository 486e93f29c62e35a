// A full disk in tests without root: files may grow to a limit only, and a
// write past it fails with EFBIG (SIGXFSZ ignored) instead of ending the test.
#ifndef QUENSARIA_PLATFORM_FILE_SIZE_LIMIT_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_FILE_SIZE_LIMIT_FOR_TESTING_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>

namespace quensaria::testing {

// Files of this process may grow to `bytes` while it lives. The soft limit
// alone is lowered, so it can be restored.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    EXPECT_EQ(::sigaction(SIGXFSZ, &ignore, &previous_), 0);
    struct rlimit limit = saved_;
    limit.rlim_cur = std::min<rlim_t>(bytes, saved_.rlim_max);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &saved_), 0);
    EXPECT_EQ(::sigaction(SIGXFSZ, &previous_, nullptr), 0);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit saved_ = {};
  struct sigaction previous_ = {};
};

// What `write` gives, run under a FileSizeLimit of `bytes`.
inline bool UnderFileSizeLimit(rlim_t bytes, const std::function<bool()>& write) {
  FileSizeLimit limit(bytes);
  return write();
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_FILE_SIZE_LIMIT_FOR_TESTING_H_
