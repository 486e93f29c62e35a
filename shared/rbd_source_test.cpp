#include "shared/rbd_source.h"

#include <gtest/gtest.h>

#include "shared/win32_error.h"

namespace quensaria {
namespace {

TEST(RbdSourceTextTest, SplitsPoolImageSnapshotAndReadOnly) {
  Result<RbdName> image = ParseRbdSource("rbd:rbd/golden");
  ASSERT_TRUE(image.ok());
  EXPECT_EQ(image->pool, "rbd");
  EXPECT_EQ(image->image, "golden");
  EXPECT_EQ(image->snapshot, "");
  EXPECT_FALSE(image->read_only);

  Result<RbdName> snapshot = ParseRbdSource("rbd:pool-2/win10@monday");
  ASSERT_TRUE(snapshot.ok());
  EXPECT_EQ(snapshot->pool, "pool-2");
  EXPECT_EQ(snapshot->image, "win10");
  EXPECT_EQ(snapshot->snapshot, "monday");
  EXPECT_TRUE(snapshot->read_only) << "a snapshot is always read-only";

  Result<RbdName> read_only = ParseRbdSource("rbd:rbd/golden:ro");
  ASSERT_TRUE(read_only.ok());
  EXPECT_EQ(read_only->image, "golden");
  EXPECT_TRUE(read_only->read_only);

  Result<RbdName> both = ParseRbdSource("rbd:rbd/golden@s1:ro");
  ASSERT_TRUE(both.ok());
  EXPECT_EQ(both->snapshot, "s1");
  EXPECT_TRUE(both->read_only);
}

TEST(RbdSourceTextTest, RefusesWhatIsNotOfTheForm) {
  for (const char* text : {"rbd:", "rbd:golden", "rbd:/golden", "rbd:rbd/", "rbd:rbd/a/b",
                           "rbd:rbd/golden@", "rbd:rbd/@snap", "rbd::ro", "/srv/disk.img"}) {
    const Result<RbdName> name = ParseRbdSource(text);
    EXPECT_FALSE(name.ok()) << text;
    if (!name.ok()) {
      EXPECT_EQ(name.status().code(), ERROR_INVALID_NAME) << text;
      EXPECT_NE(name.status().message().find(kRbdSourceForm), std::string::npos) << text;
    }
  }
  EXPECT_TRUE(IsRbdSource("rbd:x"));
  EXPECT_FALSE(IsRbdSource("RBD:rbd/golden")) << "Ceph names are case-sensitive, so is the prefix";
  EXPECT_FALSE(IsRbdSource("./rbd:rbd/golden"));
}

}  // namespace
}  // namespace quensaria
