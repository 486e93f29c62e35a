#include "mounter/single_instance.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/scratch_dir_for_testing.h"

namespace quensaria::mounter {
namespace {

// Serves this thread's events until `done` holds, for ten seconds at most.
void ServeEventsUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 1000 && !done(); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
}

// An application for the sockets' events and a runtime directory of its own.
class SingleInstanceTest : public ::testing::Test {
 protected:
  SingleInstanceTest() { ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  ~SingleInstanceTest() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  static inline int argc_ = 1;
  static inline char name_[] = "single_instance_test";
  static inline char* argv_[] = {name_, nullptr};
  QCoreApplication app_{argc_, argv_};
  testing::ScratchDir runtime_;
};

TEST_F(SingleInstanceTest, ASecondStartMakesTheFirstShowItselfAndEnds) {
  SingleInstance first;
  EXPECT_EQ(first.serverName().toStdString(), runtime_.File(kMounterTitle));
  EXPECT_FALSE(first.AskRunningInstanceToShow()) << "nobody runs yet";
  // A socket a crashed mounter left behind does not stop the next one.
  QFile stale(first.serverName());
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.close();
  ASSERT_TRUE(first.Listen());
  int shows = 0;
  QObject::connect(&first, &SingleInstance::showRequested, [&] { ++shows; });

  SingleInstance second;
  EXPECT_TRUE(second.AskRunningInstanceToShow());
  ServeEventsUntil([&] { return shows != 0; });
  EXPECT_EQ(shows, 1);

  // Another user's mounter lives elsewhere and is not asked.
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime", 1);
  SingleInstance other_user;
  EXPECT_FALSE(other_user.AskRunningInstanceToShow());
}

// Two starts at once both find nobody to ask; the later one's Listen must
// not take the socket from the one already listening, or both run and a
// third start reaches only the later one.
TEST_F(SingleInstanceTest, ALiveInstancesSocketIsNotTakenOver) {
  SingleInstance first;
  ASSERT_TRUE(first.Listen());
  int first_shows = 0;
  QObject::connect(&first, &SingleInstance::showRequested, [&] { ++first_shows; });
  SingleInstance second;
  EXPECT_FALSE(second.Listen());
  ServeEventsUntil([&] { return first_shows != 0; });
  EXPECT_EQ(first_shows, 1) << "the second start's knock";
  int second_shows = 0;
  QObject::connect(&second, &SingleInstance::showRequested, [&] { ++second_shows; });

  SingleInstance third;
  EXPECT_TRUE(third.AskRunningInstanceToShow());
  ServeEventsUntil([&] { return first_shows + second_shows != 1; });
  EXPECT_EQ(first_shows, 2);
  EXPECT_EQ(second_shows, 0);
}

// Another user, in a child process: puts a socket anyone may connect to
// where `path` names (a bare name lies in the temporary folder, as Qt puts
// it), and takes connections until killed. Returns its process id once it
// has tried.
pid_t ListenAsAnotherUser(uid_t uid, gid_t gid, const std::string& path) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::umask(0);
    const bool listening = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                           ::listen(fd, 8) == 0;
    (void)!::write(ready[1], listening ? "1" : "0", 1);
    for (;;) {
      const int peer = listening ? ::accept(fd, nullptr, nullptr) : -1;
      if (peer < 0) ::pause();
    }
  }
  ::close(ready[1]);
  char byte = '0';
  (void)!::read(ready[0], &byte, 1);
  ::close(ready[0]);
  return child;
}

// Without XDG_RUNTIME_DIR the socket lies in the shared temporary folder:
// another user who got there first must neither answer for this user's
// mounter (a start would end without a window) nor keep it from listening.
TEST_F(SingleInstanceTest, WithoutARuntimeDirectoryAnotherUsersSocketIsNeitherAskedNorInTheWay) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  // A shared temporary folder of the test's own, as /tmp is.
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0755), 0);
  const std::string shared = runtime_.File("tmp");
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", shared.c_str(), 1);
  const QString name = SingleInstance().serverName();
  const std::string path = name.startsWith(QLatin1Char('/'))
                               ? name.toStdString()
                               : (QDir::tempPath() + QLatin1Char('/') + name).toStdString();
  ASSERT_EQ(path.rfind(shared + "/", 0), 0u) << path;
  const pid_t other = ListenAsAnotherUser(nobody->pw_uid, nobody->pw_gid, path);
  ASSERT_GT(other, 0);

  SingleInstance first;
  EXPECT_FALSE(first.AskRunningInstanceToShow()) << "another user's socket answered";
  EXPECT_TRUE(first.Listen());
  int shows = 0;
  QObject::connect(&first, &SingleInstance::showRequested, [&] { ++shows; });
  SingleInstance second;
  EXPECT_TRUE(second.AskRunningInstanceToShow());
  ServeEventsUntil([&] { return shows != 0; });
  EXPECT_EQ(shows, 1);
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);

  // A folder of that name another user made is not used: the mounter runs
  // without the rule rather than through a socket someone else controls.
  ::setenv("TMPDIR", (shared + "/later").c_str(), 1);
  ASSERT_EQ(::mkdir((shared + "/later").c_str(), 01777), 0);
  ASSERT_EQ(::chmod((shared + "/later").c_str(), 01777), 0);
  const std::string folder =
      shared + "/later/" + path.substr(shared.size() + 1, path.rfind('/') - shared.size() - 1);
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  ASSERT_EQ(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  SingleInstance third;
  EXPECT_FALSE(third.AskRunningInstanceToShow());
  EXPECT_FALSE(third.Listen());
  EXPECT_TRUE(QDir(QString::fromStdString(folder)).isEmpty()) << folder;
  ::unsetenv("TMPDIR");
}

// A runtime directory that is not the user's alone (others may write to
// it, or another user owns it) is passed over for the private folder: a
// socket there could be another user's, answering for this user's mounter
// or keeping it from listening.
TEST_F(SingleInstanceTest, ARuntimeDirectoryNotTheUsersAloneIsNotUsed) {
  testing::ScratchDir temporary;
  ::setenv("TMPDIR", temporary.path().c_str(), 1);
  const QString runtime = QString::fromStdString(runtime_.path().string());
  const auto check = [&](const char* what) {
    SingleInstance first;
    EXPECT_FALSE(first.serverName().startsWith(runtime + QLatin1Char('/')))
        << what << ": " << first.serverName().toStdString();
    ASSERT_TRUE(first.Listen()) << what;
    EXPECT_TRUE(std::filesystem::is_empty(runtime_.path()))
        << what << ": the socket was made there";
    int shows = 0;
    QObject::connect(&first, &SingleInstance::showRequested, [&] { ++shows; });
    SingleInstance second;
    EXPECT_TRUE(second.AskRunningInstanceToShow()) << what;
    ServeEventsUntil([&] { return shows != 0; });
    EXPECT_EQ(shows, 1) << what;
  };
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0777), 0);
  check("a runtime directory anyone may write to");
  ASSERT_EQ(::chmod(runtime_.path().c_str(), 0700), 0);
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(runtime_.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    check("another user's runtime directory");
    ASSERT_EQ(::chown(runtime_.path().c_str(), 0, 0), 0);
  }
  ::unsetenv("TMPDIR");
}

}  // namespace
}  // namespace quensaria::mounter
