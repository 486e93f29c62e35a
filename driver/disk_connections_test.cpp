#include "driver/disk_connections.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <new>
#include <random>
#include <set>
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
using quensaria::testing::Eventually;

constexpr uint64_t kDiskSize = 4 << 20;
constexpr uint64_t kBlock = 4096;

class DiskConnectionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugSinkForTesting([this](std::string_view line) {
      std::scoped_lock lock(log_mu_);
      log_ += std::string(line) + "\n";
    });
    options_.connect_timeout = 2000ms;
    options_.reply_timeout = 2000ms;
    options_.reconnect_timeout = 300ms;
    server_.SetPassword(PasswordDigest("pw"));
  }
  void TearDown() override {
    pool_.reset();
    SetDebugSinkForTesting({});
  }

  // Mounts as the device does: the first connection, its servers, the rest
  // (after `between`, when given).
  void Mount(size_t count, const std::function<void()>& between = {}) {
    NtResult<MountedDisk> mounted =
        NetworkDisk::Mount(server_.address(), server_.port(), PasswordDigest("pw"), options_);
    ASSERT_EQ(STATUS_SUCCESS, mounted.status());
    auto [first, query] = std::move(mounted).value();
    ASSERT_EQ(STATUS_SUCCESS, first->SetServers({{server_.address(), server_.port()}}, 0,
                                                query.access == ACCESS_FULL));
    pool_ = std::make_unique<DiskConnections>(std::move(first), query);
    if (between) between();
    pool_->Open(count);
    server_.ClearRequests();
  }
  NtStatus Write(uint64_t offset, std::vector<uint8_t> data) {
    return pool_->Write(offset, data.size(), data.data());
  }
  NtStatus Read(uint64_t offset, std::vector<uint8_t>* data) {
    return pool_->Read(offset, data->size(), data->data());
  }
  int MostAtOnce() const { return server_.MostAtOnce(); }
  std::string Log() {
    std::scoped_lock lock(log_mu_);
    return log_;
  }

  FakeBlockServer server_{kDiskSize};
  TransportOptions options_;
  std::unique_ptr<DiskConnections> pool_;
  std::mutex log_mu_;
  std::string log_;
};

std::vector<uint8_t> Block(uint32_t seed) {
  std::vector<uint8_t> data(kBlock);
  std::mt19937 random(seed);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

// Several threads write and read blocks of their own at random; every read
// finds what its thread wrote last, and the server ends with exactly that.
TEST_F(DiskConnectionsTest, ParallelWritesAndReadsFromSeveralThreadsAreByteExact) {
  Mount(4);
  ASSERT_EQ(4u, pool_->size());
  EXPECT_EQ(4, server_.OpenConnections());
  server_.SetWriteDelay(2ms);  // so that writes meet on the server
  constexpr int kThreads = 8;
  constexpr uint64_t kBlocks = kDiskSize / kBlock;
  std::vector<std::vector<uint8_t>> model(kBlocks);
  const std::vector<uint8_t> original = server_.Disk();
  for (uint64_t b = 0; b < kBlocks; ++b) {
    model[b].assign(original.begin() + b * kBlock, original.begin() + (b + 1) * kBlock);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      for (int i = 0; i < 150; ++i) {
        // Thread t owns the blocks b with b % kThreads == t.
        const uint64_t b = (random() % (kBlocks / kThreads)) * kThreads + t;
        if (random() % 2 == 0) {
          std::vector<uint8_t> data = Block(static_cast<uint32_t>(t * 100000 + i));
          if (Write(b * kBlock, data) != STATUS_SUCCESS) ++failures;
          model[b] = std::move(data);
        } else {
          std::vector<uint8_t> data(kBlock);
          if (Read(b * kBlock, &data) != STATUS_SUCCESS || data != model[b]) ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  const std::vector<uint8_t> disk = server_.Disk();
  for (uint64_t b = 0; b < kBlocks; ++b) {
    ASSERT_TRUE(std::equal(model[b].begin(), model[b].end(), disk.begin() + b * kBlock))
        << "block " << b;
  }
  // Every connection served, several requests at once.
  std::set<int> used;
  for (const auto& r : server_.Requests()) used.insert(r.connection);
  EXPECT_EQ(4u, used.size());
  EXPECT_GT(MostAtOnce(), 1);
  EXPECT_LE(MostAtOnce(), 4);
}

// Requests one at a time stay on one connection: its server polls a moment
// for the next request after each answer, which a request sent on another
// connection would miss (the service then waits for nothing, and wakes up
// for the request). A connection idle for a second takes one request, so
// that each still finds out in time whether its server is there.
TEST_F(DiskConnectionsTest, RequestsOneAtATimeStayOnOneConnectionAndIdleOnesGetATurn) {
  Mount(4);
  std::vector<uint8_t> data(kBlock);
  auto connections_of_twelve = [&] {
    server_.ClearRequests();
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(STATUS_SUCCESS, i % 3 == 0 ? Write(i * kBlock, Block(i)) : Read(i * kBlock, &data));
    }
    EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
    std::vector<int> used;
    for (const auto& r : server_.Requests()) used.push_back(r.connection);
    return used;
  };
  const std::vector<int> quick = connections_of_twelve();
  EXPECT_EQ(1u, std::set<int>(quick.begin(), quick.end()).size());
  std::this_thread::sleep_for(1100ms);
  // The one in use was idle too: the first request has it, the next three
  // the others, and the rest the first again.
  const std::vector<int> later = connections_of_twelve();
  ASSERT_EQ(13u, later.size());
  EXPECT_EQ(4u, std::set<int>(later.begin(), later.begin() + 4).size());
  EXPECT_EQ(1u, std::set<int>(later.begin() + 4, later.end()).size());
  EXPECT_EQ(1u, pool_->MostAtOnce());
}

// The flush goes out only once every write taken before it was answered,
// whichever connection carried it, and only once.
TEST_F(DiskConnectionsTest, AFlushIsSentOnlyAfterEveryEarlierWriteOnEveryConnectionWasAnswered) {
  Mount(4);
  server_.SetWriteDelay(150ms);
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      if (Write(t * kBlock, Block(t)) != STATUS_SUCCESS) ++failures;
    });
  }
  // All three are on the server, none answered yet.
  ASSERT_TRUE(Eventually(
      [&] {
        int arrived = 0;
        for (const auto& e : server_.Events()) arrived += e.command == CMD_WRITE && !e.answered;
        return arrived == 3;
      },
      10s));
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
  for (auto& t : writers) t.join();
  EXPECT_EQ(0, failures.load());
  const auto events = server_.Events();
  std::set<int> writing_connections;
  int answered_writes = 0, flushes = 0;
  for (const auto& e : events) {
    if (e.command == CMD_WRITE && e.answered) {
      ++answered_writes;
      writing_connections.insert(e.connection);
    }
    if (e.command == CMD_FLUSH && !e.answered) {
      ++flushes;
      EXPECT_EQ(3, answered_writes) << "the flush arrived before every earlier write was answered";
    }
  }
  EXPECT_EQ(1, flushes);
  EXPECT_EQ(3u, writing_connections.size());
  // Nothing written since: the next flush has nothing to vouch for.
  server_.ClearRequests();
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
  for (const auto& r : server_.Requests()) EXPECT_NE(CMD_FLUSH, r.command);
}

// A write on one connection, the server's machine restarted, found by
// another connection: the next flush fails once, on whichever connection.
TEST_F(DiskConnectionsTest, ARestartSeenByOneConnectionFailsTheNextFlushOfTheDiskOnce) {
  Mount(2);
  ASSERT_EQ(STATUS_SUCCESS, Write(0, Block(1)));
  server_.SetBootIdentity({9, 9, 9, 9});
  server_.ResetConnections();
  std::vector<uint8_t> data(kBlock);
  // Each connection in turn: the one that did not write reconnects first.
  ASSERT_EQ(STATUS_SUCCESS, Read(0, &data));
  ASSERT_EQ(STATUS_SUCCESS, Read(0, &data));
  EXPECT_NE(std::string::npos, Log().find("Server machine restarted")) << Log();
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, pool_->Flush());
  ASSERT_EQ(STATUS_SUCCESS, Write(kBlock, Block(2)));
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
  std::set<int> connections;
  for (const auto& r : server_.Requests()) connections.insert(r.connection);
  EXPECT_GE(connections.size(), 2u);
}

// A request that throws on its way (no memory: for a line of the log here,
// as for a TLS session made on a reconnect or a failure's text) gives its
// connection back, and a later flush does not wait for its write.
TEST_F(DiskConnectionsTest, ARequestThatThrowsLeavesItsConnectionFreeAndAFlushWaitsNotForIt) {
  Mount(1);
  std::atomic<bool> throw_next{false};
  SetDebugSinkForTesting([&](std::string_view) {
    if (throw_next.exchange(false)) throw std::bad_alloc();
  });
  server_.ResetConnections();
  throw_next = true;  // the write finds its connection lost and says so
  EXPECT_THROW((void)Write(0, Block(1)), std::bad_alloc);
  EXPECT_FALSE(throw_next);
  std::atomic<NtStatus> wrote{STATUS_PENDING}, flushed{STATUS_PENDING};
  std::thread later([&] {
    wrote = Write(kBlock, Block(2));
    flushed = pool_->Flush();
  });
  if (!Eventually([&] { return flushed != STATUS_PENDING; }, 10s)) {
    // Stuck for good: what it waits on may not go away under it.
    later.detach();
    (void)pool_.release();
    FAIL() << "write " << std::hex << wrote << ", the flush never ended";
  }
  later.join();
  EXPECT_EQ(STATUS_SUCCESS, wrote);
  EXPECT_EQ(STATUS_SUCCESS, flushed);
}

// One connection dropped while the others work, and its log-on refused
// for a while: no request fails; once the server lets it in, it is back.
TEST_F(DiskConnectionsTest, ADroppedConnectionFailsNoRequestAndReconnects) {
  Mount(4);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0}, done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> data(kBlock);
      for (int i = 0; !stop; ++i) {
        const uint64_t offset = (t * 64 + i % 64) * kBlock;
        const NtStatus status =
            i % 2 == 0 ? Write(offset, Block(t * 1000 + i % 64)) : Read(offset - kBlock, &data);
        if (status != STATUS_SUCCESS) ++failures;
        ++done;
      }
    });
  }
  ASSERT_TRUE(Eventually([&] { return done > 100; }, 10s));
  server_.SetPassword(PasswordDigest("changed"));
  server_.ResetConnection(2);
  ASSERT_TRUE(Eventually([&] { return pool_->Up() == 3; }, 10s));
  const int before = done;
  ASSERT_TRUE(Eventually([&] { return done > before + 200; }, 10s));
  EXPECT_EQ(3u, pool_->Up());
  server_.SetPassword(PasswordDigest("pw"));
  EXPECT_TRUE(Eventually([&] { return pool_->Up() == 4 && server_.OpenConnections() == 4; }, 10s))
      << pool_->Up() << " up, " << server_.OpenConnections() << " open";
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_GT(server_.Connections(), 4);
}

// With every connection gone the reconnect time-out still fails requests;
// the server back, they succeed again.
TEST_F(DiskConnectionsTest, WithEveryConnectionGoneTheReconnectTimeOutFailsRequests) {
  Mount(3);
  server_.Stop();
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> data(kBlock);
      if (Read(t * kBlock, &data) != STATUS_SUCCESS) ++failed;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(4, failed.load());
  EXPECT_NE(STATUS_SUCCESS, Write(0, Block(3)));
  EXPECT_NE(std::string::npos, Log().find("Reconnect gave up")) << Log();
  server_.Restart();
  EXPECT_EQ(STATUS_SUCCESS, Write(0, Block(3)));
  std::vector<uint8_t> data(kBlock);
  EXPECT_EQ(STATUS_SUCCESS, Read(0, &data));
  EXPECT_EQ(Block(3), data);
}

// A request whose server stays away waits out the reconnect time-out once,
// from when it found its connection lost: with no connection up it is not
// sent round them again for another time-out of its own, on a disk of one
// connection (its first request) as on one of several (once all are down).
TEST_F(DiskConnectionsTest, ARequestWhoseServerStaysAwayWaitsOutTheReconnectTimeOutOnce) {
  auto gave_up = [&] {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find("Reconnect gave up"); at != std::string::npos;
         at = log.find("Reconnect gave up", at + 1)) {
      ++n;
    }
    return n;
  };
  for (const size_t count : {size_t{1}, size_t{3}}) {
    SCOPED_TRACE(count);
    Mount(count);
    server_.Stop();
    std::vector<uint8_t> data(kBlock);
    for (int request = 0; request < 2; ++request) {
      SCOPED_TRACE(request);
      const size_t before = gave_up();
      EXPECT_NE(STATUS_SUCCESS, Read(0, &data));
      EXPECT_EQ(1u, gave_up() - before) << Log();
    }
    EXPECT_EQ(0u, pool_->Up());
    pool_.reset();
    server_.Restart();
  }
}

// A service that stops with many requests on every connection and comes
// back within the reconnect time-out fails none of them: a request that has
// had every connection while one of them came back goes round once more
// rather than fail.
TEST_F(DiskConnectionsTest, AServiceBackWithinTheReconnectTimeOutFailsNoRequest) {
  options_.reconnect_timeout = 10s;
  Mount(4);
  for (int round = 0; round < 5; ++round) {
    server_.Stop();
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
      threads.emplace_back([&, t] {
        std::vector<uint8_t> data(kBlock);
        for (int i = 0; i < 4; ++i) {
          if (Read(((t * 4 + i) % 32) * kBlock, &data) != STATUS_SUCCESS) ++failed;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + 40 * round));
    server_.Restart();
    for (auto& t : threads) t.join();
    ASSERT_EQ(0, failed.load()) << "round " << round << "\n" << Log();
  }
}

// A later connection the server gives another access level than the first
// is closed, and the log says so; the disk goes on with those before it.
TEST_F(DiskConnectionsTest, ALaterConnectionWithAnotherAccessIsClosed) {
  server_.SetAccess(ACCESS_FULL);
  server_.SetLaterAccess(3, ACCESS_VIRTUAL_WRITE);
  Mount(4);
  EXPECT_EQ(2u, pool_->size());
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 2; }, 10s));
  EXPECT_NE(std::string::npos, Log().find("Connection 3 of 4 closed: the server gave it access"))
      << Log();
  EXPECT_EQ(STATUS_SUCCESS, Write(0, Block(4)));
  for (const auto& r : server_.Requests()) EXPECT_LE(r.connection, 2);
}

// The export's size changed between the first connection's query and the
// next one's (a source grown or replaced under the export): the disk keeps
// the first one's size and that connection alone; none of another size
// serves it, and the disk still reads and writes.
TEST_F(DiskConnectionsTest, ALaterConnectionToldAnotherSizeIsClosed) {
  Mount(4, [&] { server_.ReportDiskSize(kDiskSize + (1 << 20)); });
  EXPECT_EQ(1u, pool_->size());
  EXPECT_EQ(1u, pool_->Up());
  EXPECT_TRUE(Eventually([&] { return server_.OpenConnections() == 1; }, 10s));
  EXPECT_EQ(2, server_.Connections()) << "one more was tried, then given up";
  EXPECT_NE(std::string::npos,
            Log().find("Connection 2 of 4 closed: the server gave it access 0 and size " +
                       std::to_string(kDiskSize + (1 << 20)) +
                       ", the first one access 0 and size " + std::to_string(kDiskSize)))
      << Log();
  EXPECT_EQ(STATUS_SUCCESS, Write(kBlock, Block(6)));
  std::vector<uint8_t> data(kBlock);
  EXPECT_EQ(STATUS_SUCCESS, Read(kBlock, &data));
  EXPECT_EQ(Block(6), data);
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
  for (const auto& r : server_.Requests()) EXPECT_EQ(1, r.connection);
}

// A stop that comes while the mount is being made (the device raises its
// give-up flag) opens no further connection: each would cost a connect and a
// log-on, to be closed again at once by the unmount that follows.
TEST_F(DiskConnectionsTest, AGiveUpRaisedDuringTheMountOpensNoFurtherConnection) {
  WakeFlag give_up;
  Mount(4, [&] {
    pool_->set_give_up(&give_up);
    give_up.Raise();
  });
  EXPECT_EQ(1u, pool_->size());
  EXPECT_EQ(1, server_.Connections()) << "further connections were opened after the give-up";
  EXPECT_EQ(STATUS_SUCCESS, Write(0, Block(7)));
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
  pool_.reset();  // before the flag it points to
}

TEST_F(DiskConnectionsTest, OneConnectionAsked) {
  Mount(1);
  EXPECT_EQ(1u, pool_->size());
  EXPECT_EQ(1, server_.Connections());
  EXPECT_EQ(STATUS_SUCCESS, Write(0, Block(5)));
  EXPECT_EQ(STATUS_SUCCESS, pool_->Flush());
}

}  // namespace
}  // namespace quensaria::driver
