#include "driver/network_disk.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "driver/debug_print.h"
#include "driver/fake_block_server.h"
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
    QueryData query;
    ASSERT_EQ(STATUS_SUCCESS, NetworkDisk::Mount(server_.address(), server_.port(),
                                                 PasswordDigest(password), options_, &disk_,
                                                 &query));
    EXPECT_EQ(kDiskSize, query.disk_size);
    server_.ClearRequests();
  }
  // Waits until the server has seen the connection reset it was told to do.
  void ResetBetweenRequests() {
    server_.ResetConnections();
    std::this_thread::sleep_for(50ms);
  }
  std::vector<FakeBlockServer::Request> Transfers() {
    std::vector<FakeBlockServer::Request> out;
    for (const auto& r : server_.Requests()) {
      if (r.command == CMD_READ || r.command == CMD_WRITE) out.push_back(r);
    }
    return out;
  }

  TransportOptions options_;
  FakeBlockServer server_{kDiskSize};
  std::unique_ptr<NetworkDisk> disk_;
};

TEST_F(NetworkDiskTest, AWrongPasswordFailsTheMountAndClosesTheConnection) {
  QueryData query;
  EXPECT_EQ(STATUS_WRONG_PASSWORD, NetworkDisk::Mount(server_.address(), server_.port(),
                                                      PasswordDigest("nope"), options_, &disk_,
                                                      &query));
  EXPECT_EQ(nullptr, disk_);
}

TEST_F(NetworkDiskTest, LargeRequestsGoInChunksOf64KiBOneAfterTheOther) {
  Mount();
  std::vector<uint8_t> data(200 * kKiB);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 1 << 20, data.size(),
                                                   data.data()));
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
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kWrite, 0, data.size(),
                                                   data.data()));
  EXPECT_EQ(2, server_.Connections());
  // A new log-on with the kept digest, then both chunks from the start.
  const auto all = server_.Requests();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(CMD_LOGIN, all[0].command);
  EXPECT_EQ(2, all[0].connection);
  EXPECT_EQ(0u, all[1].offset);
  EXPECT_EQ(64 * kKiB, all[2].offset);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, AResetInTheMiddleFailsWithoutReconnecting) {
  Mount();
  server_.ResetAtRequest(2);  // the second chunk
  std::vector<uint8_t> data(128 * kKiB);
  EXPECT_EQ(STATUS_CONNECTION_RESET,
            disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_EQ(1, server_.Connections());
  // The next request finds the connection lost and reconnects.
  EXPECT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, 4096, data.data()));
  EXPECT_EQ(2, server_.Connections());
}

TEST_F(NetworkDiskTest, AShortReplyFailsWithoutReconnectingAndTheNextRequestReconnects) {
  Mount();
  server_.ShortenReads(4096);
  std::vector<uint8_t> data(128 * kKiB);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR,
            disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_EQ(1, server_.Connections());
  EXPECT_EQ(1u, Transfers().size()) << "the walk ends at the first failing chunk";
  server_.ShortenReads(0);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, AFailedReconnectIsTheResultAndTheNextRequestTriesAgain) {
  Mount();
  server_.Stop();
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_CONNECTION_REFUSED,
            disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  server_.Restart();
  EXPECT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
}

TEST_F(NetworkDiskTest, AFailureOfTheRepeatIsFinal) {
  Mount();
  ResetBetweenRequests();
  server_.RefuseReads(true);
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_UNEXPECTED_NETWORK_ERROR,
            disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
  EXPECT_EQ(1u, Transfers().size());
}

TEST_F(NetworkDiskTest, APasswordChangedMeanwhileFailsTheReconnect) {
  Mount();
  ResetBetweenRequests();
  server_.SetPassword(PasswordDigest("changed"));
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_WRONG_PASSWORD,
            disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_TRUE(Transfers().empty()) << "nothing may be read without a log-on";
  server_.SetPassword(PasswordDigest("pw"));
  EXPECT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
}

TEST_F(NetworkDiskTest, ATimedOutRequestLeavesTheNextOneToReconnect) {
  Mount();
  server_.SetSilent(true);
  std::vector<uint8_t> data(4096);
  EXPECT_EQ(STATUS_IO_TIMEOUT, disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  server_.SetSilent(false);
  EXPECT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, data.size(), data.data()));
  EXPECT_EQ(2, server_.Connections());
}

TEST_F(NetworkDiskTest, ServerRestartUnderAMountedDisk) {
  Mount();
  std::vector<uint8_t> data(64 * kKiB, 0x3C);
  server_.Stop();
  server_.Restart();
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kWrite, 4096, data.size(),
                                                   data.data()));
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 4096, back.size(),
                                                   back.data()));
  EXPECT_EQ(data, back);
}

}  // namespace
}  // namespace quensaria::driver
