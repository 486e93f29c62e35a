// AF_UNIX listener and connections in a temporary directory.
#include "platform/unix_socket.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/blocked_thread_for_testing.h"
#include "platform/group_file_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/win32_error.h"

namespace quensaria::platform {
namespace {

class UnixSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ + "/sock"; }

  std::unique_ptr<UnixListener> MustListen() {
    Result<std::unique_ptr<UnixListener>> listener = UnixListener::Listen(path_, 0660);
    EXPECT_TRUE(listener.ok()) << listener.status().ToString();
    return listener.ok() ? std::move(listener).value() : nullptr;
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::string path_;
};

TEST_F(UnixSocketTest, ConnectSendReceiveAndFileMode) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);

  Result<UniqueFd> client = ConnectUnix(path_);
  ASSERT_TRUE(client.ok()) << client.status().ToString();
  Result<UniqueFd> server = listener->Accept();
  ASSERT_TRUE(server.ok());
  const std::vector<uint8_t> message(100000, 0x42);  // more than one socket buffer
  std::thread sender([&] { EXPECT_TRUE(SendAll(client->get(), message).ok()); });
  std::vector<uint8_t> received(message.size());
  EXPECT_TRUE(ReceiveExact(server->get(), received.data(), received.size()).ok());
  sender.join();
  EXPECT_EQ(received, message);
}

// The group is the access check: a member's connect succeeds, anyone else
// is told "access denied" (not a missing service).
TEST_F(UnixSocketTest, SocketGroupAdmitsItsMembersOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the socket to another group and user";
  const gid_t group = 65534;  // nogroup
  std::filesystem::permissions(dir_, std::filesystem::perms(0755));
  Result<std::unique_ptr<UnixListener>> listener = UnixListener::Listen(path_, 0660, group);
  ASSERT_TRUE(listener.ok()) << listener.status().ToString();
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, group);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(FileGroupName(path_), "nogroup");
  EXPECT_EQ(FileGroupName(dir_ + "/missing"), "");

  // Connects as uid 65534 with `gid` as its only group; the child's exit
  // status is the connect's error code (0: connected).
  const auto connect_as = [&](gid_t gid) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(65534) != 0) ::_exit(99);
      Result<UniqueFd> fd = ConnectUnix(path_);
      ::_exit(fd.ok() ? 0 : static_cast<int>(fd.status().code() & 0xff));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(connect_as(group), 0) << "a member of the socket's group connects";
  EXPECT_EQ(connect_as(12345), static_cast<int>(ERROR_ACCESS_DENIED)) << "anyone else is refused";
}

// A group of many members (an entry longer than a first guess at its
// size) is named, not shown as its number.
TEST_F(UnixSocketTest, TheGroupOfASocketIsNamedHoweverManyMembersItHas) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand files to other groups";
  const std::string small = dir_ + "/small";
  const std::string large = dir_ + "/large";
  std::ofstream(small).close();
  std::ofstream(large).close();
  ASSERT_EQ(0, ::chown(small.c_str(), 0, 54320));
  ASSERT_EQ(0, ::chown(large.c_str(), 0, 54321));
  const int status =
      WithGroupEntriesForTesting(dir_ + "/group",
                                 GroupEntryForTesting("quensaria-test-small", 54320, 3) +
                                     GroupEntryForTesting("quensaria-test-large", 54321, 2000),
                                 [&] {
                                   if (FileGroupName(small) != "quensaria-test-small") return 3;
                                   return FileGroupName(large) == "quensaria-test-large" ? 0 : 4;
                                 });
  if (status == kNoGroupFileForTesting) GTEST_SKIP() << "no mount namespace of its own here";
  EXPECT_NE(3, status) << "a small test group was not named";
  EXPECT_EQ(0, status) << "the group of 2000 members was shown as its number";
}

TEST_F(UnixSocketTest, StaleSocketIsReplacedLiveOneAndOtherFilesAreNot) {
  {
    auto first = MustListen();
    ASSERT_TRUE(first);
    // While it listens, a second listener must not steal the path.
    Result<std::unique_ptr<UnixListener>> second = UnixListener::Listen(path_, 0660);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.status().code(), ERROR_ALREADY_EXISTS);
  }
  EXPECT_FALSE(std::filesystem::exists(path_));  // removed by its owner

  // A socket file whose process died (bound, never cleaned up) is taken over.
  {
    UniqueFd dead(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    ASSERT_EQ(bind(dead.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(std::filesystem::exists(path_));
  {
    auto revived = MustListen();
    ASSERT_TRUE(revived);
    EXPECT_TRUE(ConnectUnix(path_).ok());
  }
  ASSERT_FALSE(std::filesystem::exists(path_));

  std::ofstream(path_) << "not a socket";
  Result<std::unique_ptr<UnixListener>> refused = UnixListener::Listen(path_, 0660);
  EXPECT_FALSE(refused.ok());
  EXPECT_TRUE(std::filesystem::exists(path_));
}

// A listener that no longer accepts (a stuck process) with its queue full
// still holds the path: the check for a live listener must neither wait
// for room in that queue nor take the path over.
TEST_F(UnixSocketTest, AStuckListenerWithAFullQueueKeepsThePath) {
  UniqueFd stuck(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path_.c_str());
  ASSERT_EQ(bind(stuck.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(stuck.get(), 0), 0);
  Result<UniqueFd> queued = ConnectUnix(path_);  // the only place in its queue
  ASSERT_TRUE(queued.ok()) << queued.status().ToString();

  auto second = std::async(std::launch::async, [&] { return UnixListener::Listen(path_, 0660); });
  if (second.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    stuck.Reset();  // the check still waits: closing the listener ends it
    ADD_FAILURE() << "Listen still waits for room in the stuck listener's queue";
  }
  Result<std::unique_ptr<UnixListener>> listener = second.get();
  ASSERT_FALSE(listener.ok());
  EXPECT_EQ(listener.status().code(), ERROR_ALREADY_EXISTS);
}

TEST_F(UnixSocketTest, ShutdownWakesABlockedAccept) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  Status accepted;
  std::promise<int> acceptor_id;
  std::thread acceptor([&] {
    acceptor_id.set_value(ThreadIdForTesting());
    accepted = listener->Accept().status();
  });
  EXPECT_TRUE(WaitUntilBlockedForTesting(acceptor_id.get_future().get(), std::chrono::seconds(30)));
  listener->Shutdown();
  acceptor.join();
  EXPECT_EQ(accepted.code(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(listener->Accept().status().code(), ERROR_OPERATION_ABORTED);  // and stays so
}

TEST_F(UnixSocketTest, ReceiveReportsCloseAtStartAndMidMessage) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  {
    Result<UniqueFd> client = ConnectUnix(path_);
    Result<UniqueFd> server = listener->Accept();
    client->Reset();
    uint8_t byte;
    EXPECT_EQ(ReceiveExact(server->get(), &byte, 1).code(), ERROR_HANDLE_EOF);
  }
  {
    Result<UniqueFd> client = ConnectUnix(path_);
    Result<UniqueFd> server = listener->Accept();
    const uint8_t three[3] = {1, 2, 3};
    ASSERT_TRUE(SendAll(client->get(), three).ok());
    client->Reset();
    uint8_t buffer[16];
    EXPECT_EQ(ReceiveExact(server->get(), buffer, sizeof buffer).code(), ERROR_BROKEN_PIPE);
  }
}

TEST_F(UnixSocketTest, SendToAGonePeerFailsWithoutSigpipe) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  Result<UniqueFd> client = ConnectUnix(path_);
  { Result<UniqueFd> server = listener->Accept(); }
  const std::vector<uint8_t> data(1 << 20, 1);
  Status status = SendAll(client->get(), data);
  EXPECT_EQ(status.code(), ERROR_BROKEN_PIPE) << status.ToString();
}

TEST_F(UnixSocketTest, ShutdownSocketWakesABlockedReceiver) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  Result<UniqueFd> client = ConnectUnix(path_);
  Result<UniqueFd> server = listener->Accept();
  Status received;
  std::promise<int> receiver_id;
  std::thread receiver([&] {
    uint8_t byte;
    receiver_id.set_value(ThreadIdForTesting());
    received = ReceiveExact(server->get(), &byte, 1);
  });
  EXPECT_TRUE(WaitUntilBlockedForTesting(receiver_id.get_future().get(), std::chrono::seconds(30)));
  ShutdownSocket(server->get());
  receiver.join();
  EXPECT_FALSE(received.ok());
}

TEST_F(UnixSocketTest, ReceiveTimeout) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  Result<UniqueFd> client = ConnectUnix(path_);
  ASSERT_TRUE(SetReceiveTimeout(client->get(), std::chrono::milliseconds(20)).ok());
  uint8_t byte;
  EXPECT_EQ(ReceiveExact(client->get(), &byte, 1).code(), ERROR_SEM_TIMEOUT);
}

// A peer that takes nothing fails the send at its deadline; one that reads
// gets every byte.
TEST_F(UnixSocketTest, SendBeforeADeadlineGivesUpOnAPeerThatDoesNotRead) {
  auto listener = MustListen();
  ASSERT_TRUE(listener);
  Result<UniqueFd> client = ConnectUnix(path_);
  Result<UniqueFd> server = listener->Accept();
  const std::vector<uint8_t> data(1 << 20, 7);  // far more than the socket holds
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  EXPECT_EQ(SendAllBefore(server->get(), data, soon).code(), ERROR_SEM_TIMEOUT);

  Result<UniqueFd> reader = ConnectUnix(path_);
  Result<UniqueFd> writer = listener->Accept();
  std::vector<uint8_t> received(data.size());
  std::thread receiver(
      [&] { EXPECT_TRUE(ReceiveExact(reader->get(), received.data(), received.size()).ok()); });
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  EXPECT_TRUE(SendAllBefore(writer->get(), data, later).ok());
  receiver.join();
  EXPECT_EQ(received, data);
}

TEST_F(UnixSocketTest, ConnectWithoutListenerAndOverlongPath) {
  EXPECT_FALSE(ConnectUnix(path_).ok());
  const std::string long_path = dir_ + "/" + std::string(200, 'x');
  EXPECT_EQ(ConnectUnix(long_path).status().code(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(UnixListener::Listen(long_path, 0660).status().code(), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(UnixSocketTest, MakeDirectoriesCreatesParentsAndRefusesFiles) {
  EXPECT_TRUE(MakeDirectories(dir_ + "/a/b/c", 0755).ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/a/b/c"));
  EXPECT_TRUE(MakeDirectories(dir_ + "/a/b/c", 0755).ok());  // already there
  std::ofstream(dir_ + "/file") << "x";
  EXPECT_FALSE(MakeDirectories(dir_ + "/file", 0755).ok());
  EXPECT_FALSE(MakeDirectories(dir_ + "/file/sub", 0755).ok());
}

TEST_F(UnixSocketTest, MakeDirectoriesGivesTheModeWhateverTheUmask) {
  ASSERT_EQ(::mkdir((dir_ + "/old").c_str(), 0700), 0);
  const mode_t umask_before = ::umask(077);
  const Status made = MakeDirectories(dir_ + "/old/new/newer", 0755);
  ::umask(umask_before);
  ASSERT_TRUE(made.ok()) << made.ToString();
  const auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
  };
  EXPECT_EQ(mode(dir_ + "/old/new"), 0755u);
  EXPECT_EQ(mode(dir_ + "/old/new/newer"), 0755u);
  EXPECT_EQ(mode(dir_ + "/old"), 0700u) << "an existing directory stays as it is";
}

}  // namespace
}  // namespace quensaria::platform
