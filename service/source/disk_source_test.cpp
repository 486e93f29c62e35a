#include "service/source/disk_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/console_capture_for_testing.h"
#include "platform/loop_device_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/source_file.h"
#include "service/source/file_io.h"
#include "service/source/memory_io_for_testing.h"
#include "shared/bytes.h"
#include "shared/win32_error.h"

namespace quensaria::source {
namespace {

constexpr uint64_t kMiB = 1 << 20;

TEST(KindFromPrefixTest, WindowsDevicePathsAreRecognisedByTheirPrefixes) {
  struct Row {
    const char* path;
    bool matches;
    SourceKind kind;
  };
  const Row rows[] = {
      {"\\\\.\\PHYSICALDRIVE0", true, SOURCE_PHYSICAL_DRIVE},
      {"\\\\.\\physicaldrive12", true, SOURCE_PHYSICAL_DRIVE},
      {"\\\\.\\Physicaldrive", true, SOURCE_PHYSICAL_DRIVE},
      {"\\\\.\\Physicaldriv", false, SOURCE_IMAGE_FILE},
      {"\\\\.\\z:", true, SOURCE_VOLUME},
      {"\\\\.\\E:", true, SOURCE_VOLUME},
      {"\\\\.\\E:\\more\\text", true, SOURCE_VOLUME},
      {"\\\\.\\1:", false, SOURCE_IMAGE_FILE},
      {"\\\\.\\E", false, SOURCE_IMAGE_FILE},
      {"C:\\images\\disk.img", false, SOURCE_IMAGE_FILE},
      {"/var/lib/images/disk.img", false, SOURCE_IMAGE_FILE},
  };
  for (const Row& row : rows) {
    SourceKind kind = SOURCE_IMAGE_FILE;
    EXPECT_EQ(KindFromPrefix(row.path, kind), row.matches) << row.path;
    if (row.matches) {
      EXPECT_EQ(kind, row.kind) << row.path;
    }
  }
}

ServerConfig ConfigFor(const std::string& path, int32_t cache = 0) {
  ServerConfig config{};
  std::strncpy(config.Source, path.c_str(), sizeof config.Source - 1);
  config.Cache = cache;
  return config;
}

class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(std::filesystem::file_size(path_), bytes.size());
  }
  const std::string& path() const { return path_; }

 private:
  testing::ScratchDir scratch_;  // removed with the file in it
  const std::string path_ = scratch_.File("source.img");
};

TEST(DiskSourceTest, ImageFileIsServedAsItIsWithItsOwnSize) {
  std::vector<uint8_t> bytes(3 * kMiB + 7);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  TempFile file(bytes);
  Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(file.path(), 5));
  ASSERT_TRUE(source.ok()) << source.status().ToString();
  DiskSource& s = *source.value();
  EXPECT_EQ(s.kind(), SOURCE_IMAGE_FILE);
  EXPECT_EQ(s.disk_size(), bytes.size());
  EXPECT_EQ(s.header_size(), 0u);
  EXPECT_EQ(s.TranslateOffset(12345), 12345u);
  ASSERT_NE(s.cache(), nullptr);
  EXPECT_EQ(s.cache()->capacity(), 15u);

  uint8_t sector[512];
  ASSERT_EQ(s.io().Read(3 * kMiB - 505, sector, 512).bytes, 512u);
  EXPECT_EQ(0, std::memcmp(sector, bytes.data() + 3 * kMiB - 505, 512));
  uint8_t tail[16];
  EXPECT_EQ(s.io().Read(3 * kMiB, tail, 16).bytes, 7u);  // short at the end
  const uint8_t changed[4] = {1, 2, 3, 4};
  ASSERT_EQ(s.io().Write(100, changed, 4).bytes, 4u);
  ASSERT_EQ(s.io().Read(98, sector, 8).bytes, 8u);
  EXPECT_EQ(sector[2], 1);
  EXPECT_EQ(sector[5], 4);
  EXPECT_EQ(sector[6], bytes[104]);
}

TEST(DiskSourceTest, NegativeCacheSettingMeansTheBaseTenBlocks) {
  TempFile file(std::vector<uint8_t>(4096));
  Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(file.path(), -3));
  ASSERT_TRUE(source.ok());
  EXPECT_EQ(source.value()->cache()->capacity(), 10u);
}

TEST(DiskSourceTest, OpenFailsWithTheOperatingSystemError) {
  Result<std::unique_ptr<DiskSource>> missing =
      DiskSource::Open(ConfigFor("/nonexistent-dir/quensaria.img"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ERROR_FILE_NOT_FOUND);
  Result<std::unique_ptr<DiskSource>> directory = DiskSource::Open(ConfigFor("/tmp"));
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.status().code(), ERROR_ACCESS_DENIED);
}

// A start that fails for its source says why: else an export at the
// service's start, or one a configurator starts, just does not come up.
TEST(DiskSourceTest, ASourceThatCannotBeOpenedIsSaidOnTheConsole) {
  struct Row {
    const char* path;
    const char* reason;
  };
  const Row rows[] = {
      {"/nonexistent-dir/quensaria.img", "No such file or directory"},
      {"/tmp", "Is a directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    testing::ConsoleCapture console;
    Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(row.path));
    console.Stop();
    ASSERT_FALSE(source.ok());
    const auto lines = console.lines();
    ASSERT_EQ(lines.size(), 1u) << "nothing said";
    EXPECT_EQ(lines[0].first, platform::ConsolePriority::kError);
    EXPECT_EQ(lines[0].second.rfind(std::string(row.path) + ": cannot be served: ", 0), 0u)
        << lines[0].second;
    EXPECT_NE(lines[0].second.find(row.reason), std::string::npos) << lines[0].second;
  }
}

// A pipe or a character device has no blocks and no size: served, it was an
// empty disk whose every transfer failed.
TEST(DiskSourceTest, APipeOrACharacterDeviceIsNoSource) {
  testing::ScratchDir scratch;
  const std::string pipe = scratch.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const std::string& path : {pipe, std::string("/dev/null")}) {
    Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(path));
    ASSERT_FALSE(source.ok()) << path << " was opened as a disk of " << source.value()->disk_size()
                              << " bytes";
    EXPECT_EQ(source.status().code(), ERROR_NOT_SUPPORTED) << path;
  }
}

TEST(DiskSourceTest, CacheHandleIsUnbufferedOnAFileSystemThatAllowsIt) {
  TempFile file(std::vector<uint8_t>(2 * kMiB, 0x5A));
  Result<std::unique_ptr<FileIo>> io = FileIo::Open(file.path());
  ASSERT_TRUE(io.ok());
  // Asked of the platform (whose own test checks it against the file system),
  // so that a fault in FileIo fails here instead of skipping.
  bool direct = false;
  ASSERT_TRUE(platform::OpenUnbuffered(file.path(), direct).ok());
  if (!direct) GTEST_SKIP() << "the file system of TMPDIR refuses O_DIRECT";
  EXPECT_TRUE(io.value()->cache_is_direct());
  platform::AlignedBytes block = platform::AllocateAligned(kMiB);
  const IoResult r = io.value()->CacheRead(512, block.get(), kMiB);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, kMiB);
  EXPECT_EQ(block[kMiB - 1], 0x5A);
}

// The cache handle is the I/O handle's file, even when another file is
// renamed into the path between the two opens: else the read cache would
// serve another file's blocks.
TEST(DiskSourceTest, CacheHandleIsTheFileOfTheIoHandleThoughThePathIsReplaced) {
  TempFile file(std::vector<uint8_t>(64 * 1024, 0x5A));
  const std::string other = file.path() + ".other";
  std::ofstream(other, std::ios::binary) << std::string(64 * 1024, '\xA5');
  FileIo::SetBetweenOpensForTesting(
      [&] { ASSERT_EQ(::rename(other.c_str(), file.path().c_str()), 0); });
  Result<std::unique_ptr<FileIo>> io = FileIo::Open(file.path());
  FileIo::SetBetweenOpensForTesting({});
  ASSERT_TRUE(io.ok()) << io.status().ToString();
  struct stat io_st {};
  struct stat cache_st {};
  ASSERT_EQ(::fstat(io.value()->io_fd(), &io_st), 0);
  ASSERT_EQ(::fstat(io.value()->cache_fd(), &cache_st), 0);
  EXPECT_EQ(io_st.st_dev, cache_st.st_dev);
  EXPECT_EQ(io_st.st_ino, cache_st.st_ino) << "the cache handle names another file";
  platform::AlignedBytes block = platform::AllocateAligned(4096);
  const IoResult r = io.value()->CacheRead(0, block.get(), 4096);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 4096u);
  EXPECT_EQ(block[4095], 0x5A);
}

TEST(DiskSourceTest, VolumeIsAWholeDiskWithASynthesizedHeader) {
  const uint64_t partition = 1024 * kMiB;  // 1 GiB, never allocated
  DiskSource s(SOURCE_VOLUME, partition, 0x07, std::make_unique<MemoryIo>(std::vector<uint8_t>()),
               10);
  EXPECT_EQ(s.disk_size(), 1073741824u + 32256u);
  EXPECT_EQ(s.header_size(), 32256u);
  EXPECT_EQ(s.TranslateOffset(32256), 0u);
  EXPECT_EQ(s.TranslateOffset(32256 + 4096), 4096u);

  const auto& sector = s.sector0();
  EXPECT_EQ(0, std::memcmp(sector.data(), MbrBootProgram().data(), kBootProgramSize));
  EXPECT_EQ(LoadLe32(sector.data() + 440), 0u);
  const uint8_t* entry = sector.data() + 446;
  EXPECT_EQ(entry[0], 0x80);
  EXPECT_EQ(entry[1], 0x01);
  EXPECT_EQ(entry[2], 0x01);
  EXPECT_EQ(entry[3], 0x00);
  EXPECT_EQ(entry[4], 0x07);
  EXPECT_EQ(LoadLe32(entry + 8), 63u);
  EXPECT_EQ(LoadLe32(entry + 12), 2097152u);
  for (int i = 462; i < 510; ++i) ASSERT_EQ(sector[i], 0) << i;
  EXPECT_EQ(sector[510], 0x55);
  EXPECT_EQ(sector[511], 0xAA);
}

TEST(DiskSourceTest, VolumeOverTwoTebibytesClaimsTheLargestSectorCount) {
  // 2 TiB and 1 MiB: its sector count does not fit the entry's 32 bits.
  const uint64_t partition = (uint64_t{1} << 41) + kMiB;
  DiskSource s(SOURCE_VOLUME, partition, 0x83, std::make_unique<MemoryIo>(std::vector<uint8_t>()),
               10);
  EXPECT_EQ(s.disk_size(), partition + 32256u);
  EXPECT_EQ(LoadLe32(s.sector0().data() + 446 + 12), 0xFFFFFFFFu);
}

// Real block devices: a loop device over an image with a partition table.
class BlockDeviceSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = platform::LoopDisk::UnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  std::unique_ptr<platform::LoopDisk> MakeDisk(const std::string& script) {
    Result<std::unique_ptr<platform::LoopDisk>> disk =
        platform::LoopDisk::Create(32 * kMiB, script);
    EXPECT_TRUE(disk.ok()) << disk.status().ToString();
    return disk.ok() ? std::move(disk).value() : nullptr;
  }
};

TEST_F(BlockDeviceSourceTest, WholeDiskIsAPhysicalDriveOfItsExactSize) {
  auto disk = MakeDisk("label: dos\nstart=2048, size=8192, type=83\n");
  ASSERT_NE(disk, nullptr);
  Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(disk->device()));
  ASSERT_TRUE(source.ok()) << source.status().ToString();
  EXPECT_EQ(source.value()->kind(), SOURCE_PHYSICAL_DRIVE);
  EXPECT_EQ(source.value()->disk_size(), 32 * kMiB);
  EXPECT_EQ(source.value()->header_size(), 0u);
}

TEST_F(BlockDeviceSourceTest, PartitionIsAVolumeWithItsTypeAndSectorCount) {
  struct Row {
    const char* script;
    uint8_t type;
  };
  const Row rows[] = {
      {"label: dos\nstart=2048, size=10240, type=83\n", 0x83},
      {"label: dos\nstart=4096, size=20480, type=7\n", 0x07},
      {"label: gpt\nstart=2048, size=10240, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n", 0x83},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.script);
    auto disk = MakeDisk(row.script);
    ASSERT_NE(disk, nullptr);
    const uint64_t sectors = row.type == 0x07 ? 20480 : 10240;
    Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(disk->partition(1)));
    ASSERT_TRUE(source.ok()) << source.status().ToString();
    DiskSource& s = *source.value();
    EXPECT_EQ(s.kind(), SOURCE_VOLUME);
    EXPECT_EQ(s.disk_size(), sectors * 512 + 32256);
    EXPECT_EQ(s.sector0()[446 + 4], row.type);
    EXPECT_EQ(LoadLe32(s.sector0().data() + 446 + 8), 63u);
    EXPECT_EQ(LoadLe32(s.sector0().data() + 446 + 12), sectors);

    // Source offset 0 is the partition's first byte on the disk.
    const uint8_t mark[8] = {'P', 'A', 'R', 'T', 'O', 'N', 'E', '!'};
    ASSERT_EQ(s.io().Write(0, mark, 8).bytes, 8u);
    source.value().reset();
    std::ifstream image(disk->image(), std::ios::binary);
    image.seekg(static_cast<std::streamoff>((row.type == 0x07 ? 4096 : 2048) * 512));
    char seen[8];
    image.read(seen, 8);
    EXPECT_EQ(0, std::memcmp(seen, mark, 8));
  }
}

// The partition's type is read from the partition served, even when the
// path is made to name another one while the export opens it.
TEST_F(BlockDeviceSourceTest, APartitionsTypeIsThatOfThePartitionOpened) {
  auto linux_disk = MakeDisk("label: dos\nstart=2048, size=10240, type=83\n");
  auto windows_disk = MakeDisk("label: dos\nstart=2048, size=10240, type=7\n");
  ASSERT_NE(linux_disk, nullptr);
  ASSERT_NE(windows_disk, nullptr);
  testing::ScratchDir scratch;
  const std::string link = scratch.File("partition");
  ASSERT_EQ(::symlink(linux_disk->partition(1).c_str(), link.c_str()), 0);
  const std::string moved = scratch.File("moved");
  ASSERT_EQ(::symlink(windows_disk->partition(1).c_str(), moved.c_str()), 0);
  FileIo::SetBetweenOpensForTesting([&] { ASSERT_EQ(::rename(moved.c_str(), link.c_str()), 0); });
  Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(link));
  FileIo::SetBetweenOpensForTesting({});
  ASSERT_TRUE(source.ok()) << source.status().ToString();
  EXPECT_EQ(source.value()->kind(), SOURCE_VOLUME);
  EXPECT_EQ(source.value()->sector0()[446 + 4], 0x83) << "the type of another partition";
}

// The kind is that of what was opened, even when the path is made to name
// something else just before the open: else a partition was served without
// its header, or a file or a whole disk behind a header made for a partition.
TEST_F(BlockDeviceSourceTest, TheKindIsThatOfWhatWasOpenedThoughThePathChanged) {
  auto disk = MakeDisk("label: dos\nstart=2048, size=10240, type=83\n");
  ASSERT_NE(disk, nullptr);
  TempFile file(std::vector<uint8_t>(kMiB, 0x5A));
  struct Row {
    std::string before;
    std::string after;
    SourceKind kind;
    uint64_t disk_size;
  };
  const uint64_t volume_size = 10240 * 512 + kVolumeHeaderSize;
  const Row rows[] = {
      {disk->partition(1), file.path(), SOURCE_IMAGE_FILE, kMiB},
      {file.path(), disk->partition(1), SOURCE_VOLUME, volume_size},
      {disk->partition(1), disk->device(), SOURCE_PHYSICAL_DRIVE, 32 * kMiB},
      {disk->device(), disk->partition(1), SOURCE_VOLUME, volume_size},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before + " replaced by " + row.after);
    testing::ScratchDir scratch;
    const std::string link = scratch.File("source");
    const std::string moved = scratch.File("moved");
    ASSERT_EQ(::symlink(row.before.c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink(row.after.c_str(), moved.c_str()), 0);
    DiskSource::SetBeforeOpenForTesting(
        [&] { ASSERT_EQ(::rename(moved.c_str(), link.c_str()), 0); });
    Result<std::unique_ptr<DiskSource>> source = DiskSource::Open(ConfigFor(link));
    DiskSource::SetBeforeOpenForTesting({});
    ASSERT_TRUE(source.ok()) << source.status().ToString();
    EXPECT_EQ(source.value()->kind(), row.kind);
    EXPECT_EQ(source.value()->disk_size(), row.disk_size);
    if (row.kind == SOURCE_VOLUME) {
      EXPECT_EQ(source.value()->sector0()[446 + 4], 0x83);
    }
  }
}

}  // namespace
}  // namespace quensaria::source
