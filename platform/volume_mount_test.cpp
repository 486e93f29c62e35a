#include "platform/volume_mount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/loop_device.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"
#include "tests/program_for_testing.h"

namespace quensaria::platform {
namespace {

// The exit status of `command` run by the shell; its output is dropped.
int Sh(const std::string& command) {
  return testing::RunProgram({"/bin/sh", "-c", command}).exit_code;
}

class VolumeMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v mkfs.ext4 && command -v mkfs.vfat && command -v sfdisk") != 0) {
      GTEST_SKIP() << "mkfs.ext4, mkfs.vfat or sfdisk missing";
    }
  }
  // A 12 MiB disk with one partition at 1 MiB holding `mkfs`'s file system.
  std::string PartitionedDisk(const std::string& mkfs) {
    const std::string disk = dir_.File("disk.img");
    const std::string part = dir_.File("part.img");
    EXPECT_EQ(0, Sh("truncate -s 12M " + disk + " && printf 'start=2048, type=83\\n' | sfdisk -q " +
                    disk + " && truncate -s 11M " + part + " && " + mkfs + " " + part +
                    " && dd if=" + part + " of=" + disk + " bs=1M seek=1 conv=notrunc"));
    return disk;
  }
  testing::ScratchDir dir_;
};

TEST_F(VolumeMountTest, ProbeFindsTheFileSystemOnTheDiskOrItsFirstPartition) {
  const std::string whole = dir_.File("whole.img");
  ASSERT_EQ(0, Sh("mkfs.ext4 -q -F " + whole + " 8M"));
  std::optional<VolumeLocation> found = ProbeVolume(whole);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->type, "ext4");
  EXPECT_EQ(found->offset, 0u);
  EXPECT_EQ(found->size, 0u);

  found = ProbeVolume(PartitionedDisk("mkfs.vfat"));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->type, "vfat");
  EXPECT_EQ(found->offset, 1048576u);
  EXPECT_EQ(found->size, 11u * 1048576u);

  const std::string blank = dir_.File("blank.img");
  ASSERT_EQ(0, Sh("truncate -s 4M " + blank));
  EXPECT_FALSE(ProbeVolume(blank).has_value());
  // A partition table whose partition holds nothing.
  ASSERT_EQ(0, Sh("printf 'start=2048, type=83\\n' | sfdisk -q " + blank));
  EXPECT_FALSE(ProbeVolume(blank).has_value());
  EXPECT_FALSE(ProbeVolume(dir_.File("missing.img")).has_value());
}

TEST_F(VolumeMountTest, LoopDeviceShowsThePartitionAndMountsIt) {
  if (::geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0) {
    GTEST_SKIP() << "loop devices need root";
  }
  ASSERT_TRUE(HasSysAdminCapability());
  const std::string disk = PartitionedDisk("mkfs.ext4 -q -F");
  const std::optional<VolumeLocation> volume = ProbeVolume(disk);
  ASSERT_TRUE(volume.has_value());
  UniqueFd fd(::open(disk.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  Result<std::string> loop = AttachLoopDevice(fd.get(), volume->offset, volume->size, false);
  ASSERT_TRUE(loop.ok()) << loop.status().ToString();
  EXPECT_EQ(LoopDevicesBackedBy(disk), std::vector<std::string>{*loop});
  {
    UniqueFd device(::open(loop->c_str(), O_RDONLY | O_CLOEXEC));
    uint64_t size = 0;
    ASSERT_EQ(0, ::ioctl(device.get(), BLKGETSIZE64, &size));
    EXPECT_EQ(size, volume->size);
  }
  const std::string mount_point = dir_.File("mnt/X");
  ASSERT_TRUE(MountFileSystem(*loop, mount_point, volume->type, false).ok());
  EXPECT_TRUE(IsMountPoint(mount_point));
  struct stat st;
  ASSERT_EQ(0, ::stat(loop->c_str(), &st));
  EXPECT_EQ(MountPointOf(st.st_rdev), mount_point);
  // Busy while a file is open there.
  const int open_file = ::open((mount_point + "/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(open_file, 0);
  EXPECT_EQ(UnmountFileSystem(mount_point).code(), 170u);
  EXPECT_TRUE(IsMountPoint(mount_point));
  ::close(open_file);
  EXPECT_TRUE(UnmountFileSystem(mount_point).ok());
  EXPECT_FALSE(IsMountPoint(mount_point));
  EXPECT_EQ(::access(mount_point.c_str(), F_OK), -1) << "the mount point is removed";
  EXPECT_TRUE(DetachLoopDevice(*loop).ok());
  for (int i = 0; i < 500 && !LoopDevicesBackedBy(disk).empty(); ++i) ::usleep(10000);
  EXPECT_TRUE(LoopDevicesBackedBy(disk).empty());
  // A mount that fails leaves no mount point behind.
  EXPECT_FALSE(MountFileSystem("/dev/null", mount_point, "ext4", false).ok());
  EXPECT_EQ(::access(mount_point.c_str(), F_OK), -1);
}

}  // namespace
}  // namespace quensaria::platform
