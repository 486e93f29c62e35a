// What the watch says of a source file changed under it: each change once,
// and nothing while nothing changes.
#include "service/source/source_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"

namespace quensaria::source {
namespace {

constexpr uint64_t kSize = 1 << 20;

std::vector<SourceChange::Kind> KindsOf(const std::vector<SourceChange>& changes) {
  std::vector<SourceChange::Kind> kinds;
  for (const SourceChange& change : changes) kinds.push_back(change.kind);
  return kinds;
}

class SourceWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeFile(path_, kSize);
    fd_.Reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd_.valid());
    watch_ = std::make_unique<SourceWatch>(path_, fd_.get(), kSize);
  }
  static void MakeFile(const std::string& path, uint64_t size) {
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
  }
  std::vector<SourceChange::Kind> Check() { return KindsOf(watch_->Check()); }

  testing::ScratchDir scratch_;
  const std::string path_ = (scratch_.path() / "disk.img").string();
  platform::UniqueFd fd_;
  std::unique_ptr<SourceWatch> watch_;
};

using Kinds = std::vector<SourceChange::Kind>;

TEST_F(SourceWatchTest, AnUntouchedSourceIsNoChange) {
  EXPECT_EQ(Check(), Kinds{});
  // Writes within the file change nothing the watch looks at.
  ASSERT_EQ(::pwrite(fd_.get(), "x", 1, 4096), 1);
  EXPECT_EQ(Check(), Kinds{});
}

TEST_F(SourceWatchTest, ATruncationIsSaidOnceWithTheNewSize) {
  std::filesystem::resize_file(path_, kSize / 2);
  const std::vector<SourceChange> changes = watch_->Check();
  ASSERT_EQ(KindsOf(changes), Kinds{SourceChange::kTruncated});
  EXPECT_EQ(changes[0].size, kSize / 2);
  EXPECT_EQ(Check(), Kinds{});
  // Each further change of size is a change of its own.
  std::filesystem::resize_file(path_, kSize / 4);
  EXPECT_EQ(Check(), Kinds{SourceChange::kTruncated});
  std::filesystem::resize_file(path_, 2 * kSize);
  const std::vector<SourceChange> grown = watch_->Check();
  ASSERT_EQ(KindsOf(grown), Kinds{SourceChange::kGrown});
  EXPECT_EQ(grown[0].size, 2 * kSize);
  EXPECT_EQ(Check(), Kinds{});
}

TEST_F(SourceWatchTest, ADeletionIsSaidOnce) {
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{SourceChange::kDeleted});
  EXPECT_EQ(Check(), Kinds{});
}

// Moved away, the file keeps a name: it is not lost. Losing that name later
// is a deletion; a path that names the served file again is quiet.
TEST_F(SourceWatchTest, AMoveIsSaidOnceAndALaterDeletionToo) {
  const std::string elsewhere = (scratch_.path() / "moved.img").string();
  ASSERT_EQ(std::rename(path_.c_str(), elsewhere.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{SourceChange::kMoved});
  EXPECT_EQ(Check(), Kinds{});
  ASSERT_EQ(std::rename(elsewhere.c_str(), path_.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{});
  ASSERT_EQ(std::rename(path_.c_str(), elsewhere.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{SourceChange::kMoved});
  ASSERT_EQ(::unlink(elsewhere.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{SourceChange::kDeleted});
  EXPECT_EQ(Check(), Kinds{});
}

// `mv other disk.img`: the path names another file, and the one served has
// no name left. A second replacement is a change again.
TEST_F(SourceWatchTest, AReplacementIsSaidOncePerFileThatTakesThePath) {
  const std::string other = (scratch_.path() / "other.img").string();
  MakeFile(other, kSize);
  ASSERT_EQ(std::rename(other.c_str(), path_.c_str()), 0);
  const std::vector<SourceChange> changes = watch_->Check();
  ASSERT_EQ(KindsOf(changes), Kinds{SourceChange::kReplaced});
  EXPECT_TRUE(changes[0].unnamed);
  EXPECT_EQ(Check(), Kinds{});
  MakeFile(other, kSize);
  ASSERT_EQ(std::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(Check(), Kinds{SourceChange::kReplaced});
  EXPECT_EQ(Check(), Kinds{});
}

// A replacement that keeps the served file under another name loses nothing.
TEST_F(SourceWatchTest, AReplacementOfAFileStillNamedElsewhereSaysSo) {
  const std::string kept = (scratch_.path() / "kept.img").string();
  ASSERT_EQ(::link(path_.c_str(), kept.c_str()), 0);
  const std::string other = (scratch_.path() / "other.img").string();
  MakeFile(other, kSize);
  ASSERT_EQ(std::rename(other.c_str(), path_.c_str()), 0);
  const std::vector<SourceChange> changes = watch_->Check();
  ASSERT_EQ(KindsOf(changes), Kinds{SourceChange::kReplaced});
  EXPECT_FALSE(changes[0].unnamed);
}

}  // namespace
}  // namespace quensaria::source
