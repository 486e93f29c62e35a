// Kept files: every one under a name of its own, none ever overwritten.
#include "service/store/kept_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/whole_file.h"

namespace quensaria::store {
namespace {

namespace fs = std::filesystem;

constexpr time_t kNow = 1796684451;  // 2026-12-07 23:00:51 UTC

class KeptFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kept_files_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
  }
  void Write(const std::string& path, const std::string& data) const {
    std::ofstream(path, std::ios::binary) << data;
  }
  size_t Files() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  std::string dir_;
};

TEST_F(KeptFilesTest, NamesArePlainThenTimeStampedThenCounted) {
  EXPECT_EQ(KeptName("/d", "Locals.orig", kNow, 0), "/d/Locals.orig.xml");
  EXPECT_EQ(KeptName("/d", "Locals.orig", kNow, 1), "/d/Locals.orig-20261207T230051Z.xml");
  EXPECT_EQ(KeptName("/d", "Locals.orig", kNow, 2), "/d/Locals.orig-20261207T230051Z-2.xml");
  EXPECT_EQ(KeptName("/d", "Locals.orig", kNow, 17), "/d/Locals.orig-20261207T230051Z-17.xml");
}

TEST_F(KeptFilesTest, CopiesWithinOneSecondAllSurvive) {
  for (int i = 0; i < 5; ++i) {
    Result<std::string> kept =
        KeepCopy("copy " + std::to_string(i), dir_, "Locals.orig", kNow, 0600);
    ASSERT_TRUE(kept.ok()) << kept.status().ToString();
    EXPECT_EQ(*kept, KeptName(dir_, "Locals.orig", kNow, i));
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Read(KeptName(dir_, "Locals.orig", kNow, i)), "copy " + std::to_string(i));
    EXPECT_EQ(fs::status(KeptName(dir_, "Locals.orig", kNow, i)).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(Files(), 5u);
}

TEST_F(KeptFilesTest, KeptNamesAreRecognised) {
  for (int attempt : {0, 1, 2, 17}) {
    const std::string name = fs::path(KeptName(dir_, "Locals.orig", kNow, attempt)).filename();
    EXPECT_TRUE(IsKeptName(name, "Locals.orig")) << name;
    EXPECT_FALSE(IsKeptName(name, "Locals.broken")) << name;
  }
  for (const char* other : {"Locals.xml", "Locals.original.xml", "Locals.orig-.xml",
                            "Locals.orig.xml~", "Locals.orig", "xLocals.orig.xml"}) {
    EXPECT_FALSE(IsKeptName(other, "Locals.orig")) << other;
  }
}

TEST_F(KeptFilesTest, MovesNeverReplaceAnEarlierFile) {
  for (int i = 0; i < 3; ++i) {
    Write(dir_ + "/Locals.xml", "broken " + std::to_string(i));
    Result<std::string> kept = KeepByMoving(dir_ + "/Locals.xml", dir_, "Locals.broken", kNow);
    ASSERT_TRUE(kept.ok()) << kept.status().ToString();
    EXPECT_EQ(Read(*kept), "broken " + std::to_string(i));
  }
  EXPECT_FALSE(fs::exists(dir_ + "/Locals.xml"));
  EXPECT_EQ(Files(), 3u);
  EXPECT_EQ(Read(dir_ + "/Locals.broken.xml"), "broken 0");
}

TEST_F(KeptFilesTest, FailuresOtherThanACollisionAreReported) {
  Result<std::string> moved = KeepByMoving(dir_ + "/missing.xml", dir_, "Locals.broken", kNow);
  EXPECT_FALSE(moved.ok());
  Result<std::string> copied = KeepCopy("x", dir_ + "/no/such/dir", "Locals.orig", kNow, 0600);
  EXPECT_FALSE(copied.ok());
  EXPECT_EQ(Files(), 0u);
}

}  // namespace
}  // namespace quensaria::store
