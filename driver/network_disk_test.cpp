#include "driver/network_disk.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "platform/eventually_for_testing.h"
#include "shared/password_digest.h"

namespace quensaria::driver {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kDiskSize = 4 << 20;
constexpr uint64_t kKiB = 1024;

class NetworkDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugSinkForTesting([](std::string_view) {});
    options_.connect_timeout = 2000ms;
    options_.reply_timeout = 300ms;
    server_.SetPassword(PasswordDigest("pw"));
  }
  void TearDown() override { SetDebugSinkForTesting({}); }

  void Mount(std::string_view password = "pw") {
    NtResult<MountedDisk> mounted =
        NetworkDisk::Mount(server_.address(), server_.port(), PasswordDigest(password), options_);
    ASSERT_EQ(STATUS_SUCCESS, mounted.status());
    MountedDisk m = std::move(mounted).value();
    EXPECT_EQ(kDiskSize, m.query.disk_size);
    disk_ = std::move(m.disk);
    server_.ClearRequests();
  }
  // Returns once the server has reset every connection.
  void ResetBetweenRequests() { server_.ResetConnections(); }
  // The commands the server received since the last ClearRequests.
  std::vector<uint8_t> Commands() {
    std::vector<uint8_t> out;
    for (const auto& r : server_.Requests()) out.push_back(r.command);
    return out;
  }
  NtStatus WriteSome(uint64_t offset = 0, size_t length = 4096) {
    std::vector<uint8_t> data(length, 0x42);
    return disk_->Write(offset, data.size(), data.data());
  }
  std::vector<FakeBlockServer::Request> Transfers() {
    std::vector<FakeBlockServer::Request> out;
    for (const auto& r : server_.Requests()) {
      if (r.command == CMD_READ || r.command == CMD_WRITE) out.push_back(r);
    }
    return out;
  }

  // How long a test waits for what the server or driver does: a bound
  // against hangs only.
  static constexpr auto kPatience = std::chrono::seconds(20);
  // The driver's debug lines from here on.
  void CaptureLines() {
    {
      std::scoped_lock lock(lines_mu_);
      lines_.clear();
    }
    SetDebugSinkForTesting([this](std::string_view line) {
      std::scoped_lock lock(lines_mu_);
      lines_.emplace_back(line);
    });
  }
  size_t LinesStartingWith(std::string_view start) {
    std::scoped_lock lock(lines_mu_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                             [&](const auto& l) { return l.starts_with(start); }));
  }

  std::mutex lines_mu_;
  std::vector<std::string> lines_;
  TransportOptions options_;
  FakeBlockServer server_{kDiskSize};
  std::unique_ptr<NetworkDisk> disk_;
};

TEST_F(NetworkDiskTest, AWrongPasswordFailsTheMountAndClosesTheConnection) {
  EXPECT_EQ(STATUS_WRONG_PASSWORD,
            NetworkDisk::Mount(server_.address(), server_.port(), PasswordDigest("nope"), options_)
                .status());
  EXPECT_EQ(1, server_.Connections());
  EXPECT_TRUE(testing::Eventually([&] { return server_.OpenConnections() == 0; }, kPatience));
}

TEST_F(NetworkDiskTest, LargeRequestsGoInChunksOf64KiBOneAfterTheOther) {
  Mount();
  std::vector<uint8_t> data(200 * kKiB);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(1 << 20, data.size(), data.data()));
  const auto r = Transfers();
  ASSERT_EQ(4u, r.size());
  const uint64_t offsets[] = {1 << 20, (1 << 20) + 64 * kKiB, (1 << 20) + 128 * kKiB,
                              (1 << 20) + 192 * kKiB};
  const uint32_t lengths[] = {65536, 65536, 65536, 8192};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(CMD_READ, r[i].command);
    EXPECT_EQ(offsets[i], r[i].offset);
    EXPECT_EQ(lengths[i], r[i].length);
  }
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + (1 << 20)));
}

TEST_F(NetworkDiskTest, ALostConnectionIsReestablishedOnceAndTheWholeRequestRepeated) {
  Mount();
  ResetBetweenRequests();
  std::vector<uint8_t> data(128 * kKiB, 0xA5);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Write(0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  // A new log-on with the kept digest and a query (has the server's machine
  // restarted?), then both chunks from the start.
  const auto all = server_.Requests();
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ(CMD_LOGIN, all[0].command);
  EXPECT_EQ(2, all[0].connection);
  EXPECT_EQ(CMD_QUERY, all[1].command);
  EXPECT_EQ(0u, all[2].offset);
  EXPECT_EQ(64 * kKiB, all[3].offset);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, WithoutAReconnectTimeOutAResetInTheMiddleFailsWithoutReconnecting) {
  options_.reconnect_timeout = 0ms;
  Mount();
  server_.ResetAtRequest(2);  // the second chunk
  std::vector<uint8_t> data(128 * kKiB);
  EXPECT_EQ(STATUS_CONNECTION_RESET, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(1, server_.Connections());
  // The next request finds the connection lost and reconnects.
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, 4096, data.data()));
  EXPECT_EQ(2, server_.Connections());
}

TEST_F(NetworkDiskTest, AShortReplyFailsWithoutReconnectingAndTheNextRequestReconnects) {
  Mount();
  server_.ShortenReads(4096);
  std::vector<uint8_t> data(128 * kKiB);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(1, server_.Connections());
  EXPECT_EQ(1u, Transfers().size()) << "the walk ends at the first failing chunk";
  server_.ShortenReads(0);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, WithoutAReconnectTimeOutAFailedReconnectIsTheResult) {
  options_.reconnect_timeout = 0ms;
  Mount();
  server_.Stop();
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_CONNECTION_REFUSED, disk_->Read(0, data.size(), data.data()));
  server_.Restart();
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, AFailureOfTheRepeatIsFinal) {
  Mount();
  ResetBetweenRequests();
  server_.RefuseReads(true);
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  EXPECT_EQ(1u, Transfers().size());
}

TEST_F(NetworkDiskTest, APasswordChangedMeanwhileFailsTheReconnect) {
  Mount();
  ResetBetweenRequests();
  server_.SetPassword(PasswordDigest("changed"));
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_WRONG_PASSWORD, disk_->Read(0, data.size(), data.data()));
  EXPECT_TRUE(Transfers().empty()) << "nothing may be read without a log-on";
  server_.SetPassword(PasswordDigest("pw"));
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
}

TEST_F(NetworkDiskTest, WithoutAReconnectTimeOutATimedOutRequestLeavesTheNextOneToReconnect) {
  options_.reconnect_timeout = 0ms;
  Mount();
  server_.SetSilent(true);
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_IO_TIMEOUT, disk_->Read(0, data.size(), data.data()));
  server_.SetSilent(false);
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
}

TEST_F(NetworkDiskTest, ServerRestartUnderAMountedDisk) {
  Mount();
  std::vector<uint8_t> data(64 * kKiB, 0x3C);
  server_.Stop();
  server_.Restart();
  ASSERT_EQ(STATUS_SUCCESS, disk_->Write(4096, data.size(), data.data()));
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(4096, back.size(), back.data()));
  EXPECT_EQ(data, back);
}

TEST_F(NetworkDiskTest, AResetInTheMiddleIsRepeatedOnANewConnection) {
  Mount();
  server_.ResetAtRequest(2);  // the second chunk
  std::vector<uint8_t> data(128 * kKiB);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  const auto r = Transfers();
  ASSERT_EQ(4u, r.size()) << "both chunks again, from the start";
  EXPECT_EQ(0u, r[2].offset);
  EXPECT_EQ(2, r[2].connection);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, ARequestKeepsTryingUntilItsServerTakesItsLogOnAgain) {
  Mount();
  // While the service restarts, connections die in their log-on.
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kCutShort);
  ResetBetweenRequests();
  std::vector<uint8_t> data(96 * kKiB, 0x5D);
  std::atomic<NtStatus> status{STATUS_PENDING};
  std::thread request([&] { status = disk_->Write(8192, data.size(), data.data()); });
  EXPECT_TRUE(testing::Eventually(
      [&] { return server_.Connections() >= 4 || status != STATUS_PENDING; }, kPatience));
  EXPECT_EQ(STATUS_PENDING, status) << "gave up while there was time left";
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kNone);
  request.join();
  EXPECT_EQ(STATUS_SUCCESS, status);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + 8192));
  for (const auto& r : server_.Requests()) {
    if (r.command == CMD_WRITE) {
      EXPECT_EQ(server_.Connections(), r.connection);
    }
  }
}

TEST_F(NetworkDiskTest, AServerThatStaysAwayFailsTheRequestAfterTheTimeOut) {
  options_.reconnect_timeout = 400ms;
  Mount();
  CaptureLines();
  server_.Stop();
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_CONNECTION_REFUSED, disk_->Read(0, data.size(), data.data()));
  // 100, 200 and what is left of 400 ms: at least three refused attempts.
  EXPECT_GE(LinesStartingWith("Reconnect failed C0000236"), 3u);
  EXPECT_EQ(1u, LinesStartingWith("Reconnect gave up C0000236"));
  server_.Restart();
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
}

TEST_F(NetworkDiskTest, TheGiveUpFlagEndsTheWaitAndARefusedLogOnIsFinal) {
  options_.reconnect_timeout = 3600s;  // only the flag can end this wait
  Mount();
  WakeFlag give_up;
  disk_->set_give_up(&give_up);
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kCutShort);
  ResetBetweenRequests();
  std::vector<uint8_t> data(4096);
  std::atomic<NtStatus> status{STATUS_PENDING};
  std::thread request([&] { status = disk_->Read(0, data.size(), data.data()); });
  EXPECT_TRUE(testing::Eventually(
      [&] { return server_.Connections() >= 3 || status != STATUS_PENDING; }, kPatience));
  give_up.Raise();
  request.join();
  EXPECT_EQ(STATUS_CONNECTION_DISCONNECTED, status);
  EXPECT_TRUE(Transfers().empty());

  // Raised, a request still makes its one attempt.
  server_.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kNone);
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  // A password changed while the service was away is not waited out.
  give_up.Lower();
  server_.SetPassword(PasswordDigest("changed"));
  ResetBetweenRequests();
  EXPECT_EQ(STATUS_WRONG_PASSWORD, disk_->Read(0, data.size(), data.data()));
}

// A reply that does not come within the reply time-out (a black hole, a
// link down) is a lost connection: closed, reconnected, logged on again and
// the request repeated, for as long as the reconnect time-out allows.
TEST_F(NetworkDiskTest, AReplyThatDoesNotComeInTimeIsALostConnection) {
  Mount();
  server_.SetSilent(true);
  std::vector<uint8_t> data(96 * kKiB, 0x6A);
  std::atomic<NtStatus> status{STATUS_PENDING};
  std::thread request([&] { status = disk_->Write(4096, data.size(), data.data()); });
  // Silent through a first reply time-out and a reconnect's log-on.
  EXPECT_TRUE(testing::Eventually(
      [&] { return server_.Connections() >= 3 || status != STATUS_PENDING; }, kPatience));
  EXPECT_EQ(STATUS_PENDING, status) << "a reply time-out failed the request";
  server_.SetSilent(false);
  request.join();
  EXPECT_EQ(STATUS_SUCCESS, status);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + 4096));
  // The old connections are closed, not left to pile up.
  EXPECT_TRUE(testing::Eventually([&] { return server_.OpenConnections() == 1; }, kPatience));
}

TEST_F(NetworkDiskTest, AServerThatStaysSilentFailsTheRequestOnceTheReconnectTimeOutHasPassed) {
  options_.reconnect_timeout = 1000ms;
  Mount();
  CaptureLines();
  server_.SetSilent(true);
  std::vector<uint8_t> data(4096);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(STATUS_IO_TIMEOUT, disk_->Read(0, data.size(), data.data()));
  // Found lost after one reply time-out, then a second of trying.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1300ms);
  EXPECT_EQ(1u, LinesStartingWith("Reconnect gave up C00000B5"));
  server_.SetSilent(false);
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
}

// Its own server answering a reconnect with another disk size serves
// another disk (another export on the port, a source swapped over a
// restart): neither this disk's writes nor its reads go there, at full
// access as at virtual write, where the cache would lie over another disk.
TEST_F(NetworkDiskTest, ItsOwnServerOfAnotherSizeAfterAReconnectIsNotUsed) {
  options_.reconnect_timeout = 400ms;
  for (const uint8_t access : {ACCESS_FULL, ACCESS_VIRTUAL_WRITE}) {
    SCOPED_TRACE(static_cast<int>(access));
    server_.SetAccess(access);
    server_.ReportDiskSize(std::nullopt);
    Mount();
    CaptureLines();
    server_.ReportDiskSize(kDiskSize + (1 << 20));
    ResetBetweenRequests();
    server_.ClearRequests();
    std::vector<uint8_t> data(4096, 0x42);
    EXPECT_NE(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
    EXPECT_NE(STATUS_SUCCESS, disk_->Write(0, data.size(), data.data()));
    EXPECT_TRUE(Transfers().empty()) << "read from or written to a disk of another size";
    EXPECT_EQ(2u, LinesStartingWith("Server " + ServerText({server_.address(), server_.port()}) +
                                    " not used: it serves a disk of another size"));
    // The same disk back, the same disk served.
    server_.ReportDiskSize(std::nullopt);
    EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
    disk_.reset();
  }
}

// Its own server answering a reconnect with access 2 refuses this client
// now (its address's entry changed, or another server took the port): the
// disk reads nothing there, at full access as at virtual write, and goes
// on once it is let in again.
TEST_F(NetworkDiskTest, ItsOwnServerRefusingThisClientAfterAReconnectIsNotUsed) {
  options_.reconnect_timeout = 400ms;
  for (const uint8_t access : {ACCESS_FULL, ACCESS_VIRTUAL_WRITE}) {
    SCOPED_TRACE(static_cast<int>(access));
    server_.SetAccess(access);
    Mount();
    CaptureLines();
    server_.SetAccess(ACCESS_REFUSED);
    ResetBetweenRequests();
    server_.ClearRequests();
    std::vector<uint8_t> data(4096, 0x42);
    EXPECT_NE(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
    EXPECT_TRUE(Transfers().empty()) << "read from a server that refuses this client";
    EXPECT_EQ(1u, LinesStartingWith("Server " + ServerText({server_.address(), server_.port()}) +
                                    " not used: it refuses this client"));
    server_.SetAccess(access);
    EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
    disk_.reset();
  }
}

// ---- Flushes

TEST_F(NetworkDiskTest, AFlushIsSentOnlyForWritesNotYetFlushed) {
  Mount();
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_TRUE(Commands().empty()) << "nothing written, nothing to flush";
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0, 128 * kKiB));
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_WRITE, CMD_WRITE, CMD_FLUSH}));
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  std::vector<uint8_t> data(4096);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_WRITE, CMD_WRITE, CMD_FLUSH, CMD_READ}));
}

TEST_F(NetworkDiskTest, AFlushTheServerFailsIsAnIoErrorAndIsSentAgainNextTime) {
  Mount();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome());
  server_.FailFlushes(true);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, disk_->Flush());
  server_.FailFlushes(false);
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_WRITE, CMD_FLUSH, CMD_FLUSH}));
  EXPECT_EQ(1, server_.Connections()) << "a refused flush is no lost connection";
}

// An older service never hears CMD_FLUSH (it would not answer it); its
// writes are as durable as before, and the log says so once.
TEST_F(NetworkDiskTest, AServiceWithoutFlushesIsNeverSentOneAndTheLogSaysSoOnce) {
  server_.SetFlushes(false);
  Mount();
  CaptureLines();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome());
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  ASSERT_EQ(STATUS_SUCCESS, WriteSome());
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_WRITE, CMD_WRITE}));
  EXPECT_EQ(1u, LinesStartingWith("Server 127.0.0.1:" + std::to_string(ntohs(server_.port())) +
                                  " cannot make writes durable"));
}

// The page cache of the server's machine outlives the service: a flush on
// the new connection makes the earlier writes durable.
TEST_F(NetworkDiskTest, AFlushAfterARestartOfTheServiceSucceedsOnTheNewConnection) {
  Mount();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome());
  ResetBetweenRequests();
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  const auto all = server_.Requests();
  ASSERT_EQ(4u, all.size());
  EXPECT_EQ(CMD_LOGIN, all[1].command);
  EXPECT_EQ(CMD_QUERY, all[2].command);
  EXPECT_EQ(CMD_FLUSH, all[3].command);
  EXPECT_EQ(2, all[3].connection);
}

// Writes acknowledged before the server's machine restarted may have been
// lost with its memory: the next flush must not vouch for them.
TEST_F(NetworkDiskTest, AServerMachineThatRestartedFailsTheNextFlushOnce) {
  Mount();
  CaptureLines();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0));
  server_.SetBootIdentity({0x99, 0x88, 0x77, 0x66});
  ResetBetweenRequests();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(8192));  // finds the restart
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, disk_->Flush());
  EXPECT_EQ(1u, LinesStartingWith("Server machine restarted (boot 99887766, was 11223344)"));
  EXPECT_EQ(1u, LinesStartingWith("Flush failed: writes acknowledged before"));
  // Said once; the writes since then are flushed by the next one.
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  const std::vector<uint8_t> commands = Commands();
  EXPECT_EQ(1, std::count(commands.begin(), commands.end(), CMD_FLUSH));

  // Found by the flush's own reconnect, the same.
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0));
  server_.SetBootIdentity({0x55, 0x44, 0x33, 0x22});
  ResetBetweenRequests();
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, disk_->Flush());
}

TEST_F(NetworkDiskTest, AServerMachineThatRestartedAfterAFlushFailsNothing) {
  Mount();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0));
  ASSERT_EQ(STATUS_SUCCESS, disk_->Flush());
  server_.SetBootIdentity({0x99, 0x88, 0x77, 0x66});
  ResetBetweenRequests();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(8192));
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
}

// ---- Several servers of one disk

SourceId Source(uint8_t n) {
  SourceId id{};
  id.fill(n);
  return id;
}

// Two servers, A (the first) and B; the disk mounts from A.
class FailoverTest : public NetworkDiskTest {
 protected:
  void SetUp() override {
    NetworkDiskTest::SetUp();
    other_.SetPassword(PasswordDigest("pw"));
    options_.reconnect_timeout = 1500ms;
  }
  // `writes_reach_server`: full access and not read-only.
  void MountBoth(bool writes_reach_server) {
    Mount();
    ASSERT_EQ(
        STATUS_SUCCESS,
        disk_->SetServers({{server_.address(), server_.port()}, {other_.address(), other_.port()}},
                          0, writes_reach_server, [this](size_t i) { moves_.push_back(i); }));
    server_.ClearRequests();
  }
  std::vector<uint8_t> OtherCommands() {
    std::vector<uint8_t> out;
    for (const auto& r : other_.Requests()) out.push_back(r.command);
    return out;
  }
  std::string AText() const { return ServerText({server_.address(), server_.port()}); }
  std::string BText() const { return ServerText({other_.address(), other_.port()}); }

  FakeBlockServer other_{kDiskSize};
  std::vector<size_t> moves_;
};

TEST_F(FailoverTest, AVirtualWriteDiskGoesOnWithTheOtherServerAndStaysThere) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_.SetAccess(ACCESS_VIRTUAL_WRITE);
  std::vector<uint8_t> content(kDiskSize, 0);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + 3);
  server_.SetDisk(content);
  other_.SetDisk(content);
  MountBoth(false);
  CaptureLines();
  server_.Stop();
  std::vector<uint8_t> data(128 * kKiB);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(64 * kKiB, data.size(), data.data()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), content.begin() + 64 * kKiB));
  EXPECT_EQ(1u, disk_->current_server());
  EXPECT_EQ(std::vector<size_t>{1}, moves_);
  EXPECT_EQ(1u, LinesStartingWith("Failing over from server " + AText() + " to server " + BText()));
  // A reading disk asks nobody for a source.
  EXPECT_EQ((std::vector<uint8_t>{CMD_LOGIN, CMD_QUERY, CMD_READ, CMD_READ}), OtherCommands());

  // A comes back: the disk stays where it is while that connection lasts,
  // and goes back to A only when B goes.
  server_.Restart();
  other_.ClearRequests();
  const int a_connections = server_.Connections();
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, 4096, data.data()));
  EXPECT_EQ(a_connections, server_.Connections());
  EXPECT_EQ(1u, other_.Requests().size());
  other_.Stop();
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, 4096, data.data()));
  EXPECT_EQ((std::vector<size_t>{1, 0}), moves_);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4096, content.begin()));
}

TEST_F(FailoverTest, AReadingDiskDoesNotGoOnWithADiskOfAnotherSize) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_.ReportDiskSize(kDiskSize + 512);
  MountBoth(false);
  CaptureLines();
  server_.Stop();
  std::vector<uint8_t> data(4096);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
  EXPECT_EQ(0u, disk_->current_server());
  EXPECT_TRUE(moves_.empty());
  // Tried again and again, said once, never read from.
  EXPECT_GE(other_.Connections(), 2);
  EXPECT_EQ(1u,
            LinesStartingWith("Server " + BText() + " not used: it serves a disk of another size"));
  for (const auto& r : other_.Requests()) EXPECT_NE(CMD_READ, r.command);
}

// A server that answers the query with access 2 refuses this client, as a
// mount finds it: a reading disk does not go on with it either.
TEST_F(FailoverTest, AReadingDiskDoesNotGoOnWithAServerThatRefusesIt) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_.SetAccess(ACCESS_REFUSED);
  MountBoth(false);
  CaptureLines();
  server_.Stop();
  std::vector<uint8_t> data(4096);
  EXPECT_NE(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(0u, disk_->current_server());
  EXPECT_TRUE(moves_.empty());
  EXPECT_GE(other_.Connections(), 1);
  for (const auto& r : other_.Requests()) EXPECT_NE(CMD_READ, r.command);
  EXPECT_EQ(1u, LinesStartingWith("Server " + BText() + " not used: it refuses this client"));
  // Its own server back, the disk goes on there.
  server_.Restart();
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  EXPECT_EQ(0u, disk_->current_server());
}

TEST_F(FailoverTest, AWritingDiskGoesOnWithAServerOfTheSameSharedSource) {
  server_.SetSourceId(Source(7));
  other_.SetSourceId(Source(7));
  other_.SetBootIdentity({0xB0, 0xB1, 0xB2, 0xB3});
  MountBoth(true);
  CaptureLines();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0));
  server_.Stop();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(64 * kKiB, 8192));
  EXPECT_EQ(1u, disk_->current_server());
  // Only B holds the write repeated there; the flush after the move goes to
  // B, whose other boot is no restart of A's machine.
  EXPECT_EQ(STATUS_SUCCESS, disk_->Flush());
  EXPECT_EQ((std::vector<uint8_t>{CMD_LOGIN, CMD_QUERY, CMD_SOURCE_ID, CMD_WRITE, CMD_FLUSH}),
            OtherCommands());
  EXPECT_EQ(0u, LinesStartingWith("Server machine restarted"));
  const auto disk = other_.Disk();
  EXPECT_TRUE(std::all_of(disk.begin() + 64 * kKiB, disk.begin() + 72 * kKiB,
                          [](uint8_t b) { return b == 0x42; }));
}

TEST_F(FailoverTest, AWritingDiskNeverWritesToAServerOfAnotherSource) {
  struct Case {
    const char* what;
    std::optional<SourceId> a, b;
    uint8_t b_access;
    const char* reason;
  };
  const Case cases[] = {
      {"another image", Source(7), Source(8), ACCESS_FULL, "it serves another source"},
      {"a file behind B", Source(7), SourceId{}, ACCESS_FULL, "it serves another source"},
      {"a file behind A", SourceId{}, Source(7), ACCESS_FULL, "this disk's own server"},
      {"A cannot tell", std::nullopt, Source(7), ACCESS_FULL, "this disk's own server"},
      {"B cannot tell", Source(7), std::nullopt, ACCESS_FULL, "it serves another source"},
      {"B read-only", Source(7), Source(7), ACCESS_VIRTUAL_WRITE, "it does not grant"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.SetSourceId(c.a);
    other_.SetSourceId(c.b);
    other_.SetAccess(c.b_access);
    other_.ClearRequests();
    moves_.clear();
    MountBoth(true);
    CaptureLines();
    server_.Stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(STATUS_SUCCESS, WriteSome(0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
    EXPECT_TRUE(moves_.empty());
    for (const auto& r : other_.Requests()) EXPECT_NE(CMD_WRITE, r.command);
    EXPECT_EQ(1u, LinesStartingWith("Server " + BText() + " not used: " + c.reason));
    disk_.reset();
    server_.Restart();
  }
}

// Its own server, back with another image of the same size behind the port,
// is held to the shared source as another server is: the writes go on with
// the server that still serves it, never to the other image.
TEST_F(FailoverTest, AWritingDiskNeverWritesToItsOwnServerBackWithAnotherSource) {
  server_.SetSourceId(Source(7));
  other_.SetSourceId(Source(7));
  MountBoth(true);
  CaptureLines();
  ASSERT_EQ(STATUS_SUCCESS, WriteSome(0));
  server_.SetSourceId(Source(8));
  ResetBetweenRequests();
  server_.ClearRequests();
  EXPECT_EQ(STATUS_SUCCESS, WriteSome(64 * kKiB, 8192));
  for (const auto& r : server_.Requests()) EXPECT_NE(CMD_WRITE, r.command);
  EXPECT_EQ(1u, disk_->current_server());
  EXPECT_EQ(std::vector<size_t>{1}, moves_);
  EXPECT_EQ(1u, LinesStartingWith("Server " + AText() + " not used: it serves another source"));
  const auto disk = other_.Disk();
  EXPECT_TRUE(std::all_of(disk.begin() + 64 * kKiB, disk.begin() + 72 * kKiB,
                          [](uint8_t b) { return b == 0x42; }));
}

TEST_F(FailoverTest, ARefusedLogOnOnTheOtherServerIsNoReasonToStop) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_.SetPassword(PasswordDigest("another"));
  MountBoth(false);
  server_.Stop();
  std::thread back([this] {
    std::this_thread::sleep_for(300ms);
    server_.Restart();
  });
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_SUCCESS, disk_->Read(0, data.size(), data.data()));
  back.join();
  EXPECT_EQ(0u, disk_->current_server());
  EXPECT_GE(other_.Connections(), 1);
}

TEST_F(FailoverTest, EveryServerRefusingTheLogOnFailsAtOnce) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_.SetPassword(PasswordDigest("another"));
  MountBoth(false);
  server_.SetPassword(PasswordDigest("changed"));
  ResetBetweenRequests();
  std::vector<uint8_t> data(4096);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(STATUS_WRONG_PASSWORD, disk_->Read(0, data.size(), data.data()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

}  // namespace
}  // namespace quensaria::driver
