// A file system that keeps a checksummed superblock in sector 0 (XFS) on a
// whole network disk: the real quensaria serving an image file, the real
// velmoran mounting it, a loop device on the device file, on 127.0.0.1 at a
// port picked at run time. The disk-signature stamp must not touch such a
// sector 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/service_and_driver_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;

class VelmoranXfsTest : public ServiceAndDriverTest {
 protected:
  void SetUp() override {
    if (Shell("command -v mkfs.xfs && command -v xfs_repair && grep -qw xfs /proc/filesystems")
            .code != 0) {
      GTEST_SKIP() << "needs xfsprogs and XFS in the kernel";
    }
    ServiceAndDriverTest::SetUp();
  }
};

TEST_F(VelmoranXfsTest, XfsOnAWholeNetworkDiskIsMadeMountedWrittenAndClean) {
  const std::string image = scratch_.File("export.img");
  // XFS wants at least 300 MB; the image stays sparse.
  ASSERT_EQ(0, Shell("truncate -s 512M " + image).code);
  const int port = stack_.Export(image, "full");
  CommandResult r = stack_.velmoran()->Ctl("mount-net VelmoranEx0 127.0.0.1 " +
                                           std::to_string(port) + " --letter X");
  ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();

  const std::string loop = attached_.Loop(stack_.velmoran()->LinkPath('X'));
  ASSERT_FALSE(loop.empty());
  r = Shell("mkfs.xfs -q -f -K " + loop);
  ASSERT_EQ(0, r.code) << r.output;
  const std::string mnt = scratch_.File("mnt");
  ASSERT_TRUE(attached_.Mount(loop, mnt)) << Shell("dmesg | tail -5").output;
  ASSERT_EQ(0, Shell("echo 'over the wire' > " + mnt +
                     "/note.txt && "
                     "head -c 3000000 /dev/urandom > " +
                     mnt +
                     "/data.bin && "
                     "sha1sum < " +
                     mnt + "/data.bin > " + scratch_.File("data.sha1"))
                   .code);
  ASSERT_TRUE(attached_.Unmount(mnt));
  // Mounted again over the wire, the superblock still checks out.
  ASSERT_TRUE(attached_.Mount(loop, mnt)) << Shell("dmesg | tail -5").output;
  EXPECT_EQ("over the wire\n", Shell("cat " + mnt + "/note.txt").output);
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Detach(loop));
  ASSERT_EQ(0, stack_.velmoran()->Ctl("unmount X:").code);

  // The exported image itself is a clean XFS holding what was written.
  const CommandResult repair = Shell("xfs_repair -n -f " + image);
  EXPECT_EQ(0, repair.code) << repair.output;
  const std::string local = attached_.Loop(image);
  ASSERT_FALSE(local.empty());
  ASSERT_TRUE(attached_.Mount(local, mnt));
  EXPECT_EQ(0, Shell("sha1sum < " + mnt + "/data.bin | cmp - " + scratch_.File("data.sha1")).code);
}

}  // namespace
}  // namespace quensaria::harness
