#include "platform/backing_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"

namespace quensaria::platform {
namespace {

namespace fs = std::filesystem;

class BackingFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  size_t Entries() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  // Under /var/tmp rather than /tmp: a disk file system, so that direct
  // I/O and its alignment rules are in play where the kernel offers them.
  testing::ScratchDir scratch_{"/var/tmp"};
  const fs::path dir_ = scratch_.path();
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 13);
  return data;
}

TEST_F(BackingFileTest, CreateImageMakesAPrivateFileOfTheGivenSize) {
  BackingFile file;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 64 << 20, &file));
  uint64_t size = 0;
  EXPECT_EQ(STATUS_SUCCESS, file.Size(&size));
  EXPECT_EQ(uint64_t{64} << 20, size);
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("a.img").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the new image should be sparse";
}

TEST_F(BackingFileTest, CreateImageOpensAnExistingFileAsItIs) {
  {
    BackingFile first;
    ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 4096, &first));
  }
  BackingFile again;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 1 << 20, &again));
  uint64_t size = 0;
  EXPECT_EQ(STATUS_SUCCESS, again.Size(&size));
  EXPECT_EQ(4096u, size);
}

TEST_F(BackingFileTest, OpenImageReportsMissingFilesAndDirectories) {
  BackingFile file;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, BackingFile::OpenImage(Path("none.img"), true, &file));
  EXPECT_EQ(STATUS_FILE_IS_A_DIRECTORY, BackingFile::OpenImage(dir_.string(), true, &file));
  EXPECT_FALSE(file.valid());
}

// A pipe named as a read-only image (a CD-ROM's, say) is opened at once:
// opened plainly it waits for a writer, with the device's worker, the
// mount's caller and the driver's stop behind it. Should the call wait after
// all, the test opens the other end and fails.
TEST_F(BackingFileTest, OpenImageOfAPipeWaitsForNoOtherEnd) {
  ASSERT_EQ(0, ::mkfifo(Path("pipe").c_str(), 0600));
  for (const bool read_only : {true, false}) {
    SCOPED_TRACE(read_only ? "read-only" : "read-write");
    BackingFile file;
    std::future<NtStatus> done = std::async(
        std::launch::async, [&] { return BackingFile::OpenImage(Path("pipe"), read_only, &file); });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      const int peer = ::open(Path("pipe").c_str(), O_WRONLY | O_NONBLOCK);
      const NtStatus late = done.get();
      if (peer >= 0) ::close(peer);
      ADD_FAILURE() << "waited for the other end of the pipe, then " << std::hex << late;
      continue;
    }
    // Opened as the read-write open always was: a disk of no bytes.
    EXPECT_EQ(STATUS_SUCCESS, done.get());
    uint64_t size = 1;
    EXPECT_EQ(STATUS_SUCCESS, file.Size(&size));
    EXPECT_EQ(0u, size);
  }
}

TEST_F(BackingFileTest, WritersExcludeEveryoneReadersShare) {
  BackingFile created;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 4096, &created));
  BackingFile second;
  EXPECT_EQ(STATUS_SHARING_VIOLATION, BackingFile::OpenImage(Path("a.img"), false, &second));
  EXPECT_EQ(STATUS_SHARING_VIOLATION, BackingFile::OpenImage(Path("a.img"), true, &second));
  created.Close();
  BackingFile reader1, reader2, writer;
  EXPECT_EQ(STATUS_SUCCESS, BackingFile::OpenImage(Path("a.img"), true, &reader1));
  EXPECT_EQ(STATUS_SUCCESS, BackingFile::OpenImage(Path("a.img"), true, &reader2));
  EXPECT_EQ(STATUS_SHARING_VIOLATION, BackingFile::OpenImage(Path("a.img"), false, &writer));
}

TEST_F(BackingFileTest, ReadOnlyImageRefusesWrites) {
  {
    BackingFile f;
    ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 4096, &f));
  }
  BackingFile file;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::OpenImage(Path("a.img"), true, &file));
  std::vector<uint8_t> data(512, 1);
  EXPECT_NE(STATUS_SUCCESS, file.WriteAt(data.data(), data.size(), 0));
}

// Aligned and unaligned ranges and buffers all land exactly where asked,
// whether or not the file system gave us direct I/O.
TEST_F(BackingFileTest, UnalignedRangesAndBuffersReadAndWriteExactly) {
  BackingFile file;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 8192, &file));
  const std::vector<uint8_t> base = Pattern(8192, 1);
  ASSERT_EQ(STATUS_SUCCESS, file.WriteAt(base.data(), base.size(), 0));

  struct Case {
    uint64_t offset;
    size_t length;
    size_t buffer_shift;
  };
  const Case cases[] = {
      {512, 1024, 0}, {700, 100, 0}, {1000, 3000, 3}, {0, 4096, 1}, {8100, 92, 0}};
  std::vector<uint8_t> expected = base;
  uint8_t seed = 50;
  for (const Case& c : cases) {
    std::vector<uint8_t> storage(c.length + 8);
    const std::vector<uint8_t> data = Pattern(c.length, seed += 17);
    std::copy(data.begin(), data.end(), storage.begin() + c.buffer_shift);
    ASSERT_EQ(STATUS_SUCCESS, file.WriteAt(storage.data() + c.buffer_shift, c.length, c.offset))
        << "offset " << c.offset;
    std::copy(data.begin(), data.end(), expected.begin() + c.offset);
  }
  std::vector<uint8_t> whole(8192 + 5);
  size_t done = 0;
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(whole.data() + 5, 8192, 0, &done));
  EXPECT_EQ(8192u, done);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), whole.begin() + 5));

  std::vector<uint8_t> piece(300);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(piece.data(), piece.size(), 777, &done));
  EXPECT_EQ(300u, done);
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), expected.begin() + 777));
}

TEST_F(BackingFileTest, ReadsStopShortAtTheEndOfTheFile) {
  BackingFile file;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreateImage(Path("a.img"), 4096, &file));
  std::vector<uint8_t> data(8192, 0xEE);
  size_t done = 1;
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(data.data(), 8192, 2048, &done));
  EXPECT_EQ(2048u, done);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(data.data(), 512, 4096, &done));
  EXPECT_EQ(0u, done);
  ASSERT_EQ(STATUS_SUCCESS, file.ReadAt(data.data(), 100, 4050, &done));
  EXPECT_EQ(46u, done);
}

TEST_F(BackingFileTest, PrivateFilesHaveNoNameAndDoNotShare) {
  BackingFile a, b;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreatePrivate(dir_.string(), &a));
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::CreatePrivate(dir_.string(), &b));
  EXPECT_EQ(0u, Entries());
  const std::vector<uint8_t> one(1024, 1), two(1024, 2);
  ASSERT_EQ(STATUS_SUCCESS, a.WriteAt(one.data(), one.size(), 512));
  ASSERT_EQ(STATUS_SUCCESS, b.WriteAt(two.data(), two.size(), 512));
  std::vector<uint8_t> got(1024);
  size_t done = 0;
  ASSERT_EQ(STATUS_SUCCESS, a.ReadAt(got.data(), got.size(), 512, &done));
  EXPECT_EQ(one, got);
  uint64_t size = 0;
  EXPECT_EQ(STATUS_SUCCESS, a.Size(&size));
  EXPECT_EQ(1536u, size);
  a.Close();
  b.Close();
  EXPECT_EQ(0u, Entries());
}

TEST_F(BackingFileTest, PrivateFileInMissingDirectoryFails) {
  BackingFile file;
  EXPECT_NE(STATUS_SUCCESS, BackingFile::CreatePrivate(Path("missing"), &file));
  EXPECT_FALSE(file.valid());
}

}  // namespace
}  // namespace quensaria::platform
