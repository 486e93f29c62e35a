#include "configurator/image/format_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "configurator/image/boot_programs.h"
#include "configurator/image/create_image.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/bytes.h"
#include "shared/master_boot_record.h"
#include "shared/win32_error.h"

namespace quensaria::configurator {
namespace {

using quensaria::testing::ReadBytes;
using quensaria::testing::ScratchDir;

constexpr uint64_t kP = 32256;  // the partition's first byte

bool AllZero(const std::vector<uint8_t>& bytes, size_t from = 0, size_t to = SIZE_MAX) {
  for (size_t i = from; i < std::min(to, bytes.size()); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

std::string Text(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
  return std::string(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

class FormatImageTest : public ::testing::Test {
 protected:
  // Creates an image with the real create flow and this test's own serials.
  std::string Create(uint64_t mib, ImageFileSystem fs, const std::string& name = "disk.img") {
    std::string path = dir_.File(name);
    Status s = CreateImage(path, mib, fs, serials_);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return path;
  }
  std::vector<uint8_t> Read(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> bytes = ReadBytes(path, offset, length);
    EXPECT_EQ(bytes.size(), length) << "short read at " << offset;
    return bytes;
  }
  uint64_t FileSize(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_size);
  }
  uint64_t Allocated(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
  }

  // The master boot record every image has, with its partition type and
  // sector count.
  void ExpectMasterBootRecord(const std::string& path, uint8_t type, uint32_t sectors) {
    std::vector<uint8_t> mbr = Read(path, 0, 512);
    EXPECT_EQ(std::memcmp(mbr.data(), MbrBootProgram().data(), 440), 0);
    EXPECT_EQ(mbr[440], 0xFE);
    EXPECT_EQ(mbr[441], 0x03);
    EXPECT_EQ(mbr[442], 0xBE);
    EXPECT_EQ(mbr[443], 0x7A);
    EXPECT_TRUE(AllZero(mbr, 444, 446));
    const uint8_t entry[8] = {0x80, 0x01, 0x01, 0x00, type, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(&mbr[446], entry, 8), 0);
    EXPECT_EQ(LoadLe32(&mbr[454]), 63u);
    EXPECT_EQ(LoadLe32(&mbr[458]), sectors);
    EXPECT_TRUE(AllZero(mbr, 462, 510));
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    EXPECT_TRUE(AllZero(Read(path, 512, 31744)));
  }

  ScratchDir dir_;
  RandSequence serials_;
};

// Every field of the FAT boot sector at a 200 MiB image.
TEST_F(FormatImageTest, Fat200MibHasTheDialogDefaultLayout) {
  std::string path = Create(200, ImageFileSystem::kFat);
  EXPECT_EQ(FileSize(path), 200u * 1048576);
  ExpectMasterBootRecord(path, 0x0E, 409537);

  std::vector<uint8_t> b = Read(path, kP, 512);
  EXPECT_EQ(b[0], 0xEB);
  EXPECT_EQ(b[1], 0x3C);
  EXPECT_EQ(b[2], 0x90);
  EXPECT_EQ(Text(b, 3, 8), "Ostravin");
  EXPECT_EQ(LoadLe16(&b[11]), 4096);
  EXPECT_EQ(b[13], 16);
  EXPECT_EQ(LoadLe16(&b[14]), 1);
  EXPECT_EQ(b[16], 2);
  EXPECT_EQ(LoadLe16(&b[17]), 512);
  EXPECT_EQ(LoadLe16(&b[19]), 0);
  EXPECT_EQ(b[21], 0xF8);
  // 3198 clusters of 12 bits, plus two reserved entries: 4800 bytes.
  EXPECT_EQ(LoadLe16(&b[22]), 2);
  EXPECT_EQ(LoadLe16(&b[24]), 63);
  EXPECT_EQ(LoadLe16(&b[26]), 255);
  EXPECT_EQ(LoadLe32(&b[28]), 63u);
  EXPECT_EQ(LoadLe32(&b[32]), 51192u);
  EXPECT_EQ(b[36], 0x80);
  EXPECT_EQ(b[37], 0);
  EXPECT_EQ(b[38], 0x29);
  EXPECT_EQ(LoadLe32(&b[39]), 41u);  // the sequence's first value
  EXPECT_EQ(Text(b, 43, 11), "Quensaria  ");
  EXPECT_EQ(Text(b, 54, 8), "FAT16   ");
  EXPECT_EQ(std::memcmp(&b[62], FatBootProgram().data(), 448), 0);
  EXPECT_EQ(b[510], 0x55);
  EXPECT_EQ(b[511], 0xAA);

  // Both FATs start with the media entry and an end-of-chain entry, 12 bits
  // each; the root directory's first entry is the label.
  const std::vector<uint8_t> fat12_head = {0xF8, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(Read(path, kP + 1 * 4096, 4), fat12_head);
  EXPECT_TRUE(AllZero(Read(path, kP + 1 * 4096 + 3, 2 * 4096 - 3)));
  EXPECT_EQ(Read(path, kP + 3 * 4096, 4), fat12_head);
  std::vector<uint8_t> root = Read(path, kP + 5 * 4096, 4 * 4096);
  EXPECT_EQ(Text(root, 0, 11), "Quensaria  ");
  EXPECT_EQ(root[11], 0x08);
  EXPECT_TRUE(AllZero(root, 12));
  // The rest of the boot sector's volume sector stays zero.
  EXPECT_TRUE(AllZero(Read(path, kP + 512, 4096 - 512)));
}

TEST_F(FormatImageTest, Fat32MibUsesTheSixteenBitTotal) {
  std::string path = Create(32, ImageFileSystem::kFat);
  std::vector<uint8_t> b = Read(path, kP, 512);
  EXPECT_EQ(LoadLe16(&b[19]), 8184);
  EXPECT_EQ(LoadLe32(&b[32]), 0u);
  ExpectMasterBootRecord(path, 0x0E, 32 * 2048 - 63);
}

TEST_F(FormatImageTest, Fat33MibUsesTheThirtyTwoBitTotal) {
  std::string path = Create(33, ImageFileSystem::kFat);
  std::vector<uint8_t> b = Read(path, kP, 512);
  EXPECT_EQ(LoadLe16(&b[19]), 0);
  EXPECT_EQ(LoadLe32(&b[32]), 8440u);
}

TEST_F(FormatImageTest, Fat4095MibIsFat16) {
  std::string path = Create(4095, ImageFileSystem::kFat);
  std::vector<uint8_t> b = Read(path, kP, 512);
  uint16_t fat_sectors = LoadLe16(&b[22]);
  EXPECT_EQ(fat_sectors, 32);  // 65515 clusters of 16 bits
  const std::vector<uint8_t> fat16_head = {0xF8, 0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(Read(path, kP + 4096, 5), fat16_head);
  EXPECT_EQ(Read(path, kP + (1 + 32) * 4096, 5), fat16_head);
  EXPECT_EQ(Text(Read(path, kP + (1 + 64) * 4096, 11), 0, 11), "Quensaria  ");
}

TEST_F(FormatImageTest, EachFatImageTakesTheNextSerialNumber) {
  std::string first = Create(8, ImageFileSystem::kFat, "a.img");
  Create(33, ImageFileSystem::kFat32, "b.img");  // FAT32 has its fixed number
  std::string third = Create(8, ImageFileSystem::kFat, "c.img");
  EXPECT_EQ(LoadLe32(Read(first, kP + 39, 4).data()), 41u);
  EXPECT_EQ(LoadLe32(Read(third, kP + 39, 4).data()), 18467u);
}

TEST_F(FormatImageTest, Fat32With1024MibPlacesEveryStructure) {
  std::string path = Create(1024, ImageFileSystem::kFat32);
  ExpectMasterBootRecord(path, 0x0B, 1024 * 2048 - 63);

  std::vector<uint8_t> b = Read(path, kP, 512);
  EXPECT_EQ(b[0], 0xEB);
  EXPECT_EQ(b[1], 0x58);
  EXPECT_EQ(b[2], 0x90);
  EXPECT_EQ(Text(b, 3, 8), "Ostravin");
  EXPECT_EQ(LoadLe16(&b[11]), 512);
  EXPECT_EQ(b[13], 8);
  EXPECT_EQ(LoadLe16(&b[14]), 32);
  EXPECT_EQ(b[16], 2);
  EXPECT_EQ(LoadLe16(&b[17]), 0);
  EXPECT_EQ(LoadLe16(&b[19]), 0);
  EXPECT_EQ(b[21], 0xF8);
  EXPECT_EQ(LoadLe16(&b[22]), 0);
  EXPECT_EQ(LoadLe16(&b[24]), 63);
  EXPECT_EQ(LoadLe16(&b[26]), 255);
  EXPECT_EQ(LoadLe32(&b[28]), 63u);
  EXPECT_EQ(LoadLe32(&b[32]), 2097088u);
  EXPECT_EQ(LoadLe32(&b[36]), 16257u);
  EXPECT_EQ(LoadLe16(&b[40]), 0);
  EXPECT_EQ(LoadLe16(&b[42]), 0);
  EXPECT_EQ(LoadLe32(&b[44]), 2u);
  EXPECT_EQ(LoadLe16(&b[48]), 1);
  EXPECT_EQ(LoadLe16(&b[50]), 6);
  EXPECT_TRUE(AllZero(b, 52, 64));
  EXPECT_EQ(b[64], 0x80);
  EXPECT_EQ(b[65], 0);
  EXPECT_EQ(b[66], 0x29);
  const std::vector<uint8_t> serial = {0xA7, 0xF7, 0x36, 0xCC};
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 67, b.begin() + 71), serial);
  EXPECT_EQ(Text(b, 71, 11), "NO NAME    ");
  EXPECT_EQ(Text(b, 82, 8), "FAT32   ");
  EXPECT_EQ(std::memcmp(&b[90], Fat32BootProgram().data(), 420), 0);
  EXPECT_EQ(b[510], 0x55);
  EXPECT_EQ(b[511], 0xAA);

  // The reserved area: FSInfo at 1 and 7, signature sectors at 2 and 8, the
  // boot sector's backup at 6, zeros elsewhere.
  std::vector<uint8_t> reserved = Read(path, kP, 32 * 512);
  for (size_t sector : {1u, 7u}) {
    const uint8_t* s = &reserved[sector * 512];
    EXPECT_EQ(LoadLe32(s), 0x41615252u);
    EXPECT_EQ(LoadLe32(s + 484), 0x61417272u);
    EXPECT_EQ(LoadLe32(s + 488), 0xFFFFFFFFu);
    EXPECT_EQ(LoadLe32(s + 492), 0xFFFFFFFFu);
    EXPECT_EQ(LoadLe32(s + 508), 0xAA550000u);
    EXPECT_TRUE(AllZero(std::vector<uint8_t>(s + 4, s + 484)));
    EXPECT_TRUE(AllZero(std::vector<uint8_t>(s + 496, s + 508)));
  }
  for (size_t sector : {2u, 8u}) {
    const uint8_t* s = &reserved[sector * 512];
    EXPECT_TRUE(AllZero(std::vector<uint8_t>(s, s + 510)));
    EXPECT_EQ(s[510], 0x55);
    EXPECT_EQ(s[511], 0xAA);
  }
  EXPECT_EQ(std::memcmp(&reserved[6 * 512], b.data(), 512), 0);
  for (size_t sector : {3u, 4u, 5u, 9u, 20u, 31u}) {
    EXPECT_TRUE(AllZero(reserved, sector * 512, sector * 512 + 512)) << sector;
  }

  const std::vector<uint8_t> fat32_head = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Read(path, kP + 32 * 512, 16), fat32_head);
  EXPECT_EQ(Read(path, kP + 16289ull * 512, 16), fat32_head);
  std::vector<uint8_t> root = Read(path, 16695808, 512);
  EXPECT_EQ(Text(root, 0, 11), "Quensaria  ");
  EXPECT_EQ(root[11], 0x08);
  EXPECT_TRUE(AllZero(root, 12));
}

TEST_F(FormatImageTest, Fat32With100MibHasOneSectorClusters) {
  std::string path = Create(100, ImageFileSystem::kFat32);
  EXPECT_EQ(Read(path, kP + 13, 1)[0], 1);
}

// The label sector lies beyond the mapped first 100 MiB and still arrives;
// the file stays sparse.
TEST_F(FormatImageTest, Fat32With10GibWritesPastTheMappedView) {
  std::string path = Create(10240, ImageFileSystem::kFat32);
  EXPECT_EQ(FileSize(path), 10240ull * 1048576);
  std::vector<uint8_t> b = Read(path, kP, 512);
  EXPECT_EQ(b[13], 16);
  uint64_t fat_sectors = LoadLe32(&b[36]);
  uint64_t root = kP + (32 + 2 * fat_sectors) * 512;
  EXPECT_GT(root, kMappedViewLimit);
  EXPECT_EQ(Text(Read(path, root, 11), 0, 11), "Quensaria  ");
  EXPECT_EQ(Read(path, kP + (32 + fat_sectors) * 512, 4),
            (std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0x0F}));
  EXPECT_LT(Allocated(path), 1048576u);
}

TEST_F(FormatImageTest, AnUnknownFileSystemWritesNothing) {
  std::string path = dir_.File("x.img");
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 8 << 20), 0);
  Status s = FormatImage(fd, static_cast<ImageFileSystem>(2), 8 << 20, serials_);
  close(fd);
  EXPECT_EQ(s.code(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(AllZero(Read(path, 0, 64 * 1024)));
}

TEST_F(FormatImageTest, ARefusedSizeWritesNothing) {
  std::string path = dir_.File("x.img");
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 32 << 20), 0);
  Status s = FormatImage(fd, ImageFileSystem::kFat32, 32 << 20, serials_);
  close(fd);
  EXPECT_EQ(s.code(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(AllZero(Read(path, 0, 64 * 1024)));
  EXPECT_EQ(serials_.Next(), 41u) << "a refused image took a serial number";
}

}  // namespace
}  // namespace quensaria::configurator
