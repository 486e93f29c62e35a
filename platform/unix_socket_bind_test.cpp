// The listener's socket file between bind and its final mode, and a new
// directory between mkdir and its mode: this program stands in for bind and
// mkdir (then calls the C library's), so a test can look at the file, or put
// another in its place, the moment it was made.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/scratch_dir_for_testing.h"
#include "platform/unix_socket.h"

namespace {

// Called with the path of each AF_UNIX socket file bind made, while set.
std::function<void(const std::string&)> after_bind;
// Called with the path of each directory mkdir made, while set.
std::function<void(const std::string&)> after_mkdir;

}  // namespace

extern "C" int mkdirat(int at, const char* path, mode_t mode) {
  using Mkdirat = int (*)(int, const char*, mode_t);
  static const Mkdirat real = reinterpret_cast<Mkdirat>(::dlsym(RTLD_NEXT, "mkdirat"));
  const int result = real(at, path, mode);
  if (result == 0 && after_mkdir) {
    std::string whole = path;
    if (path[0] != '/') {
      char directory[4096] = {};
      const std::string link =
          at == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/" + std::to_string(at);
      if (::readlink(link.c_str(), directory, sizeof directory - 1) > 0) {
        whole = std::string(directory) + "/" + path;
      }
    }
    after_mkdir(whole);
  }
  return result;
}

extern "C" int mkdir(const char* path, mode_t mode) { return mkdirat(AT_FDCWD, path, mode); }

extern "C" int bind(int fd, const sockaddr* address, socklen_t length) {
  using Bind = int (*)(int, const sockaddr*, socklen_t);
  static const Bind real = reinterpret_cast<Bind>(::dlsym(RTLD_NEXT, "bind"));
  const int result = real(fd, address, length);
  if (result == 0 && address->sa_family == AF_UNIX && after_bind) {
    after_bind(reinterpret_cast<const sockaddr_un*>(address)->sun_path);
  }
  return result;
}

namespace quensaria::platform {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

class UnixSocketBindTest : public ::testing::Test {
 protected:
  void TearDown() override {
    after_bind = nullptr;
    after_mkdir = nullptr;
  }

  testing::ScratchDir scratch_;
  const std::string path_ = scratch_.File("sock");
};

// Whatever the umask, nobody but the owner may connect before the group and
// the mode are set: the file bind makes is never wider.
TEST_F(UnixSocketBindTest, TheFileBindMakesLetsOnlyTheOwnerIn) {
  for (const mode_t umask : {0000, 0002, 0022, 0077}) {
    SCOPED_TRACE(::testing::Message() << "umask " << std::oct << umask);
    mode_t at_bind = 07777;
    after_bind = [&](const std::string& path) { at_bind = ModeOf(path); };
    const mode_t umask_before = ::umask(umask);
    Result<std::unique_ptr<UnixListener>> listener = UnixListener::Listen(path_, 0660);
    ::umask(umask_before);
    ASSERT_TRUE(listener.ok()) << listener.status().ToString();
    EXPECT_EQ(at_bind & 0077, 0u) << std::oct << at_bind;
    EXPECT_EQ(ModeOf(path_), 0660u);
  }
}

// A name swapped for a link once bind made the file: the file the link leads
// to keeps its mode, and the listener is not reported as made.
TEST_F(UnixSocketBindTest, ANameSwappedAfterBindHandsNothingElseTheMode) {
  const std::string secret = scratch_.File("secret");
  std::ofstream(secret) << "digests";
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  after_bind = [&](const std::string& path) {
    EXPECT_EQ(::rename(path.c_str(), scratch_.File("moved").c_str()), 0);
    EXPECT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
  };
  Result<std::unique_ptr<UnixListener>> listener = UnixListener::Listen(path_, 0666);
  EXPECT_FALSE(listener.ok());
  EXPECT_EQ(ModeOf(secret), 0600u);
  struct stat st {};
  EXPECT_EQ(::lstat(path_.c_str(), &st), 0) << "another's file is left where it is";
}

// A directory swapped for a link once mkdir made it: the directory the link
// leads to keeps its mode, and the making fails.
TEST_F(UnixSocketBindTest, ADirectorySwappedAfterMkdirHandsNothingElseTheMode) {
  const std::string secret = scratch_.File("secret");
  ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
  const std::string made = scratch_.File("run");
  after_mkdir = [&](const std::string& path) {
    if (path != made) return;
    EXPECT_EQ(::rename(path.c_str(), scratch_.File("moved").c_str()), 0);
    EXPECT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
  };
  EXPECT_FALSE(MakeDirectories(made + "/ncalrpc", 0755).ok());
  EXPECT_EQ(ModeOf(secret), 0700u);
  EXPECT_FALSE(std::filesystem::exists(secret + "/ncalrpc")) << "nothing is made through the link";
}

}  // namespace
}  // namespace quensaria::platform
