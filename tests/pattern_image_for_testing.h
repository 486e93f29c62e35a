// PatternImage (tests only): a temporary image file whose every byte is a
// known function of its offset (and a seed, so that several images differ),
// removed when the test ends.
#ifndef QUENSARIA_TESTS_PATTERN_IMAGE_FOR_TESTING_H_
#define QUENSARIA_TESTS_PATTERN_IMAGE_FOR_TESTING_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"

namespace quensaria::testing {

inline uint8_t Pattern(uint64_t offset, uint8_t seed = 0) {
  return static_cast<uint8_t>((offset >> 9) * 17 + offset + seed * 101u);
}

class PatternImage {
 public:
  explicit PatternImage(uint64_t size, uint8_t seed = 0) : path_(scratch_.File("pattern.img")) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path_;
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < size; at += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = Pattern(at + i, seed);
      const size_t n = std::min<uint64_t>(chunk.size(), size - at);
      EXPECT_EQ(::write(fd, chunk.data(), n), static_cast<ssize_t>(n));
    }
    ::close(fd);
  }
  PatternImage(const PatternImage&) = delete;
  PatternImage& operator=(const PatternImage&) = delete;

  const std::string& path() const { return path_; }
  std::vector<uint8_t> ReadBack(uint64_t offset, size_t length) const {
    return ReadBytes(path_, offset, length);
  }

 private:
  ScratchDir scratch_;  // removed with the image in it
  std::string path_;
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_PATTERN_IMAGE_FOR_TESTING_H_
