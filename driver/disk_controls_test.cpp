#include "driver/disk_controls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "shared/bytes.h"
#include "shared/nt_status.h"

namespace quensaria::driver {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

struct Answer {
  NtStatus status;
  uint32_t information;
  std::unique_ptr<DeviceControlBlock> block;
};

Answer Ask(uint32_t code, uint32_t output, uint32_t input = 0, uint64_t size = kGiB,
           bool read_only = false, const void* input_data = nullptr) {
  auto block = std::make_unique<DeviceControlBlock>();
  std::memset(block.get(), 0xCC, sizeof *block);  // stale bytes must not leak through
  block->code = code;
  block->inputLength = input;
  block->outputLength = output;
  if (input_data != nullptr) std::memcpy(block->buffer, input_data, input);
  AnswerDiskControl({size, read_only}, block.get());
  return {block->status, block->information, std::move(block)};
}

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

TEST(DiskControlsTest, GeometryOfOneGibibyte) {
  for (uint32_t code : {IOCTL_DISK_GET_DRIVE_GEOMETRY, IOCTL_CDROM_GET_DRIVE_GEOMETRY}) {
    const Answer a = Ask(code, 24);
    ASSERT_EQ(STATUS_SUCCESS, a.status);
    EXPECT_EQ(24u, a.information);
    const uint8_t* out = a.block->buffer;
    EXPECT_EQ(32768u, LoadLe64(out + 0));  // cylinders
    EXPECT_EQ(12u, LoadLe32(out + 8));     // FixedMedia
    EXPECT_EQ(2u, LoadLe32(out + 12));     // tracks per cylinder
    EXPECT_EQ(32u, LoadLe32(out + 16));    // sectors per track
    EXPECT_EQ(512u, LoadLe32(out + 20));   // bytes per sector
  }
}

TEST(DiskControlsTest, LengthAndPartitionRecords) {
  const uint64_t size = 3 * kGiB + 4096;
  Answer a = Ask(IOCTL_DISK_GET_LENGTH_INFO, 8, 0, size);
  ASSERT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(8u, a.information);
  EXPECT_EQ(size, LoadLe64(a.block->buffer));

  a = Ask(IOCTL_DISK_GET_PARTITION_INFO, 32, 0, size);
  ASSERT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(32u, a.information);
  const uint8_t* p = a.block->buffer;
  EXPECT_EQ(0u, LoadLe64(p + 0));    // starting offset
  EXPECT_EQ(size, LoadLe64(p + 8));  // partition length
  EXPECT_EQ(1u, LoadLe32(p + 16));   // hidden sectors
  EXPECT_TRUE(AllZero(p + 20, 12));  // number, type, boot, recognized, rewrite, padding

  a = Ask(IOCTL_DISK_GET_PARTITION_INFO_EX, 144, 0, size);
  ASSERT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(144u, a.information);
  p = a.block->buffer;
  EXPECT_EQ(0u, LoadLe32(p + 0));     // style MBR
  EXPECT_EQ(0u, LoadLe64(p + 8));     // starting offset
  EXPECT_EQ(size, LoadLe64(p + 16));  // length
  EXPECT_TRUE(AllZero(p + 24, 12));   // number, rewrite, MBR type/boot/recognized
  EXPECT_EQ(1u, LoadLe32(p + 36));    // hidden sectors
  EXPECT_TRUE(AllZero(p + 40, 104));
}

TEST(DiskControlsTest, OutputsShorterThanTheirRecordAreTooSmall) {
  const struct {
    uint32_t code, size;
  } records[] = {{IOCTL_DISK_GET_DRIVE_GEOMETRY, 24},     {IOCTL_CDROM_GET_DRIVE_GEOMETRY, 24},
                 {IOCTL_DISK_GET_LENGTH_INFO, 8},         {IOCTL_DISK_GET_PARTITION_INFO, 32},
                 {IOCTL_DISK_GET_PARTITION_INFO_EX, 144}, {IOCTL_CDROM_READ_TOC, 804}};
  for (const auto& r : records) {
    const Answer a = Ask(r.code, r.size - 1);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, a.status) << std::hex << r.code;
    EXPECT_EQ(0u, a.information) << std::hex << r.code;
  }
}

TEST(DiskControlsTest, PerformanceWithAShortBufferIsAnInvalidParameter) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Ask(IOCTL_DISK_PERFORMANCE, 64).status);
  const Answer a = Ask(IOCTL_DISK_PERFORMANCE, 88);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(88u, a.information);
  EXPECT_TRUE(AllZero(a.block->buffer, 88));
}

TEST(DiskControlsTest, WriteProtectionFollowsTheReadOnlyFlag) {
  const uint8_t one = 1;
  EXPECT_EQ(STATUS_SUCCESS, Ask(IOCTL_DISK_IS_WRITABLE, 0).status);
  EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED, Ask(IOCTL_DISK_IS_WRITABLE, 0, 0, kGiB, true).status);
  EXPECT_EQ(STATUS_SUCCESS, Ask(IOCTL_DISK_SET_PARTITION_INFO, 0, 1, kGiB, false, &one).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Ask(IOCTL_DISK_SET_PARTITION_INFO, 0, 0).status);
  EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED,
            Ask(IOCTL_DISK_SET_PARTITION_INFO, 0, 1, kGiB, true, &one).status);
}

TEST(DiskControlsTest, VerifyAnswersTheLengthItWasAsked) {
  uint8_t verify[16] = {};
  StoreLe64(verify, 1 << 20);
  StoreLe32(verify + 8, 65536);
  const Answer a = Ask(IOCTL_DISK_VERIFY, 0, 16, kGiB, false, verify);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(65536u, a.information);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Ask(IOCTL_DISK_VERIFY, 0, 15, kGiB, false, verify).status);
}

TEST(DiskControlsTest, TableOfContentsHasOneDataTrack) {
  const Answer a = Ask(IOCTL_CDROM_READ_TOC, 804);
  ASSERT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(804u, a.information);
  const uint8_t* toc = a.block->buffer;
  EXPECT_EQ(0, toc[0]);
  EXPECT_EQ(0, toc[1]);
  EXPECT_EQ(1, toc[2]);  // first track
  EXPECT_EQ(1, toc[3]);  // last track
  EXPECT_EQ(0, toc[4]);
  EXPECT_EQ(0x04, toc[5]);  // control 4 (data), address nibble 0
  EXPECT_TRUE(AllZero(toc + 6, 804 - 6));
}

TEST(DiskControlsTest, PlainSuccessesAndUnknownCodes) {
  for (uint32_t code :
       {IOCTL_DISK_CHECK_VERIFY, IOCTL_DISK_MEDIA_REMOVAL, IOCTL_STORAGE_CHECK_VERIFY2,
        IOCTL_STORAGE_CHECK_VERIFY, IOCTL_STORAGE_MEDIA_REMOVAL, IOCTL_CDROM_CHECK_VERIFY}) {
    const Answer a = Ask(code, 0);
    EXPECT_EQ(STATUS_SUCCESS, a.status) << std::hex << code;
    EXPECT_EQ(0u, a.information);
  }
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Ask(0x12345, 64).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Ask(IOCTL_VDISK_QUERY, 1264).status);
}

}  // namespace
}  // namespace quensaria::driver
