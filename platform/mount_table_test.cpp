#include "platform/mount_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quensaria::platform {
namespace {

TEST(MountTableTest, FieldsAroundTheOptionalOnesAndEscapedPaths) {
  const std::vector<MountEntry> entries = ParseMountTable(
      "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "40 22 0:45 / /media/Jo\\040Doe/My\\134Disk rw,nosuid shared:20 master:3 - fuse.velmoran "
      "velmoran rw,user_id=0\n"
      "41 22 8:3 /srv\\011x /mnt/bind\\012 rw - ext4 /dev/disk\\040one rw\n"
      "42 22 0:46 / /run/odd\\04 rw - tmpfs\n");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].device_numbers, "8:2");
  EXPECT_EQ(entries[0].mount_point, "/");
  EXPECT_EQ(entries[0].type, "ext4");
  EXPECT_EQ(entries[0].source, "/dev/sda2");
  // Two optional fields before the separator; blank and backslash escaped.
  EXPECT_EQ(entries[1].mount_point, "/media/Jo Doe/My\\Disk");
  EXPECT_EQ(entries[1].type, "fuse.velmoran");
  EXPECT_EQ(entries[1].source, "velmoran");
  EXPECT_EQ(entries[2].root, "/srv\tx");
  EXPECT_EQ(entries[2].mount_point, "/mnt/bind\n");
  EXPECT_EQ(entries[2].source, "/dev/disk one");
  // An escape cut short stays as written; a missing source is empty.
  EXPECT_EQ(entries[3].mount_point, "/run/odd\\04");
  EXPECT_EQ(entries[3].type, "tmpfs");
  EXPECT_EQ(entries[3].source, "");
}

TEST(MountTableTest, LinesWithoutTheSeparatorOrTypeAreLeftOut) {
  EXPECT_TRUE(ParseMountTable("").empty());
  EXPECT_TRUE(ParseMountTable("22 1 8:2 / / rw ext4 /dev/sda2\n").empty());
  EXPECT_TRUE(ParseMountTable("22 1 8:2 / / rw -\n").empty());
  EXPECT_TRUE(ParseMountTable("22 1 8:2\n").empty());
  EXPECT_EQ(UnescapeMountField("a\\x41\\1"), "a\\x41\\1");
}

// The live table has the root file system, with the numbers of its device.
TEST(MountTableTest, TheLiveTableHoldsTheRoot) {
  struct stat root;
  ASSERT_EQ(::stat("/", &root), 0);
  const std::string numbers =
      std::to_string(major(root.st_dev)) + ":" + std::to_string(minor(root.st_dev));
  bool found = false;
  for (const MountEntry& entry : ReadMountTable()) {
    found |= entry.mount_point == "/" && entry.device_numbers == numbers;
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace quensaria::platform
