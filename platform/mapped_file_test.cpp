#include "platform/mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

using quensaria::testing::ReadBytes;
using quensaria::testing::ScratchDir;

class MappedFileTest : public ::testing::Test {
 protected:
  // A file of the test's own to size and write.
  static Result<UniqueFd> NewFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Status(ERROR_GEN_FAILURE, std::strerror(errno));
    return UniqueFd(fd);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static Status Synced() { return Status::Ok(); }
  ScratchDir dir_;
};

TEST_F(MappedFileTest, CreatingReplacesAnExistingFile) {
  std::string path = dir_.File("f");
  {
    Result<ReplacingFile> file = ReplacingFile::Create(path);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(WriteAt(file->fd(), 0, std::vector<uint8_t>(1000, 7)).ok());
    EXPECT_FALSE(std::filesystem::exists(path)) << "in place before it is complete";
    ASSERT_TRUE(file->Commit(Synced).ok());
  }
  EXPECT_EQ(ReadBytes(path, 0, 2000), std::vector<uint8_t>(1000, 7));
  Result<ReplacingFile> file = ReplacingFile::Create(path);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(ReadBytes(path, 0, 2000), std::vector<uint8_t>(1000, 7)) << "replaced too early";
  ASSERT_TRUE(file->Commit(Synced).ok());
  EXPECT_TRUE(ReadBytes(path, 0, 10).empty());
  EXPECT_EQ(Names(), std::vector<std::string>{"f"});
}

// Until it is committed the new file is no file at the path: given up, or
// failing at the folder's sync, it leaves the old one as it was and nothing
// of its own.
TEST_F(MappedFileTest, AReplacementGivenUpOrFailedLeavesTheOldFile) {
  std::string path = dir_.File("f");
  {
    Result<UniqueFd> old = NewFile(path);
    ASSERT_TRUE(old.ok());
    ASSERT_TRUE(WriteAt(old->get(), 0, std::vector<uint8_t>(100, 3)).ok());
  }
  {
    Result<ReplacingFile> file = ReplacingFile::Create(path);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(WriteAt(file->fd(), 0, std::vector<uint8_t>(10, 9)).ok());
  }
  EXPECT_EQ(ReadBytes(path, 0, 200), std::vector<uint8_t>(100, 3));
  EXPECT_EQ(Names(), std::vector<std::string>{"f"});

  Result<ReplacingFile> file = ReplacingFile::Create(path);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(WriteAt(file->fd(), 0, std::vector<uint8_t>(10, 9)).ok());
  Status s = file->Commit([&] {
    EXPECT_EQ(ReadBytes(path, 0, 200), std::vector<uint8_t>(10, 9)) << "synced before it is there";
    return Status(ERROR_GEN_FAILURE, std::strerror(EIO));
  });
  EXPECT_EQ(s.message(), std::strerror(EIO));
  EXPECT_EQ(ReadBytes(path, 0, 200), std::vector<uint8_t>(100, 3));
  EXPECT_EQ(Names(), std::vector<std::string>{"f"});
}

TEST_F(MappedFileTest, FailuresCarryTheSystemsText) {
  Result<ReplacingFile> file = ReplacingFile::Create(dir_.File("no/such/dir"));
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.status().code(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(file.status().message(), std::strerror(ENOENT));
}

TEST_F(MappedFileTest, LengthIsSetWithoutTakingSpace) {
  std::string path = dir_.File("sparse");
  Result<UniqueFd> fd = NewFile(path);
  ASSERT_TRUE(fd.ok());
  constexpr uint64_t kLength = uint64_t{16} << 30;
  ASSERT_TRUE(SetFileLength(fd->get(), kLength).ok());
  EXPECT_EQ(std::filesystem::file_size(path), kLength);
  Result<uint64_t> allocated = AllocatedBytes(fd->get());
  ASSERT_TRUE(allocated.ok());
  EXPECT_LT(*allocated, 65536u);
  EXPECT_EQ(ReadBytes(path, kLength - 4, 8), std::vector<uint8_t>(4, 0));
}

TEST_F(MappedFileTest, ViewWritesAndPositionedWritesReachTheFile) {
  std::string path = dir_.File("mapped");
  Result<UniqueFd> fd = NewFile(path);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(SetFileLength(fd->get(), 1 << 20).ok());
  Result<MappedView> view = MappedView::Map(fd->get(), 256 * 1024);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view->size(), 256u * 1024);

  const std::vector<uint8_t> head = {1, 2, 3}, last = {9, 9}, beyond = {5, 6, 7, 8};
  ASSERT_TRUE(view->Write(4094, head).ok());            // across a page boundary
  ASSERT_TRUE(view->Write(256 * 1024 - 2, last).ok());  // the view's last bytes
  ASSERT_TRUE(WriteAt(fd->get(), 512 * 1024, beyond).ok());
  EXPECT_EQ(view->data()[4095], 2);
  ASSERT_TRUE(view->Flush().ok());
  EXPECT_EQ(ReadBytes(path, 4094, 3), head);
  EXPECT_EQ(ReadBytes(path, 256 * 1024 - 2, 2), last);
  EXPECT_EQ(ReadBytes(path, 512 * 1024, 4), beyond);
  Result<uint64_t> allocated = AllocatedBytes(fd->get());
  ASSERT_TRUE(allocated.ok());
  EXPECT_LT(*allocated, 64u * 1024) << "untouched pages took space";
}

TEST_F(MappedFileTest, MovedViewKeepsTheMapping) {
  std::string path = dir_.File("moved");
  Result<UniqueFd> fd = NewFile(path);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(SetFileLength(fd->get(), 8192).ok());
  Result<MappedView> view = MappedView::Map(fd->get(), 8192);
  ASSERT_TRUE(view.ok());
  MappedView moved = std::move(*view);
  ASSERT_TRUE(moved.Write(100, std::vector<uint8_t>{42}).ok());
  ASSERT_TRUE(moved.Flush().ok());
  EXPECT_EQ(ReadBytes(path, 100, 1), std::vector<uint8_t>{42});
}

}  // namespace
}  // namespace quensaria::platform
