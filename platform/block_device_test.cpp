#include "platform/block_device.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include "platform/loop_device_for_testing.h"
#include "platform/source_file.h"

namespace quensaria::platform {
namespace {

TEST(PartitionTypeTest, TextsOfBothSchemesGiveTheMbrByte) {
  const struct {
    const char* text;
    uint8_t type;
  } rows[] = {
      {"0x83", 0x83},
      {"0x7", 0x07},
      {"0xef", 0xEF},
      {"0X0c", 0x0C},
      {"0x100", 0},
      {"0x", 0},
      {"0x8z", 0},
      {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", 0x83},
      {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", 0x07},
      {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 0xEF},
      {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", 0x82},
      {"00000000-0000-0000-0000-000000000001", 0},
      {"", 0},
  };
  for (const auto& row : rows) EXPECT_EQ(PartitionTypeFromText(row.text), row.type) << row.text;
}

class LoopDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = LoopDisk::UnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    Result<std::unique_ptr<LoopDisk>> disk =
        LoopDisk::Create(16 << 20, "label: dos\nstart=2048, size=4096, type=c\n");
    ASSERT_TRUE(disk.ok()) << disk.status().ToString();
    disk_ = std::move(disk).value();
  }
  std::unique_ptr<LoopDisk> disk_;
};

TEST_F(LoopDiskTest, PartitionsAreToldFromWholeDisksAndSizedExactly) {
  Result<FileInfo> whole = StatPath(disk_->device());
  Result<FileInfo> part = StatPath(disk_->partition(1));
  ASSERT_TRUE(whole.ok() && part.ok());
  EXPECT_EQ(whole.value().type, FileType::kBlockDevice);
  EXPECT_EQ(part.value().type, FileType::kBlockDevice);
  EXPECT_FALSE(IsPartition(whole.value().device_major, whole.value().device_minor));
  EXPECT_TRUE(IsPartition(part.value().device_major, part.value().device_minor));

  Result<UniqueFd> whole_fd = OpenReadWrite(disk_->device());
  Result<UniqueFd> part_fd = OpenReadWrite(disk_->partition(1));
  ASSERT_TRUE(whole_fd.ok() && part_fd.ok());
  EXPECT_EQ(SizeOf(whole_fd.value().get()).value(), 16u << 20);
  EXPECT_EQ(SizeOf(part_fd.value().get()).value(), 4096u * 512);
}

TEST_F(LoopDiskTest, APartitionsPlaceIsItsDiskAndItsFirstByte) {
  Result<FileInfo> whole = StatPath(disk_->device());
  Result<FileInfo> part = StatPath(disk_->partition(1));
  ASSERT_TRUE(whole.ok() && part.ok());
  PartitionPlace place;
  ASSERT_TRUE(PlaceOfPartition(part.value().device_major, part.value().device_minor, place));
  EXPECT_EQ(place.disk, makedev(whole.value().device_major, whole.value().device_minor));
  EXPECT_EQ(place.first_byte, 2048u * 512);
  EXPECT_FALSE(PlaceOfPartition(whole.value().device_major, whole.value().device_minor, place));
}

TEST_F(LoopDiskTest, PartitionTypeComesFromThePartitionTable) {
  EXPECT_EQ(PartitionTypeByte(disk_->partition(1)), 0x0C);
  EXPECT_EQ(PartitionTypeByte("/nonexistent"), 0);
}

}  // namespace
}  // namespace quensaria::platform
