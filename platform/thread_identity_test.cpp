#include "platform/thread_identity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/group_file_for_testing.h"
#include "platform/scratch_dir_for_testing.h"

namespace quensaria::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kNobody = 65534;
constexpr uint32_t kNogroup = 65534;
constexpr uint32_t kSomeGroup = 4242;

class ThreadIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change the thread's identity";
    ::chmod(dir_.c_str(), 0777);
  }

  // Creates `name` in the test directory; returns its owner, or -1.
  long long CreateAndOwner(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0) return -1;
    ::close(fd);
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_uid;
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
};

TEST_F(ThreadIdentityTest, FilesCreatedInTheScopeBelongToTheCaller) {
  {
    ScopedIdentity scope({kNobody, kNogroup, {kNogroup}});
    ASSERT_TRUE(scope.applied());
    EXPECT_EQ(kNobody, CreateAndOwner("inside"));
    EXPECT_EQ(kNobody, ThreadIdentity().uid);
  }
  EXPECT_EQ(0, CreateAndOwner("after"));
  EXPECT_EQ(0u, ThreadIdentity().uid);
}

TEST_F(ThreadIdentityTest, OtherThreadsKeepTheirOwnIdentity) {
  std::atomic<int> stage{0};
  long long other_owner = -2;
  std::thread other([&] {
    while (stage.load() != 1) std::this_thread::yield();
    other_owner = CreateAndOwner("other");
    stage = 2;
  });
  {
    ScopedIdentity scope({kNobody, kNogroup, {}});
    ASSERT_TRUE(scope.applied());
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
  }
  other.join();
  EXPECT_EQ(0, other_owner);
}

TEST_F(ThreadIdentityTest, TheCallersRightsDecideAccess) {
  const std::string secret = dir_ + "/secret";
  ASSERT_EQ(0, ::mkdir(secret.c_str(), 0700));  // root's own
  const std::string shared = dir_ + "/shared";
  ASSERT_EQ(0, ::mkdir(shared.c_str(), 0070));  // its group only
  ASSERT_EQ(0, ::chown(shared.c_str(), 0, kSomeGroup));
  ASSERT_EQ(0, ::chmod(shared.c_str(), 0070));  // whatever the umask took away

  {
    ScopedIdentity scope({kNobody, kNogroup, {kNogroup}});
    ASSERT_TRUE(scope.applied());
    int fd = ::open(secret.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_LT(fd, 0) << "nobody must not read root's directory";
    if (fd >= 0) ::close(fd);
    fd = ::open((secret + "/f").c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_LT(fd, 0);
    EXPECT_EQ(EACCES, errno);
  }
  {
    // Supplementary groups count: a member of the directory's group may enter.
    ScopedIdentity scope({kNobody, kNogroup, {kNogroup, kSomeGroup}});
    ASSERT_TRUE(scope.applied());
    int fd = ::open((shared + "/f").c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
  }
  // Back as root, the group list is root's again.
  EXPECT_EQ(0u, ThreadIdentity().gid);
}

// A group of many members (an entry longer than a first guess at its
// size) is found like any other, not taken for a missing one.
TEST_F(ThreadIdentityTest, AGroupOfManyMembersIsFound) {
  const int status = WithGroupEntriesForTesting(
      dir_ + "/group",
      GroupEntryForTesting("quensaria-test-small", 54320, 3) +
          GroupEntryForTesting("quensaria-test-large", 54321, 2000),
      [] {
        if (GroupId("quensaria-test-small", kNogroup) != 54320) return 3;
        return GroupId("quensaria-test-large", kNogroup) == 54321 ? 0 : 4;
      });
  if (status == kNoGroupFileForTesting) GTEST_SKIP() << "no mount namespace of its own here";
  EXPECT_NE(3, status) << "a small test group was not found";
  EXPECT_EQ(0, status) << "the group of 2000 members was taken for a missing one";
}

}  // namespace
}  // namespace quensaria::platform
