#include "platform/source_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/scratch_dir_for_testing.h"
#include "platform/system_info.h"

namespace quensaria::platform {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(std::filesystem::file_size(path_), bytes.size());
  }
  testing::ScratchDir scratch_;
  const std::string path_ = scratch_.File("source");
};

TEST_F(FileTest, PathsAreToldApart) {
  Result<FileInfo> file = StatPath(path_);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file.value().type, FileType::kRegular);
  Result<FileInfo> null = StatPath("/dev/null");
  ASSERT_TRUE(null.ok());
  EXPECT_EQ(null.value().type, FileType::kOther);
  EXPECT_FALSE(StatPath(path_ + ".missing").ok());
}

TEST_F(FileTest, PositionedTransfersAreShortAtTheEndAndEmptyPastIt) {
  Result<UniqueFd> fd = OpenReadWrite(path_);
  ASSERT_TRUE(fd.ok());
  uint8_t buffer[512];
  Transfer t = ReadAt(fd.value().get(), 9900, buffer, sizeof buffer);
  EXPECT_EQ(t.error, 0);
  EXPECT_EQ(t.bytes, 100u);
  EXPECT_EQ(buffer[0], static_cast<uint8_t>(9900));
  EXPECT_EQ(ReadAt(fd.value().get(), 10000, buffer, 10).bytes, 0u);

  const uint8_t data[3] = {0xA1, 0xA2, 0xA3};
  EXPECT_EQ(WriteAt(fd.value().get(), 5000, data, 3).bytes, 3u);
  t = ReadAtNoWait(fd.value().get(), 4999, buffer, 5);  // just written: in the page cache
  ASSERT_EQ(t.error, 0);
  EXPECT_EQ(t.bytes, 5u);
  EXPECT_EQ(buffer[1], 0xA1);
  EXPECT_EQ(buffer[4], static_cast<uint8_t>(5003));
  EXPECT_EQ(SizeOf(fd.value().get()).value(), 10000u);
}

TEST_F(FileTest, ReadOnlyAndClosedDescriptorsAreNotReadWrite) {
  Result<UniqueFd> fd = OpenReadWrite(path_);
  ASSERT_TRUE(fd.ok());
  EXPECT_EQ(CheckReadWrite(fd.value().get()), 0);
  bool direct = false;
  Result<UniqueFd> unbuffered = OpenUnbuffered(path_, direct);
  ASSERT_TRUE(unbuffered.ok());
  EXPECT_EQ(CheckReadWrite(unbuffered.value().get()), EBADF);
  const int closed = fd.value().Release();
  ::close(closed);
  EXPECT_EQ(CheckReadWrite(closed), EBADF);
  uint8_t byte;
  EXPECT_EQ(ReadAt(closed, 0, &byte, 1).error, EBADF);
}

TEST_F(FileTest, UnbufferedReadsNeedAlignedBuffers) {
  // Asked of the file system itself, so that a fault in OpenUnbuffered fails
  // here instead of skipping.
  if (UniqueFd probe(::open(path_.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC)); !probe) {
    GTEST_SKIP() << "the file system of TMPDIR refuses O_DIRECT";
  }
  bool direct = false;
  Result<UniqueFd> fd = OpenUnbuffered(path_, direct);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(direct) << "the file system takes O_DIRECT";
  AlignedBytes block = AllocateAligned(8192);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % kDirectIoAlignment, 0u);
  const Transfer t = ReadAt(fd.value().get(), 0, block.get(), 8192);
  EXPECT_EQ(t.error, 0);
  EXPECT_EQ(t.bytes, 8192u);
  EXPECT_EQ(block[8191], static_cast<uint8_t>(8191));
  // A misaligned buffer is refused, which the read cache takes as a miss.
  EXPECT_EQ(ReadAt(fd.value().get(), 0, block.get() + 1, 4096).error, EINVAL);
}

TEST_F(FileTest, SyncDataSucceedsOnAWritableFileAndFailsOnAClosedOne) {
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(WriteAt(fd, 0, "abc", 3).bytes, 3u);
  EXPECT_EQ(SyncData(fd), 0);
  ::close(fd);
  EXPECT_EQ(SyncData(fd), EBADF);
}

TEST(BootIdentityTest, TheFirstFourBytesOfTheBootIdText) {
  std::array<uint8_t, 4> id{};
  ASSERT_TRUE(ParseBootIdentity("5b316828-523f-4b5e-95e3-cc11e6074efa\n", id));
  EXPECT_EQ(id, (std::array<uint8_t, 4>{0x5b, 0x31, 0x68, 0x28}));
  ASSERT_TRUE(ParseBootIdentity("ABCDEF01", id));
  EXPECT_EQ(id, (std::array<uint8_t, 4>{0xAB, 0xCD, 0xEF, 0x01}));
  for (const char* bad : {"", "5b31682", "5b31-828-523f", "zz316828-"}) {
    std::array<uint8_t, 4> kept{1, 2, 3, 4};
    EXPECT_FALSE(ParseBootIdentity(bad, kept)) << bad;
    EXPECT_EQ(kept, (std::array<uint8_t, 4>{1, 2, 3, 4})) << bad;
  }
  // This machine's: what its own text says, the same on every call.
  std::array<uint8_t, 4> expected{};
  const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY);
  ASSERT_GE(fd, 0);
  char text[64] = {};
  ASSERT_GT(::read(fd, text, sizeof text - 1), 8);
  ::close(fd);
  ASSERT_TRUE(ParseBootIdentity(text, expected));
  EXPECT_EQ(BootIdentity(), expected);
  EXPECT_NE(BootIdentity(), (std::array<uint8_t, 4>{}));
}

}  // namespace
}  // namespace quensaria::platform
