// NetworkDisk over TLS: the handshake is the log-on, and everything the
// plain disk does (transfers, flushes, reconnects, failover) works inside
// the session.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "driver/network_disk.h"
#include "shared/password_digest.h"

namespace quensaria::driver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kDiskSize = 4 << 20;

class NetworkDiskTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugSinkForTesting([](std::string_view) {});
    options_.connect_timeout = 2000ms;
    options_.reply_timeout = 2000ms;
    options_.tls = true;
    for (FakeBlockServer* s : {&server_, &other_}) {
      s->SetTls(true);
      s->SetPassword(PasswordDigest("pw"));
      s->SetManagePassword(PasswordDigest("admin"));
      s->SetAccess(ACCESS_VIRTUAL_WRITE);
    }
  }
  void TearDown() override { SetDebugSinkForTesting({}); }

  NtStatus MountWith(std::string_view password, QueryData* query = nullptr) {
    QueryData ignored;
    return NetworkDisk::Mount(server_.address(), server_.port(), PasswordDigest(password), options_,
                              &disk_, query ? query : &ignored);
  }
  static std::vector<uint8_t> Commands(const FakeBlockServer& server) {
    std::vector<uint8_t> out;
    for (const auto& r : server.Requests()) out.push_back(r.command);
    return out;
  }
  static bool SawLogin(const FakeBlockServer& server) {
    const auto commands = Commands(server);
    return std::find(commands.begin(), commands.end(), CMD_LOGIN) != commands.end();
  }

  TransportOptions options_;
  FakeBlockServer server_{kDiskSize};
  FakeBlockServer other_{kDiskSize};
  std::unique_ptr<NetworkDisk> disk_;
};

TEST_F(NetworkDiskTlsTest, TheHandshakeLogsOnAndDataGoesBothWaysInsideTheSession) {
  QueryData query;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw", &query));
  EXPECT_EQ(kDiskSize, query.disk_size);
  EXPECT_EQ(ACCESS_VIRTUAL_WRITE, query.access);
  EXPECT_EQ(std::vector<std::string>{kTlsIdentityLogin}, server_.TlsLogOns());
  EXPECT_FALSE(SawLogin(server_));

  // A read of several chunks is the server's disk; reads are not refused for
  // want of a CMD_LOGIN.
  const std::vector<uint8_t> disk = server_.Disk();
  std::vector<uint8_t> got(200 * 1024);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 4096, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin() + 4096));
  EXPECT_FALSE(SawLogin(server_));
  EXPECT_EQ(1, server_.Connections());
}

TEST_F(NetworkDiskTlsTest, TheManagementPasswordLogsOnAsManageWithFullAccessAndWrites) {
  QueryData query;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("admin", &query));
  EXPECT_EQ(ACCESS_FULL, query.access);
  // "login" was tried first and refused, "manage" on a connection of its own.
  EXPECT_EQ(std::vector<std::string>{kTlsIdentityManage}, server_.TlsLogOns());
  EXPECT_EQ(2, server_.TlsHandshakes());
  EXPECT_EQ(2, server_.Connections());
  EXPECT_FALSE(SawLogin(server_));

  std::vector<uint8_t> data(100 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  ASSERT_EQ(STATUS_SUCCESS,
            disk_->TransferRequest(Direction::kWrite, 8192, data.size(), data.data()));
  ASSERT_EQ(STATUS_SUCCESS, disk_->Flush());
  const std::vector<uint8_t> disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + 8192));
  const auto commands = Commands(server_);
  EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), CMD_FLUSH));
}

TEST_F(NetworkDiskTlsTest, EachWrongPairingFailsAtOnceWithItsOwnStatus) {
  struct Case {
    const char* what;
    bool client_tls, server_tls;
    const char* password;
    NtStatus expected;
  };
  for (const Case& c : {
           Case{"plain client, TLS export", false, true, "pw", STATUS_EXPORT_NEEDS_TLS},
           Case{"TLS client, plain export", true, false, "pw", STATUS_EXPORT_NOT_TLS},
           Case{"TLS, wrong password", true, true, "wrong", STATUS_WRONG_PASSWORD},
           Case{"plain, wrong password", false, false, "wrong", STATUS_WRONG_PASSWORD},
       }) {
    SCOPED_TRACE(c.what);
    options_.tls = c.client_tls;
    // Patient, as a mounted disk is: the refusal must still be at once.
    options_.reconnect_timeout = 60000ms;
    server_.SetTls(c.server_tls);
    const int refusals = server_.WrongKindRefusals();
    const auto start = Clock::now();
    EXPECT_EQ(c.expected, MountWith(c.password));
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_EQ(nullptr, disk_);
    if (c.client_tls != c.server_tls) {
      EXPECT_EQ(refusals + 1, server_.WrongKindRefusals());
    }
  }
}

TEST_F(NetworkDiskTlsTest, AnExportWithoutAManagementPasswordRefusesAWrongOneAsWrong) {
  FakeBlockServer plain_manage{kDiskSize};
  plain_manage.SetTls(true);
  plain_manage.SetPassword(PasswordDigest("pw"));
  QueryData query;
  EXPECT_EQ(STATUS_WRONG_PASSWORD,
            NetworkDisk::Mount(plain_manage.address(), plain_manage.port(), PasswordDigest("admin"),
                               options_, &disk_, &query));
  EXPECT_EQ(2, plain_manage.TlsHandshakes());
  EXPECT_TRUE(plain_manage.TlsLogOns().empty());
}

TEST_F(NetworkDiskTlsTest, AConnectionTheServerDropsIsHandshakenAgainAndTheRequestRepeated) {
  options_.reconnect_timeout = 5000ms;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw"));
  server_.ResetConnections();
  server_.ClearRequests();
  const std::vector<uint8_t> disk = server_.Disk();
  std::vector<uint8_t> got(64 * 1024);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin()));
  EXPECT_EQ(2, server_.Connections());
  EXPECT_EQ((std::vector<std::string>{kTlsIdentityLogin, kTlsIdentityLogin}), server_.TlsLogOns());
  EXPECT_FALSE(SawLogin(server_));

  // A reset in the middle of a request: the whole request again, on a third
  // session.
  server_.ResetAtRequest(2);
  std::vector<uint8_t> two(128 * 1024);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, two.size(), two.data()));
  EXPECT_TRUE(std::equal(two.begin(), two.end(), disk.begin()));
  EXPECT_EQ(3, server_.Connections());
  EXPECT_EQ(3u, server_.TlsLogOns().size());
  EXPECT_FALSE(SawLogin(server_));
}

TEST_F(NetworkDiskTlsTest, AReplyThatDoesNotComeInsideTheSessionTimesOut) {
  options_.reply_timeout = 300ms;
  options_.reconnect_timeout = 0ms;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw"));
  server_.SetSilent(true);
  std::vector<uint8_t> got(4096);
  const auto start = Clock::now();
  EXPECT_EQ(STATUS_IO_TIMEOUT, disk_->TransferRequest(Direction::kRead, 0, got.size(), got.data()));
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(NetworkDiskTlsTest, ADiskFailsOverToASecondTlsServer) {
  options_.reconnect_timeout = 3000ms;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw"));
  std::vector<size_t> moves;
  ASSERT_EQ(STATUS_SUCCESS, disk_->SetServers({{server_.address(), server_.port()},
                                               {other_.address(), other_.port()}},
                                              0, false, [&](size_t i) { moves.push_back(i); }));
  server_.Stop();
  const std::vector<uint8_t> disk = other_.Disk();
  std::vector<uint8_t> got(64 * 1024);
  ASSERT_EQ(STATUS_SUCCESS, disk_->TransferRequest(Direction::kRead, 0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin()));
  EXPECT_EQ(std::vector<size_t>{1}, moves);
  EXPECT_EQ(1u, disk_->current_server());
  EXPECT_EQ(std::vector<std::string>{kTlsIdentityLogin}, other_.TlsLogOns());
  EXPECT_FALSE(SawLogin(other_));
}

}  // namespace
}  // namespace quensaria::driver
