#include "configurator/image/create_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file_size_limit_for_testing.h"
#include "platform/scratch_dir_for_testing.h"

namespace quensaria::configurator {
namespace {

using quensaria::testing::ReadBytes;
using quensaria::testing::ScratchDir;

struct SizeCase {
  uint64_t mib;
  ImageFileSystem fs;
  bool ok;
  const char* message_part;  // some words of the refusal; none when accepted
  uint64_t corrected;
};

class CheckImageSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CheckImageSizeTest, AcceptsOrRefusesWithTheFieldsNewValue) {
  const SizeCase& c = GetParam();
  SizeCheck check = CheckImageSize(c.mib, c.fs);
  EXPECT_EQ(check.ok, c.ok);
  if (c.ok) {
    EXPECT_EQ(check.message, "");
  } else {
    ASSERT_NE(*c.message_part, '\0');
    EXPECT_NE(check.message.find(c.message_part), std::string::npos) << check.message;
  }
  EXPECT_EQ(check.corrected_mib, c.corrected);
}

constexpr auto kFat = ImageFileSystem::kFat;
constexpr auto kFat32 = ImageFileSystem::kFat32;

INSTANTIATE_TEST_SUITE_P(
    Sizes, CheckImageSizeTest,
    ::testing::Values(
        SizeCase{0, kFat, false, "The file size must greater than 8 MB", 8},
        SizeCase{7, kFat, false, "The file size must greater than 8 MB", 8},
        SizeCase{7, kFat32, false, "The file size must greater than 8 MB", 8},
        SizeCase{8, kFat, true, "", 8}, SizeCase{4095, kFat, true, "", 4095},
        // 4096 would need 65531 clusters: refused, and the field takes the
        // largest size that works rather than 4096 again.
        SizeCase{4096, kFat, false, "4095 MB", 4095},
        SizeCase{4097, kFat, false, "The FAT file system only support as max as 4GB", 4095},
        SizeCase{UINT64_MAX, kFat, false, "The FAT file system only support as max as 4GB", 4095},
        SizeCase{8, kFat32, false, "at least 33 MB", 33},
        SizeCase{32, kFat32, false, "at least 33 MB", 33}, SizeCase{33, kFat32, true, "", 33},
        SizeCase{260, kFat32, false, "65525 clusters", 261}, SizeCase{4097, kFat32, true, "", 4097},
        SizeCase{2097151, kFat32, true, "", 2097151},
        SizeCase{2097152, kFat32, false, "2 TB", 2097151},
        SizeCase{UINT64_MAX, kFat32, false, "2 TB", 2097151}));

class CreateImageTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& path, size_t bytes, char fill) {
    std::ofstream out(path, std::ios::binary);
    std::string chunk(1 << 20, fill);
    for (size_t done = 0; done < bytes; done += chunk.size())
      out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), bytes - done)));
  }
  uint64_t Allocated(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
  }
  // The names in the scratch folder, sorted.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<uint8_t> Pattern(size_t bytes) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    return data;
  }
  void WriteBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
  }
  ScratchDir dir_;
  RandSequence serials_;
};

using testing::FileSizeLimit;

constexpr char kFileTooLarge[] =
    "A system error ' File too large 'occured while writing data to this file .";

TEST_F(CreateImageTest, ReplacesAnExistingFile) {
  std::string path = dir_.File("old.img");
  WriteFile(path, 48 << 20, '\xAB');  // larger than the new image, full of data
  Status s = CreateImage(path, 33, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(std::filesystem::file_size(path), 33u << 20);
  // Old bytes are gone everywhere the new image did not write.
  for (uint64_t offset : {uint64_t{512}, uint64_t{1} << 20, (uint64_t{33} << 20) - 4096}) {
    std::vector<uint8_t> bytes = ReadBytes(path, offset, 4096);
    EXPECT_EQ(bytes, std::vector<uint8_t>(4096, 0)) << offset;
  }
  EXPECT_LT(Allocated(path), 1u << 20);
}

TEST_F(CreateImageTest, ARefusedSizeLeavesAnExistingFileAlone) {
  std::string path = dir_.File("keep.img");
  WriteFile(path, 4096, 'k');
  EXPECT_FALSE(CreateImage(path, 7, kFat, serials_).ok());
  EXPECT_EQ(ReadBytes(path, 0, 8192), std::vector<uint8_t>(4096, 'k'));
}

// The new image is put in the old one's place only once it is complete: a
// disk that fills while it is sized leaves the old image byte for byte, and
// where there was none, nothing.
TEST_F(CreateImageTest, AFailurePartWayLeavesTheOldImageAsItWas) {
  const std::string path = dir_.File("old.img");
  const std::vector<uint8_t> old = Pattern(256 << 10);
  WriteBytes(path, old);
  const std::string fresh = dir_.File("fresh.img");
  {
    FileSizeLimit limit(1 << 20);
    Status s = CreateImage(path, 33, kFat, serials_);
    EXPECT_EQ(s.message(), kFileTooLarge);
    s = CreateImage(fresh, 33, kFat, serials_);
    EXPECT_EQ(s.message(), kFileTooLarge);
  }
  EXPECT_TRUE(ReadBytes(path, 0, 1 << 20) == old) << "the old image was lost";
  EXPECT_EQ(Names(), std::vector<std::string>{"old.img"}) << "a part-made image was left";

  Status s = CreateImage(path, 33, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(std::filesystem::file_size(path), 33u << 20);
  EXPECT_EQ(ReadBytes(path, 4096, 4096), std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(Names(), std::vector<std::string>{"old.img"});
}

// A symbolic link at the path stays as it was when the image fails, and is
// replaced (never followed) when it is made.
TEST_F(CreateImageTest, ALinkIsKeptOnAFailureAndReplacedNotFollowed) {
  const std::string target = dir_.File("target.txt");
  WriteBytes(target, Pattern(1000));
  const std::string link = dir_.File("link.img");
  std::filesystem::create_symlink(target, link);
  {
    FileSizeLimit limit(1 << 20);
    EXPECT_EQ(CreateImage(link, 33, kFat, serials_).message(), kFileTooLarge);
  }
  ASSERT_TRUE(std::filesystem::is_symlink(link)) << "the link was removed";
  EXPECT_EQ(std::filesystem::read_symlink(link), target);
  EXPECT_EQ(Names(), (std::vector<std::string>{"link.img", "target.txt"}));

  Status s = CreateImage(link, 33, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::file_size(link), 33u << 20);
  EXPECT_TRUE(ReadBytes(target, 0, 4096) == Pattern(1000)) << "written through the link";
  EXPECT_EQ(Names(), (std::vector<std::string>{"link.img", "target.txt"}));
}

// The image's name is durable only once its folder is synced too: after a
// power cut a file fsynced in a folder that was not can be missing.
class ImageFolderSyncTest : public CreateImageTest {
 protected:
  void TearDown() override { SetFolderSyncForTesting(nullptr); }
  // Counts the folder's syncs, checking that each is of the image's folder
  // and comes once the image is in it at its full size; the first
  // `interrupted` are answered EINTR, then `answer` (an errno, or 0: the
  // real fsync).
  void CountSyncs(const std::string& path, uint64_t bytes, int interrupted = 0, int answer = 0) {
    SetFolderSyncForTesting([this, path, bytes, interrupted, answer](int fd) {
      struct stat folder, expected;
      EXPECT_EQ(fstat(fd, &folder), 0);
      EXPECT_EQ(stat(dir_.path().c_str(), &expected), 0);
      EXPECT_TRUE(S_ISDIR(folder.st_mode) && folder.st_ino == expected.st_ino &&
                  folder.st_dev == expected.st_dev)
          << "another file was synced";
      std::error_code error;
      EXPECT_EQ(std::filesystem::file_size(path, error), bytes) << "synced before the image";
      if (++syncs_ <= interrupted) {
        errno = EINTR;
        return -1;
      }
      if (answer != 0) {
        errno = answer;
        return -1;
      }
      return fsync(fd);
    });
  }
  int syncs_ = 0;
};

TEST_F(ImageFolderSyncTest, ANewOrReplacedImageHasItsFolderSynced) {
  const std::string path = dir_.File("new.img");
  CountSyncs(path, 33u << 20);
  Status s = CreateImage(path, 33, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(syncs_, 1) << "the folder holding the new name was not synced";

  // Over an old file: its removal and the new name go in one sync.
  syncs_ = 0;
  CountSyncs(path, 40u << 20);
  s = CreateImage(path, 40, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(syncs_, 1) << "the folder of the replaced image was not synced";
}

TEST_F(ImageFolderSyncTest, AnInterruptedFolderSyncIsMadeAgain) {
  const std::string path = dir_.File("interrupted.img");
  CountSyncs(path, 33u << 20, /*interrupted=*/2);
  Status s = CreateImage(path, 33, kFat, serials_);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(syncs_, 3);
}

TEST_F(ImageFolderSyncTest, AFolderSyncThatFailsFailsTheImage) {
  const std::string path = dir_.File("failed.img");
  CountSyncs(path, 33u << 20, 0, EIO);
  Status s = CreateImage(path, 33, kFat, serials_);
  EXPECT_FALSE(s.ok()) << "an image whose name may be lost was reported made";
  EXPECT_EQ(s.message(),
            "A system error ' Input/output error 'occured while writing data to "
            "this file .");
}

// A folder whose sync fails may not hold the new name after a power cut:
// the old image is put back as it was, and a new one where there was none
// is not left.
TEST_F(ImageFolderSyncTest, AFolderSyncThatFailsLeavesTheOldImage) {
  const std::string path = dir_.File("old.img");
  const std::vector<uint8_t> old = Pattern(256 << 10);
  WriteBytes(path, old);
  CountSyncs(path, 33u << 20, 0, EIO);
  Status s = CreateImage(path, 33, kFat, serials_);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(syncs_, 1);
  EXPECT_TRUE(ReadBytes(path, 0, 1 << 20) == old) << "the old image was lost";
  EXPECT_EQ(Names(), std::vector<std::string>{"old.img"});

  const std::string fresh = dir_.File("fresh.img");
  CountSyncs(fresh, 33u << 20, 0, EIO);
  EXPECT_FALSE(CreateImage(fresh, 33, kFat, serials_).ok());
  EXPECT_EQ(Names(), std::vector<std::string>{"old.img"}) << "an image not made was left";
}

}  // namespace
}  // namespace quensaria::configurator
