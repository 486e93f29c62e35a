// NetworkDisk over TLS: the handshake is the log-on, and everything the
// plain disk does (transfers, flushes, reconnects, failover) works inside
// the session.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "driver/network_disk.h"
#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "shared/password_digest.h"

namespace quensaria::driver {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kDiskSize = 4 << 20;

// A relay on 127.0.0.1 to a server's port that keeps a copy of every byte
// either way: what anyone on the path sees.
class RecordingRelay {
 public:
  explicit RecordingRelay(uint16_t target_port) : target_(target_port) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
    EXPECT_EQ(0, ::listen(listener_.get(), 8));
    port_ = htons(platform::LocalPort(listener_.get()));
    thread_ = std::thread([this] { Run(); });
  }
  ~RecordingRelay() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return port_; }
  std::vector<uint8_t> Seen() const {
    std::scoped_lock lock(mu_);
    return seen_;
  }

 private:
  void Run() {
    std::vector<std::pair<platform::UniqueFd, platform::UniqueFd>> pairs;
    while (!stop_) {
      std::vector<pollfd> polls{{listener_.get(), POLLIN, 0}};
      for (auto& [a, b] : pairs) {
        polls.push_back({a.get(), POLLIN, 0});
        polls.push_back({b.get(), POLLIN, 0});
      }
      if (::poll(polls.data(), polls.size(), 20) <= 0) continue;
      if (polls[0].revents != 0) {
        platform::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        platform::UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = target_;
        if (client && ::connect(server.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          pairs.emplace_back(std::move(client), std::move(server));
        }
        continue;
      }
      for (size_t i = 1; i < polls.size(); ++i) {
        if (polls[i].revents == 0) continue;
        auto& pair = pairs[(i - 1) / 2];
        const int from = polls[i].fd;
        const int to = from == pair.first.get() ? pair.second.get() : pair.first.get();
        uint8_t buffer[65536];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) {
          ::shutdown(to, SHUT_WR);
          pair.first.Reset();
          pair.second.Reset();
          continue;
        }
        {
          std::scoped_lock lock(mu_);
          seen_.insert(seen_.end(), buffer, buffer + n);
        }
        (void)platform::SendAll(to, buffer, static_cast<size_t>(n));
      }
      std::erase_if(pairs, [](const auto& p) { return !p.first.valid(); });
    }
  }

  uint16_t target_;
  uint16_t port_ = 0;
  platform::UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<uint8_t> seen_;
};

template <typename Range>
bool Contains(const std::vector<uint8_t>& haystack, const Range& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

class NetworkDiskTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugSinkForTesting([](std::string_view) {});
    // Generous: a handshake under a sanitizer on a busy machine is slow.
    options_.connect_timeout = 10000ms;
    options_.reply_timeout = 10000ms;
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
    return Keep(
        NetworkDisk::Mount(server_.address(), server_.port(), PasswordDigest(password), options_),
        query);
  }
  // Keeps a mounted disk as disk_ (and its query answer in *query).
  NtStatus Keep(NtResult<MountedDisk> mounted, QueryData* query = nullptr) {
    if (!mounted.ok()) return mounted.status();
    MountedDisk m = std::move(mounted).value();
    disk_ = std::move(m.disk);
    if (query != nullptr) *query = m.query;
    return STATUS_SUCCESS;
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
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(4096, got.size(), got.data()));
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
  ASSERT_EQ(STATUS_SUCCESS, disk_->Write(8192, data.size(), data.data()));
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
    int connections;  // the log-on's: no more are tried
  };
  for (const Case& c : {
           Case{"plain client, TLS export", false, true, "pw", STATUS_EXPORT_NEEDS_TLS, 1},
           Case{"TLS client, plain export", true, false, "pw", STATUS_EXPORT_NOT_TLS, 1},
           Case{"TLS, wrong password", true, true, "wrong", STATUS_WRONG_PASSWORD, 2},
           Case{"plain, wrong password", false, false, "wrong", STATUS_WRONG_PASSWORD, 1},
       }) {
    SCOPED_TRACE(c.what);
    options_.tls = c.client_tls;
    // Patient, as a mounted disk is: the refusal must still be final.
    options_.reconnect_timeout = 60000ms;
    server_.SetTls(c.server_tls);
    const int refusals = server_.WrongKindRefusals();
    const int connections = server_.Connections();
    const auto start = Clock::now();
    EXPECT_EQ(c.expected, MountWith(c.password));
    // Far below the patience: no waiting for anything.
    EXPECT_LT(Clock::now() - start, 20s);
    EXPECT_EQ(connections + c.connections, server_.Connections());
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
  EXPECT_EQ(STATUS_WRONG_PASSWORD,
            Keep(NetworkDisk::Mount(plain_manage.address(), plain_manage.port(),
                                    PasswordDigest("admin"), options_)));
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
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin()));
  EXPECT_EQ(2, server_.Connections());
  EXPECT_EQ((std::vector<std::string>{kTlsIdentityLogin, kTlsIdentityLogin}), server_.TlsLogOns());
  EXPECT_FALSE(SawLogin(server_));

  // A reset in the middle of a request: the whole request again, on a third
  // session.
  server_.ResetAtRequest(2);
  std::vector<uint8_t> two(128 * 1024);
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, two.size(), two.data()));
  EXPECT_TRUE(std::equal(two.begin(), two.end(), disk.begin()));
  EXPECT_EQ(3, server_.Connections());
  EXPECT_EQ(3u, server_.TlsLogOns().size());
  EXPECT_FALSE(SawLogin(server_));
}

TEST_F(NetworkDiskTlsTest, AnExportThatStopsSpeakingTlsUnderAMountedDiskFailsItsNextRequestAtOnce) {
  options_.reconnect_timeout = 60000ms;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw"));
  server_.SetTls(false);
  server_.ResetConnections();
  const int connections = server_.Connections();
  std::vector<uint8_t> got(4096);
  const auto start = Clock::now();
  EXPECT_EQ(STATUS_EXPORT_NOT_TLS, disk_->Read(0, got.size(), got.data()));
  // One try, not a minute of them.
  EXPECT_EQ(connections + 1, server_.Connections());
  EXPECT_LT(Clock::now() - start, 20s);
}

TEST_F(NetworkDiskTlsTest, AReplyThatDoesNotComeInsideTheSessionTimesOut) {
  // Long enough for the mount's handshake, which it bounds too.
  options_.reply_timeout = 2000ms;
  options_.reconnect_timeout = 0ms;
  ASSERT_EQ(STATUS_SUCCESS, MountWith("pw"));
  server_.SetSilent(true);
  std::vector<uint8_t> got(4096);
  EXPECT_EQ(STATUS_IO_TIMEOUT, disk_->Read(0, got.size(), got.data()));
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
  ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, got.size(), got.data()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), disk.begin()));
  EXPECT_EQ(std::vector<size_t>{1}, moves);
  EXPECT_EQ(1u, disk_->current_server());
  EXPECT_EQ(std::vector<std::string>{kTlsIdentityLogin}, other_.TlsLogOns());
  EXPECT_FALSE(SawLogin(other_));
}

TEST_F(NetworkDiskTlsTest, TheWireCarriesNeitherTheDigestNorTheData) {
  server_.SetAccess(ACCESS_FULL);
  const auto digest = PasswordDigest("pw");
  std::vector<uint8_t> pattern(64 * 1024);
  const std::string word = "known data pattern 0123456789 ";
  for (size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<uint8_t>(word[i % word.size()]);
  const std::vector<uint8_t> piece(pattern.begin(), pattern.begin() + 24);

  // Plain first: the same relay sees both, so its record can tell.
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    server_.SetTls(tls);
    options_.tls = tls;
    RecordingRelay relay(server_.port());
    ASSERT_EQ(STATUS_SUCCESS,
              Keep(NetworkDisk::Mount(server_.address(), relay.port(), digest, options_)));
    ASSERT_EQ(STATUS_SUCCESS, disk_->Write(0, pattern.size(), pattern.data()));
    std::vector<uint8_t> back(pattern.size());
    ASSERT_EQ(STATUS_SUCCESS, disk_->Read(0, back.size(), back.data()));
    EXPECT_EQ(pattern, back);
    disk_.reset();
    const std::vector<uint8_t> seen = relay.Seen();
    EXPECT_GT(seen.size(), 2 * pattern.size());
    EXPECT_EQ(!tls, Contains(seen, digest));
    EXPECT_EQ(!tls, Contains(seen, piece));
  }
}

}  // namespace
}  // namespace quensaria::driver
