// The connection engine on real loopback sockets, with fake registry hooks.
// Clients bind to 127.0.0.x to play several machines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/console_capture_for_testing.h"
#include "platform/eventually_for_testing.h"
#include "platform/listener_for_testing.h"
#include "platform/loop_device_for_testing.h"
#include "platform/page_memory.h"
#include "platform/socket.h"
#include "service/engine/connection_records.h"
#include "service/engine/engine_harness_for_testing.h"
#include "service/source/memory_io_for_testing.h"
#include "shared/bytes.h"
#include "shared/password_digest.h"
#include "shared/win32_error.h"
#include "tests/block_client_for_testing.h"
#include "tests/pattern_image_for_testing.h"

namespace quensaria::testing {
namespace {

using platform::Ipv4;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kClientA = Ipv4(127, 0, 0, 2);
constexpr uint32_t kClientB = Ipv4(127, 0, 0, 3);
// Generous bounds for things that must end: they guard against hangs, they
// do not measure speed.
constexpr auto kLiveness = std::chrono::seconds(30);

// Polls `condition` until it holds or kLiveness has passed.
bool Eventually(const std::function<bool()>& condition) {
  return testing::Eventually(condition, kLiveness);
}

// Everything sent on `socket` has reached the other end's machine (its
// kernel acknowledged it), whether or not the engine has read it yet.
bool Delivered(int socket) {
  return Eventually([socket] {
    int unacknowledged = -1;
    return ::ioctl(socket, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
  });
}

using ImageFile = PatternImage;

// Writes out and drops the file's pages, so that the next read of it is the
// disk's and the engine's cache has to fill a block for it.
void DropFromPageCache(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::fdatasync(fd.get()), 0);
  ASSERT_EQ(::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED), 0);
}

class EngineTest : public ::testing::Test {
 protected:
  void StartOn(const ImageFile& image, int32_t cache = 0) {
    harness_ = std::make_unique<EngineHarness>(TestConfig(image.path(), cache));
    ASSERT_TRUE(harness_->Start());
  }
  void StartOnMemory(uint64_t size, const source::MemoryIo::Faults& faults,
                     source::MemoryIo** io = nullptr) {
    Bytes bytes(size);
    for (uint64_t i = 0; i < size; ++i) bytes[i] = Pattern(i);
    auto memory = std::make_unique<source::MemoryIo>(std::move(bytes));
    memory->SetFaults(faults);
    if (io) *io = memory.get();
    auto disk = std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, size, 0,
                                                     std::move(memory), 0);
    harness_ = std::make_unique<EngineHarness>(TestConfig(), std::move(disk));
    ASSERT_TRUE(harness_->Start());
  }
  // A client from `local` that has logged on with the management password.
  std::unique_ptr<BlockClient> LoggedOn(uint32_t local = kClientA) {
    auto client = std::make_unique<BlockClient>();
    EXPECT_EQ(client->Connect(harness_->port(), local), 0);
    EXPECT_EQ(client->Login("manage").reply.status, REPLY_OK);
    return client;
  }
  static void ExpectPattern(const Bytes& data, uint64_t offset) {
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(data[i], Pattern(offset + i)) << "at " << offset + i;
    }
  }

  std::unique_ptr<EngineHarness> harness_;
};

TEST_F(EngineTest, ServesTheImageToALoggedOnClient) {
  ImageFile image(8 * kMiB);
  StartOn(image);
  auto client = LoggedOn();
  QueryData query;
  ASSERT_EQ(client->Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.disk_size, 8 * kMiB);
  EXPECT_EQ(query.access, ACCESS_FULL);
  Bytes data;
  ASSERT_EQ(client->Read(3 * kMiB + 512, 65536, data).reply.status, REPLY_OK);
  ExpectPattern(data, 3 * kMiB + 512);

  Bytes payload(65536);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(~i);
  ASSERT_EQ(client->Write(5 * kMiB, payload.data(), 65536).reply.status, REPLY_OK);
  ASSERT_EQ(client->Read(5 * kMiB, 65536, data).reply.status, REPLY_OK);
  EXPECT_EQ(data, payload);
  EXPECT_EQ(image.ReadBack(5 * kMiB, 65536), payload);
  // Reported with the connection's own level after the log-on.
  EXPECT_EQ(harness_->registry().logged_on(),
            (std::vector<std::pair<uint32_t, uint8_t>>{{kClientA, ACCESS_FULL}}));
}

TEST_F(EngineTest, EachConnectionSeesItsOwnStampInSectorZero) {
  ImageFile image(2 * kMiB);
  {
    // Only a sector 0 that ends in the boot signature is stamped.
    std::fstream file(image.path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(510);
    file.write("\x55\xAA", 2);
    ASSERT_TRUE(file.good());
  }
  StartOn(image);
  auto first = LoggedOn();
  auto second = LoggedOn();
  Bytes a, b;
  ASSERT_EQ(first->Read(0, 512, a).reply.status, REPLY_OK);
  ASSERT_EQ(second->Read(0, 512, b).reply.status, REPLY_OK);
  EXPECT_NE(LoadLe32(a.data() + 440), LoadLe32(b.data() + 440));
  const Bytes stored = image.ReadBack(0, 512);
  ExpectPattern(Bytes(stored.begin(), stored.begin() + 510), 0);  // the image is not stamped
  for (int i = 440; i < 444; ++i) a[i] = b[i] = stored[i];
  EXPECT_EQ(a, stored);
  EXPECT_EQ(b, stored);
}

TEST_F(EngineTest, HeaderAndPayloadArrivingInPiecesAreHandledAsWhole) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  auto client = LoggedOn();
  uint8_t header[32];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, header);
  ASSERT_EQ(client->SendBytes(header, 1), 0);
  // Only paces the client: the first byte has arrived on its own.
  ASSERT_TRUE(Delivered(client->fd()));
  ASSERT_EQ(client->SendBytes(header + 1, 31), 0);
  Bytes data;
  Exchange x = client->ReceiveReply(&data);
  ASSERT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.data_length, 16u);

  Bytes payload(20000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 5);
  EncodeRequestHeader({CMD_WRITE, kMiB, 20000}, header);
  ASSERT_EQ(client->SendBytes(header, 20), 0);
  ASSERT_EQ(client->SendBytes(header + 20, 12), 0);
  for (size_t at = 0; at < payload.size(); at += 1500) {
    ASSERT_EQ(client->SendBytes(payload.data() + at, std::min<size_t>(1500, payload.size() - at)),
              0);
    // Paces the client only, so that the payload tends to come in pieces.
    if (at % 6000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  x = client->ReceiveReply();
  ASSERT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.status, REPLY_OK);
  EXPECT_EQ(x.reply.length, 20000u);
  EXPECT_EQ(image.ReadBack(kMiB, 20000), payload);
}

TEST_F(EngineTest, OverlongWriteIsConsumedRefusedAndTheNextRequestServed) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  auto client = LoggedOn();
  const Exchange x = client->Write(0, Bytes(65537, 0xEE).data(), 65537);
  ASSERT_EQ(x.error, 0);
  EXPECT_EQ(x.reply.status, REPLY_DENIED);
  EXPECT_EQ(x.reply.length, 65537u);
  Bytes data;
  ASSERT_EQ(client->Read(0, 1024, data).reply.status, REPLY_OK);
  EXPECT_EQ(data[0], Pattern(0));
  EXPECT_EQ(image.ReadBack(0, 1), Bytes{Pattern(0)});
}

TEST_F(EngineTest, UnknownCommandEndsTheConnectionWithoutAReply) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  auto client = LoggedOn();
  uint8_t header[32] = {0x99};
  ASSERT_EQ(client->SendBytes(header, 32), 0);
  EXPECT_EQ(client->ExpectClosedWithoutBytes(10000), 0);
  EXPECT_TRUE(harness_->registry().WaitForDisconnects(1, kLiveness));
}

TEST_F(EngineTest, RefusedAddressIsClosedWithoutAByte) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  harness_->registry().Admit(kClientB, ACCESS_REFUSED);
  BlockClient refused;
  ASSERT_EQ(refused.Connect(harness_->port(), kClientB), 0);
  EXPECT_EQ(refused.ExpectClosedWithoutBytes(10000), 0);
  // It was asked about once, with its address, and never counted as connected.
  auto admitted = LoggedOn(kClientA);
  EXPECT_EQ(harness_->registry().checked(), (std::vector<uint32_t>{kClientB, kClientA}));
  EXPECT_TRUE(harness_->registry().disconnected().empty());
}

TEST_F(EngineTest, AdmittedLevelIsTheConnectionsUntilItLogsOn) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  harness_->registry().Admit(kClientB, ACCESS_VIRTUAL_WRITE);
  BlockClient client;
  ASSERT_EQ(client.Connect(harness_->port(), kClientB), 0);
  QueryData query;
  ASSERT_EQ(client.Query(query).error, 0);
  EXPECT_EQ(query.access, ACCESS_VIRTUAL_WRITE);
  ASSERT_EQ(client.Login("login").reply.status, REPLY_OK);
  EXPECT_EQ(client.Write(0, Bytes(512).data(), 512).reply.status, REPLY_DENIED);
  ASSERT_EQ(client.Login("manage").reply.status, REPLY_OK);
  EXPECT_EQ(client.Write(0, Bytes(512).data(), 512).reply.status, REPLY_OK);
}

TEST_F(EngineTest, AddressLeavesTheMapWithItsLastConnection) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  auto first = LoggedOn(kClientA);
  auto second = LoggedOn(kClientA);
  first->Close();
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 1; }));
  EXPECT_TRUE(harness_->registry().disconnected().empty());
  Bytes data;
  ASSERT_EQ(second->Read(4096, 4096, data).reply.status, REPLY_OK);
  ExpectPattern(data, 4096);
  second->Close();
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 0; }));
  EXPECT_EQ(harness_->registry().disconnected(), std::vector<uint32_t>{kClientA});
}

TEST_F(EngineTest, ClientThatLeavesBeforeItsReplyIsClosedOnce) {
  ImageFile image(16 * kMiB);
  StartOn(image);
  for (int i = 0; i < 20; ++i) {
    auto client = LoggedOn(Ipv4(127, 0, 2, static_cast<uint8_t>(i + 1)));
    uint8_t header[32];
    EncodeRequestHeader({CMD_READ, static_cast<uint64_t>(i) * 65536, 65536}, header);
    ASSERT_EQ(client->SendBytes(header, 32), 0);
    if (i % 2 == 0) {
      EXPECT_TRUE(platform::SetAbortiveClose(client->fd()).ok());
    }
    client->Close();
  }
  // Every connection closed, each with its report made: none came twice.
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 0; }));
  EXPECT_EQ(harness_->registry().disconnected().size(), 20u);
  auto survivor = LoggedOn(kClientB);
  Bytes data;
  EXPECT_EQ(survivor->Read(0, 512, data).reply.status, REPLY_OK);
}

// Clients that connect and reset at once (linger 0, then close), from many
// addresses, while other clients are served: a reset may come before the
// engine has handed the connection to its workers, and every connection
// must still be closed and freed exactly once (the sanitizers watch that).
TEST_F(EngineTest, ConnectAndResetStormLeavesTheOtherClientsServed) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  const uint16_t port = harness_->port();
  std::atomic<bool> storming{true};
  std::atomic<int> served{0};
  // One client that stays, one that comes and goes, both checking data.
  std::thread steady([&] {
    auto client = LoggedOn(kClientA);
    Bytes data;
    for (uint64_t round = 0; storming; ++round) {
      const uint64_t offset = 4096 + (round * 4096) % kMiB;
      ASSERT_EQ(client->Read(offset, 4096, data).reply.status, REPLY_OK);
      ExpectPattern(data, offset);
      ++served;
    }
  });
  std::thread visiting([&] {
    Bytes data;
    while (storming) {
      auto client = LoggedOn(kClientB);
      ASSERT_EQ(client->Read(kMiB, 512, data).reply.status, REPLY_OK);
      ExpectPattern(data, kMiB);
      ++served;
    }
  });
  constexpr int kStormers = 2;
  constexpr int kResetsEach = 1500;
  std::atomic<int> resets{0};
  std::vector<std::thread> stormers;
  for (int t = 0; t < kStormers; ++t) {
    stormers.emplace_back([&, t] {
      for (int i = 0; i < kResetsEach; ++i) {
        const uint32_t local =
            Ipv4(127, 0, static_cast<uint8_t>(10 + t), static_cast<uint8_t>(1 + i % 64));
        Result<platform::UniqueFd> socket = platform::ConnectTcp(local, Ipv4(127, 0, 0, 1), port);
        if (!socket.ok()) continue;
        EXPECT_TRUE(platform::SetAbortiveClose(socket->get()).ok());
        ++resets;
      }
    });
  }
  for (std::thread& t : stormers) t.join();
  storming = false;
  steady.join();
  visiting.join();
  EXPECT_GT(resets.load(), kStormers * kResetsEach * 9 / 10);
  EXPECT_GT(served.load(), 0);
  // Every reset connection is gone: each storm address has had its last
  // connection reported closed, and the engine serves on.
  const auto storm_addresses_closed = [&] {
    const std::vector<uint32_t> closed = harness_->registry().disconnected();
    for (int t = 0; t < kStormers; ++t) {
      for (int i = 0; i < 64; ++i) {
        const uint32_t address =
            Ipv4(127, 0, static_cast<uint8_t>(10 + t), static_cast<uint8_t>(1 + i));
        if (std::find(closed.begin(), closed.end(), address) == closed.end()) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(Eventually(storm_addresses_closed));
  auto after = LoggedOn(Ipv4(127, 0, 0, 9));
  Bytes data;
  ASSERT_EQ(after->Read(512, 65536, data).reply.status, REPLY_OK);
  ExpectPattern(data, 512);
}

TEST_F(EngineTest, StopResetsEveryConnectionAndEndsRun) {
  ImageFile image(4 * kMiB);
  StartOn(image);
  std::vector<std::unique_ptr<BlockClient>> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(LoggedOn(Ipv4(127, 0, 0, 10 + i)));
  // One mid-request: a write whose payload has not all come.
  uint8_t header[32];
  EncodeRequestHeader({CMD_WRITE, 0, 65536}, header);
  ASSERT_EQ(clients[0]->SendBytes(header, 32), 0);
  ASSERT_EQ(clients[0]->SendBytes(Bytes(1000).data(), 1000), 0);
  ASSERT_TRUE(Delivered(clients[0]->fd()));

  std::vector<std::string> lines;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { lines.emplace_back(line); });
  EXPECT_LT(harness_->StopAndWait(), kLiveness);
  platform::SetConsoleSinkForTesting(nullptr);
  // Every worker ended within the shutdown waits (a late one is logged).
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("did not end"), std::string::npos) << line;
  }
  for (auto& client : clients) {
    uint8_t byte;
    EXPECT_EQ(client->ReceiveBytes(&byte, 1), ECONNRESET);
  }
  // Nobody listens any more; and each reset address was reported once.
  BlockClient late;
  EXPECT_NE(late.Connect(harness_->port()), 0);
  std::vector<uint32_t> reported = harness_->registry().disconnected();
  std::sort(reported.begin(), reported.end());
  std::vector<uint32_t> expected;
  for (int i = 0; i < 8; ++i) expected.push_back(Ipv4(127, 0, 0, 10 + i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(reported, expected);
}

TEST_F(EngineTest, StopEndsRunEvenWhileAWorkerIsStuckInAHook) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  harness_->registry().HoldLogOns();
  BlockClient client;
  ASSERT_EQ(client.Connect(harness_->port()), 0);
  uint8_t login[32];
  EncodeLoginRequest(PasswordDigest("login").data(), login);
  ASSERT_EQ(client.SendBytes(login, 32), 0);
  // The log-on is answered first; the worker then sits in the hook.
  ASSERT_EQ(client.ReceiveReply().reply.status, REPLY_OK);
  ASSERT_TRUE(harness_->registry().WaitForHeldLogOn(std::chrono::seconds(20)));
  BlockClient other;  // an idle connection beside it
  ASSERT_EQ(other.Connect(harness_->port(), kClientB), 0);
  QueryData query;
  ASSERT_EQ(other.Query(query).error, 0);
  EXPECT_LT(harness_->StopAndWait(), kLiveness);
  harness_.reset();  // the engine object goes; the stuck worker still holds its state
  // Once the hook returns the worker ends, and the last connections go.
  uint8_t byte;
  EXPECT_EQ(client.ReceiveBytes(&byte, 1), ECONNRESET);
  EXPECT_EQ(other.ReceiveBytes(&byte, 1), ECONNRESET);
}

// The registry may be slow to take a log-on (its lock held, a name being
// looked up): the client has its reply before the registry hears of it.
TEST_F(EngineTest, LogOnIsAnsweredBeforeTheRegistryHearsOfIt) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  harness_->registry().HoldLogOns();
  BlockClient client;
  ASSERT_EQ(client.Connect(harness_->port(), kClientA), 0);
  auto login = std::async(std::launch::async, [&] { return client.Login("login"); });
  const bool answered = login.wait_for(kLiveness) == std::future_status::ready;
  EXPECT_TRUE(answered) << "the log-on waited for the registry";
  EXPECT_TRUE(harness_->registry().logged_on().empty());
  harness_->registry().Release();
  EXPECT_EQ(login.get().reply.status, REPLY_OK);
  // Served on while and after the registry takes the log-on.
  Bytes data;
  ASSERT_EQ(client.Read(8192, 4096, data).reply.status, REPLY_OK);
  ExpectPattern(data, 8192);
  ASSERT_TRUE(Eventually([&] { return !harness_->registry().logged_on().empty(); }));
  EXPECT_EQ(harness_->registry().logged_on(),
            (std::vector<std::pair<uint32_t, uint8_t>>{{kClientA, ACCESS_FULL}}));
}

// The registry lists each log-on with the level it left the connection at:
// the admitted level for the log-on password, full access for the
// management password, whatever the admission said.
TEST_F(EngineTest, LogOnsAreReportedWithTheLevelTheyLeave) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  harness_->registry().Admit(kClientA, ACCESS_VIRTUAL_WRITE);
  harness_->registry().Admit(kClientB, ACCESS_VIRTUAL_WRITE);
  BlockClient plain, lifted;
  ASSERT_EQ(plain.Connect(harness_->port(), kClientA), 0);
  ASSERT_EQ(plain.Login("login").reply.status, REPLY_OK);
  ASSERT_TRUE(Eventually([&] { return harness_->registry().logged_on().size() == 1; }));
  ASSERT_EQ(lifted.Connect(harness_->port(), kClientB), 0);
  ASSERT_EQ(lifted.Login("manage").reply.status, REPLY_OK);
  QueryData query;
  ASSERT_EQ(lifted.Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.access, ACCESS_FULL);
  ASSERT_TRUE(Eventually([&] { return harness_->registry().logged_on().size() == 2; }));
  EXPECT_EQ(harness_->registry().logged_on(),
            (std::vector<std::pair<uint32_t, uint8_t>>{{kClientA, ACCESS_VIRTUAL_WRITE},
                                                       {kClientB, ACCESS_FULL}}));
}

TEST_F(EngineTest, NothingIsAcceptedBeforeTheHooksAreIn) {
  ImageFile image(2 * kMiB);
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()));
  ASSERT_TRUE(harness_->Start(false));
  BlockClient client;
  ASSERT_EQ(client.Connect(harness_->port(), kClientA), 0);  // waits in the backlog
  QueryData query;
  uint8_t request[32];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  ASSERT_EQ(client.SendBytes(request, 32), 0);
  // The connection and its request are on the engine's machine. An engine
  // that took it without hooks would have had to refuse it: the reply
  // below would then be a reset, however late the hooks came.
  ASSERT_TRUE(Delivered(client.fd()));
  EXPECT_TRUE(harness_->registry().checked().empty());
  harness_->InstallHooks();
  Exchange x = client.ReceiveReply();
  EXPECT_EQ(x.error, 0);
  EXPECT_EQ(harness_->registry().checked(), std::vector<uint32_t>{kClientA});
}

// A room of machines connecting at once: the whole burst completes its
// handshakes in the listen queue, even while nothing is accepted yet (hooks
// not in), and is then served.
TEST_F(EngineTest, ABurstOfConnectsWaitsInTheQueueAndIsServed) {
  ImageFile image(2 * kMiB);
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()));
  ASSERT_TRUE(harness_->Start(false));
  constexpr int kBurst = 200;
  std::vector<platform::UniqueFd> sockets;
  std::vector<pollfd> pending;
  for (int i = 0; i < kBurst; ++i) {
    platform::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(socket.valid());
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = Ipv4(127, 0, 3, static_cast<uint8_t>(1 + i % 250));
    ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = Ipv4(127, 0, 0, 1);
    server.sin_port = htons(harness_->port());
    const int r = ::connect(socket.get(), reinterpret_cast<sockaddr*>(&server), sizeof server);
    ASSERT_TRUE(r == 0 || errno == EINPROGRESS) << std::strerror(errno);
    pending.push_back({socket.get(), POLLOUT, 0});
    sockets.push_back(std::move(socket));
  }
  // A connect the queue had no room for would sit in SYN-SENT, retrying
  // for as long as nothing is accepted.
  const auto deadline = std::chrono::steady_clock::now() + kLiveness;
  size_t connected = 0;
  while (connected < pending.size() && std::chrono::steady_clock::now() < deadline) {
    ASSERT_GE(::poll(pending.data(), pending.size(), 100), 0);
    connected = 0;
    for (pollfd& p : pending) {
      if (p.revents & POLLOUT) p.events = 0;
      if (p.events == 0) ++connected;
    }
  }
  EXPECT_EQ(connected, pending.size());
  EXPECT_TRUE(harness_->registry().checked().empty());
  harness_->InstallHooks();
  uint8_t request[32];
  EncodeRequestHeader({CMD_QUERY, 0, 0}, request);
  for (platform::UniqueFd& socket : sockets) {
    ASSERT_EQ(::fcntl(socket.get(), F_SETFL, 0), 0);
    ASSERT_TRUE(platform::SendAll(socket.get(), request, sizeof request).ok());
  }
  for (platform::UniqueFd& socket : sockets) {
    uint8_t reply[kReplyHeaderSize + kQueryDataSize];
    ASSERT_TRUE(platform::ReceiveAll(socket.get(), reply, sizeof reply).ok());
  }
  EXPECT_EQ(harness_->registry().checked().size(), static_cast<size_t>(kBurst));
}

// Out of file descriptors, the engine says so once and the connection waits
// in the queue; once descriptors are free again it is accepted and served.
TEST_F(EngineTest, DescriptorShortageIsReportedOnceAndWaitedOut) {
  ImageFile image(2 * kMiB);
  ConsoleCapture console;
  const auto shortage_lines = [&] {
    const std::vector<ConsoleCapture::Line> lines = console.lines();
    return std::count_if(lines.begin(), lines.end(), [](const ConsoleCapture::Line& line) {
      return line.second.find("out of file descriptors") != std::string::npos;
    });
  };
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()));
  ASSERT_TRUE(harness_->Start(false));
  BlockClient client;
  ASSERT_EQ(client.Connect(harness_->port(), kClientA), 0);  // waits in the queue
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit none_left = saved;
  none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
  harness_->InstallHooks();
  // The engine retries a good many times before descriptors come back.
  EXPECT_TRUE(Eventually([&] { return harness_->engine().DescriptorRetriesForTesting() >= 10; }));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(client.Login("manage").reply.status, REPLY_OK);
  harness_->StopAndWait();
  console.Stop();
  EXPECT_EQ(shortage_lines(), 1);
}

// The process's mapped bytes now (VmSize), or 0 when it cannot be told.
uint64_t MappedBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmSize:")) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// Out of memory for one connection's buffer, the engine turns that
// connection away, as it would an accept that failed, and serves on.
TEST_F(EngineTest, AConnectionWithoutMemoryForItsBufferIsClosedAndTheExportServesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers map memory of their own";
#endif
  ImageFile image(2 * kMiB);
  ConsoleCapture console;
  const auto said = [&] {
    const std::vector<ConsoleCapture::Line> lines = console.lines();
    return std::any_of(lines.begin(), lines.end(), [](const ConsoleCapture::Line& line) {
      return line.second.starts_with("mmap() connection buffer failed") ||
             line.second.starts_with("malloc() connection record failed");
    });
  };
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()));
  ASSERT_TRUE(harness_->Start(false));
  BlockClient first;
  ASSERT_EQ(first.Connect(harness_->port(), kClientA), 0);  // waits in the queue
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
  const uint64_t mapped = MappedBytes();
  ASSERT_GT(mapped, 0u);
  // Room for small allocations, none for a connection's 64 KiB buffer.
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(mapped + 16 * 1024);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
  harness_->InstallHooks();
  const bool refused = Eventually(said);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &saved), 0);
  ASSERT_TRUE(refused);
  EXPECT_EQ(first.ExpectClosedWithoutBytes(30000), 0);
  BlockClient second;
  ASSERT_EQ(second.Connect(harness_->port(), kClientB), 0);
  const Exchange login = second.Login("manage");
  EXPECT_EQ(login.error, 0);
  EXPECT_EQ(login.reply.status, REPLY_OK);
  harness_->StopAndWait();
}

TEST_F(EngineTest, PortTakenEndsRunAtOnce) {
  Result<platform::UniqueFd> listening = testing::ListenOnFreePort();
  ASSERT_TRUE(listening.ok()) << listening.status().ToString();
  platform::UniqueFd holder = std::move(listening).value();
  ImageFile image(kMiB);
  ServerConfig config = TestConfig(image.path());
  config.Port = platform::LocalPort(holder.get());
  std::vector<std::string> lines;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { lines.emplace_back(line); });
  EngineHarness harness(config);
  EXPECT_FALSE(harness.Start());
  EXPECT_TRUE(harness.WaitForEnd(kLiveness));
  platform::SetConsoleSinkForTesting(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"bind() failed: 98 Address already in use\n"});
}

TEST_F(EngineTest, SourceThatCannotBeOpenedEndsRunAtOnce) {
  EngineHarness harness(TestConfig("/nonexistent/quensaria.img"));
  EXPECT_FALSE(harness.Start());
  EXPECT_TRUE(harness.WaitForEnd(kLiveness));
}

TEST_F(EngineTest, SourceThatCannotBeAssociatedEndsRunAtOnce) {
  source::MemoryIo::Faults faults;
  faults.associate_error = ERROR_INVALID_HANDLE;
  auto memory = std::make_unique<source::MemoryIo>(Bytes(kMiB));
  memory->SetFaults(faults);
  auto disk = std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, kMiB, 0,
                                                   std::move(memory), 0);
  std::vector<std::string> lines;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { lines.emplace_back(line); });
  EngineHarness harness(TestConfig(), std::move(disk));
  EXPECT_FALSE(harness.Start());
  EXPECT_TRUE(harness.WaitForEnd(kLiveness));
  platform::SetConsoleSinkForTesting(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("cannot serve requests: error 6\n"), std::string::npos) << lines[0];
}

// What clients that leave print: an orderly close nothing at all, a reset
// one line at debug priority, naming the call and the error's text.
TEST_F(EngineTest, AClientThatLeavesIsNoErrorLine) {
  ImageFile image(2 * kMiB);
  StartOn(image);
  ConsoleCapture console;
  const auto captured = [&] { return console.lines(); };
  for (int i = 0; i < 8; ++i) {
    auto client = LoggedOn(Ipv4(127, 0, 7, static_cast<uint8_t>(1 + i)));
    Bytes data;
    ASSERT_EQ(client->Read(4096, 4096, data).reply.status, REPLY_OK);
    client->Close();
  }
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 0; }));
  EXPECT_TRUE(captured().empty()) << captured().front().second;

  auto resetting = LoggedOn(kClientB);
  Bytes data;
  ASSERT_EQ(resetting->Read(0, 512, data).reply.status, REPLY_OK);
  EXPECT_TRUE(platform::SetAbortiveClose(resetting->fd()).ok());
  resetting->Close();
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 0; }));
  harness_->StopAndWait();
  console.Stop();
  const auto after_reset = captured();
  ASSERT_EQ(after_reset.size(), 1u);
  EXPECT_EQ(after_reset[0].first, platform::ConsolePriority::kDebug);
  EXPECT_EQ(after_reset[0].second, "recv() failed: 104 Connection reset by peer\n");
}

// Clients that stop half way through a request (part of a header, a write's
// header and part of its payload, or a reply they never take) are cut off
// once the stall time-out has passed, and their records are freed; clients
// idle between requests stay however long they wait, and so does a client
// that sends its request slowly.
TEST_F(EngineTest, ClientsThatStopHalfWayThroughARequestAreCutOff) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kStall = std::chrono::milliseconds(2000);
  ImageFile image(8 * kMiB);
  engine::EngineOptions options;
  options.stalled_request_timeout = kStall;
  options.sweep_interval = std::chrono::milliseconds(100);
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()), nullptr, options);
  ASSERT_TRUE(harness_->Start());
  std::vector<std::unique_ptr<BlockClient>> idle;
  for (int i = 0; i < 4; ++i)
    idle.push_back(LoggedOn(Ipv4(127, 0, 5, static_cast<uint8_t>(1 + i))));
  const size_t idle_pages = platform::PageBytesInUseForTesting();

  constexpr int kStalled = 64;
  std::vector<std::unique_ptr<BlockClient>> stalled;
  std::vector<uint32_t> stalled_addresses;
  std::vector<Clock::time_point> stalled_at;
  for (int i = 0; i < kStalled; ++i) {
    const uint32_t address = Ipv4(127, 0, 6, static_cast<uint8_t>(1 + i));
    auto client = LoggedOn(address);
    uint8_t header[32];
    if (i % 2 == 0) {
      EncodeRequestHeader({CMD_READ, 0, 4096}, header);
      ASSERT_EQ(client->SendBytes(header, 1 + i % 31), 0);
    } else {
      EncodeRequestHeader({CMD_WRITE, kMiB, 65536}, header);
      ASSERT_EQ(client->SendBytes(header, 32), 0);
      const Bytes payload(static_cast<size_t>(1000 * i), 0x5A);
      ASSERT_EQ(client->SendBytes(payload.data(), payload.size()), 0);
    }
    ASSERT_TRUE(Delivered(client->fd()));
    stalled_at.push_back(Clock::now());
    stalled_addresses.push_back(address);
    stalled.push_back(std::move(client));
  }
  // Two clients that ask for more replies than the connection holds and
  // take none of them: the reply's send waits on them.
  std::vector<std::unique_ptr<BlockClient>> not_reading;
  for (int i = 0; i < 2; ++i) {
    auto client = LoggedOn(Ipv4(127, 0, 8, static_cast<uint8_t>(1 + i)));
    std::vector<uint8_t> requests(32 * 1024);
    for (size_t r = 0; r < requests.size() / 32; ++r) {
      EncodeRequestHeader({CMD_READ, (r * 65536) % (4 * kMiB), 65536}, requests.data() + 32 * r);
    }
    ASSERT_EQ(client->SendBytes(requests.data(), requests.size()), 0);
    not_reading.push_back(std::move(client));
  }
  EXPECT_GT(platform::PageBytesInUseForTesting(), idle_pages);

  // A slow client: its header comes in pieces, each well within the time-out.
  auto slow = LoggedOn(Ipv4(127, 0, 9, 1));
  uint8_t slow_header[32];
  EncodeRequestHeader({CMD_READ, 8192, 4096}, slow_header);
  for (int piece = 0; piece < 8; ++piece) {
    ASSERT_EQ(slow->SendBytes(slow_header + 4 * piece, 4), 0);
    std::this_thread::sleep_for(kStall / 6);
  }
  Exchange slow_reply = slow->ReceiveReply();
  ASSERT_EQ(slow_reply.error, 0);
  EXPECT_EQ(slow_reply.reply.status, REPLY_OK);

  // Each stalled client is closed, never before its time-out.
  for (int i = 0; i < kStalled; ++i) {
    uint8_t byte;
    const int error = stalled[i]->ReceiveBytes(&byte, 1);
    EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << i << ": " << error;
    EXPECT_GE(Clock::now() - stalled_at[i], kStall) << i;
  }
  // Their ends are reported like any other, and their memory goes back.
  ASSERT_TRUE(Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == 5; }));
  // (The slow client's record is the one more.)
  EXPECT_TRUE(Eventually([&] {
    return platform::PageBytesInUseForTesting() == idle_pages + sizeof(engine::ConnectionBuffer);
  }));
  std::vector<uint32_t> reported = harness_->registry().disconnected();
  for (uint32_t address : stalled_addresses) {
    EXPECT_NE(std::find(reported.begin(), reported.end(), address), reported.end());
  }
  EXPECT_NE(std::find(reported.begin(), reported.end(), Ipv4(127, 0, 8, 1)), reported.end());
  EXPECT_NE(std::find(reported.begin(), reported.end(), Ipv4(127, 0, 8, 2)), reported.end());

  // The idle clients waited longer than the time-out, and are served.
  for (auto& client : idle) {
    Bytes data;
    ASSERT_EQ(client->Read(65536, 4096, data).reply.status, REPLY_OK);
    ExpectPattern(data, 65536);
  }
  Bytes data;
  ASSERT_EQ(slow->Read(0, 512, data).reply.status, REPLY_OK);
  EXPECT_EQ(harness_->engine().LiveConnectionsForTesting(), 5);
}

// A source changed under a running export: the console says so once per
// change, naming the export, and the clients are served on from the file
// the export opened, never silently from another.
class SourceChangeTest : public EngineTest {
 protected:
  void SetUp() override {
    engine::EngineOptions options;
    options.sweep_interval = std::chrono::milliseconds(50);
    harness_ = std::make_unique<EngineHarness>(TestConfig(image_.path()), nullptr, options);
    ASSERT_TRUE(harness_->Start());
    // The test's own handle on the served file, to change it once its path
    // no longer leads there.
    held_.Reset(::open(image_.path().c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(held_.valid());
    client_ = LoggedOn();
  }
  void TearDown() override {
    if (harness_) harness_->StopAndWait();
    console_.Stop();
  }
  // The lines that contain `text`, waiting until there is at least one.
  std::vector<ConsoleCapture::Line> LinesWith(const std::string& text) {
    std::vector<ConsoleCapture::Line> found;
    Eventually([&] {
      found.clear();
      for (const auto& line : console_.lines()) {
        if (line.second.find(text) != std::string::npos) found.push_back(line);
      }
      return !found.empty();
    });
    return found;
  }
  std::string Export() const {
    return "export on port " + std::to_string(harness_->port()) + ": source " + image_.path();
  }
  // Once a later change has been seen, every look at the source since the
  // first has passed: its line came once.
  void ExpectSaidOnce(const std::string& text) {
    ASSERT_EQ(::ftruncate(held_.get(), 9 * kMiB), 0);
    ASSERT_EQ(LinesWith(" grew to 9437184 bytes").size(), 1u);
    EXPECT_EQ(LinesWith(text).size(), 1u) << text;
  }
  void ExpectServedFromTheOpenFile() {
    QueryData query;
    ASSERT_EQ(client_->Query(query).reply.status, REPLY_OK);
    EXPECT_EQ(query.disk_size, 8 * kMiB);
    Bytes data;
    ASSERT_EQ(client_->Read(kMiB, 65536, data).reply.status, REPLY_OK);
    ExpectPattern(data, kMiB);
    const Bytes written(4096, 0xC3);
    ASSERT_EQ(client_->Write(2 * kMiB, written.data(), 4096).reply.status, REPLY_OK);
    ASSERT_EQ(client_->Read(2 * kMiB, 4096, data).reply.status, REPLY_OK);
    EXPECT_EQ(data, written);
  }

  ImageFile image_{8 * kMiB};
  platform::UniqueFd held_;
  std::unique_ptr<BlockClient> client_;
  ConsoleCapture console_;  // from before the engine starts
};

TEST_F(SourceChangeTest, ATruncationIsAnErrorLineAndReadsPastTheNewEndFail) {
  ASSERT_EQ(::truncate(image_.path().c_str(), 4 * kMiB), 0);
  Bytes data;
  EXPECT_EQ(client_->Read(6 * kMiB, 4096, data).reply.status, REPLY_FAILED);
  const auto lines = LinesWith(" truncated to ");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, platform::ConsolePriority::kError);
  EXPECT_EQ(lines[0].second, Export() +
                                 " truncated to 4194304 bytes; clients still see 8388608, and "
                                 "reads past the new end fail\n");
  ExpectServedFromTheOpenFile();
  ExpectSaidOnce(" truncated to ");
}

TEST_F(SourceChangeTest, ADeletionIsACriticalLineAndTheFileIsServedOn) {
  ASSERT_EQ(::unlink(image_.path().c_str()), 0);
  const auto lines = LinesWith(" deleted;");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, platform::ConsolePriority::kCritical);
  EXPECT_EQ(lines[0].second, Export() +
                                 " deleted; it is served on from the open file, and what clients "
                                 "write to it is lost when the export stops\n");
  ExpectServedFromTheOpenFile();
  ExpectSaidOnce(" deleted;");
}

TEST_F(SourceChangeTest, AReplacementIsACriticalLineAndTheOldFileIsServedOn) {
  ImageFile other(8 * kMiB, 7);
  ASSERT_EQ(std::rename(other.path().c_str(), image_.path().c_str()), 0);
  const auto lines = LinesWith(" replaced by another file");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, platform::ConsolePriority::kCritical);
  EXPECT_EQ(lines[0].second, Export() +
                                 " replaced by another file; clients are still served the old "
                                 "one until the export is restarted, and what they write to it "
                                 "is lost when the export stops\n");
  ExpectServedFromTheOpenFile();
  ExpectSaidOnce(" replaced by another file");
}

TEST_F(SourceChangeTest, AMoveIsAWarningLine) {
  const std::string moved = image_.path() + ".moved";
  ASSERT_EQ(std::rename(image_.path().c_str(), moved.c_str()), 0);
  const auto lines = LinesWith(" moved away;");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, platform::ConsolePriority::kWarning);
  ExpectServedFromTheOpenFile();
  ExpectSaidOnce(" moved away;");
  ASSERT_EQ(std::rename(moved.c_str(), image_.path().c_str()), 0);
}

// A transfer that fails looks at the source at once, long before the next
// sweep would.
// A block the read cache filled before the source was cut short holds
// bytes the source no longer has: once the cut is seen, reads past the new
// end fail as uncached ones do.
TEST_F(EngineTest, ReadsPastATruncatedSourcesEndFailAlsoWhereTheyWereCached) {
  ConsoleCapture console;
  ImageFile image(8 * kMiB);
  engine::EngineOptions options;
  options.sweep_interval = std::chrono::milliseconds(50);
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path(), 10), nullptr, options);
  ASSERT_TRUE(harness_->Start());
  auto client = LoggedOn();
  const auto fills = [&] {
    ServerStats figures{};
    harness_->engine().ReadFigures(figures);
    return figures.CacheFills;
  };
  // Out of the page cache, a read fills a block from its offset (the page
  // cache may keep a block now and then: the next one is tried).
  uint64_t offset = 0;
  for (uint64_t block = 5; block < 7 && fills() == 0; ++block) {
    ASSERT_NO_FATAL_FAILURE(DropFromPageCache(image.path()));
    offset = block * kMiB;
    Bytes before;
    ASSERT_EQ(client->Read(offset, 4096, before).reply.status, REPLY_OK);
    ExpectPattern(before, offset);
  }
  if (fills() == 0) GTEST_SKIP() << "the page cache served every read: nothing cached";

  ASSERT_EQ(::truncate(image.path().c_str(), 4 * kMiB), 0);
  ASSERT_TRUE(Eventually([&] {
    for (const auto& line : console.lines()) {
      if (line.second.find(" truncated to 4194304 bytes") != std::string::npos) return true;
    }
    return false;
  }));
  Bytes data;
  EXPECT_EQ(client->Read(offset, 4096, data).reply.status, REPLY_FAILED);
  EXPECT_EQ(client->Read(offset + 8192, 512, data).reply.status, REPLY_FAILED);
  // Below the new end the source is served as before.
  ASSERT_EQ(client->Read(kMiB, 4096, data).reply.status, REPLY_OK);
  ExpectPattern(data, kMiB);
}

TEST_F(EngineTest, AFailedTransferLooksAtTheSourceAtOnce) {
  ImageFile image(8 * kMiB);
  engine::EngineOptions options;
  options.sweep_interval = std::chrono::hours(1);
  harness_ = std::make_unique<EngineHarness>(TestConfig(image.path()), nullptr, options);
  ASSERT_TRUE(harness_->Start());
  std::mutex lines_mutex;
  std::vector<std::string> lines;
  platform::SetConsoleSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(lines_mutex);
    lines.emplace_back(line);
  });
  auto client = LoggedOn();
  ASSERT_EQ(::truncate(image.path().c_str(), 4 * kMiB), 0);
  Bytes data;
  EXPECT_EQ(client->Read(6 * kMiB, 4096, data).reply.status, REPLY_FAILED);
  EXPECT_TRUE(Eventually([&] {
    std::scoped_lock lock(lines_mutex);
    return lines.size() == 1 && lines[0].find(" truncated to 4194304 bytes") != std::string::npos;
  }));
  harness_->StopAndWait();
  platform::SetConsoleSinkForTesting(nullptr);
}

// A flush that comes while a sync runs waits for the next one, without
// holding a worker: with more flushes waiting than there are file workers,
// the other clients are served meanwhile. The waiting ones share a sync.
TEST_F(EngineTest, FlushesWaitingForASyncHoldUpNoWorker) {
  source::MemoryIo* io = nullptr;
  source::MemoryIo::Faults faults;
  faults.try_would_block = true;  // every transfer needs a file worker too
  Bytes bytes(8 * kMiB);
  for (uint64_t i = 0; i < bytes.size(); ++i) bytes[i] = Pattern(i);
  auto memory = std::make_unique<source::MemoryIo>(std::move(bytes));
  memory->SetFaults(faults);
  io = memory.get();
  auto disk = std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, 8 * kMiB, 0,
                                                   std::move(memory), 0);
  source::SharedSync& sync = disk->sync();
  harness_ = std::make_unique<EngineHarness>(TestConfig(), std::move(disk));
  ASSERT_TRUE(harness_->Start());

  auto first = LoggedOn(kClientA);
  QueryData query;
  ASSERT_EQ(first->Query(query).reply.status, REPLY_OK);
  EXPECT_EQ(query.flags, QUERY_FLAG_FLUSH | QUERY_FLAG_SOURCE_ID);
  Bytes payload(4096, 0x3E);
  ASSERT_EQ(first->Write(kMiB, payload.data(), 4096).reply.status, REPLY_OK);
  io->HoldFlushes(true);
  uint8_t flush[kRequestHeaderSize];
  EncodeRequestHeader({CMD_FLUSH, 0, 0}, flush);
  ASSERT_EQ(first->SendBytes(flush, sizeof flush), 0);
  ASSERT_TRUE(Eventually([&] { return io->counts().flushes == 1; }));

  const int later = engine::ConnectionEngine::WorkerCount() + 2;
  std::vector<std::unique_ptr<BlockClient>> waiting;
  for (int i = 0; i < later; ++i) {
    waiting.push_back(LoggedOn(Ipv4(127, 0, 2, static_cast<uint8_t>(i + 1))));
    ASSERT_EQ(waiting.back()->Write(2 * kMiB + i * 4096, payload.data(), 4096).reply.status,
              REPLY_OK);
    ASSERT_EQ(waiting.back()->SendBytes(flush, sizeof flush), 0);
  }
  ASSERT_TRUE(Eventually([&] { return sync.WaitingForTesting() == later; }));
  auto other = LoggedOn(kClientB);
  Bytes data;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(other->Read(3 * kMiB + i * 4096, 4096, data).reply.status, REPLY_OK);
    ExpectPattern(data, 3 * kMiB + i * 4096);
    ASSERT_EQ(other->Write(4 * kMiB, payload.data(), 4096).reply.status, REPLY_OK);
  }
  EXPECT_EQ(io->counts().flushes, 1);

  io->HoldFlushes(false);
  EXPECT_EQ(first->ReceiveReply().reply.status, REPLY_OK);
  for (auto& client : waiting) EXPECT_EQ(client->ReceiveReply().reply.status, REPLY_OK);
  EXPECT_EQ(io->counts().flushes, 2) << "the later flushes share one sync of their own";
  // A client that never flushes costs no sync.
  ASSERT_EQ(other->Write(5 * kMiB, payload.data(), 4096).reply.status, REPLY_OK);
  EXPECT_EQ(io->counts().flushes, 2);
}

// A driver whose write got no reply in time closes the connection and sends
// the write again on a new one. The first copy, still queued for a busy file
// worker, must not land after the resend and a later write to the same
// blocks: its client has gone, so it is never made (nor answered).
TEST_F(EngineTest, AWriteWhoseClientLeftWhileItWaitedForAFileWorkerIsNotMade) {
  source::MemoryIo* io = nullptr;
  source::MemoryIo::Faults faults;
  faults.try_would_block = true;
  StartOnMemory(8 * kMiB, faults, &io);
  io->HoldWrites(true);
  Bytes payload(4096, 0x11);
  auto write_header = [](uint64_t offset, uint32_t length) {
    std::vector<uint8_t> header(kRequestHeaderSize);
    EncodeRequestHeader({CMD_WRITE, offset, length}, header.data());
    return header;
  };
  // Every file worker sits in a slow write.
  const int workers = engine::ConnectionEngine::WorkerCount();
  std::vector<std::unique_ptr<BlockClient>> busy;
  for (int i = 0; i < workers; ++i) {
    busy.push_back(LoggedOn(Ipv4(127, 0, 2, static_cast<uint8_t>(i + 1))));
    const Bytes header = write_header(2 * kMiB + i * 4096, 4096);
    ASSERT_EQ(busy.back()->SendBytes(header.data(), header.size()), 0);
    ASSERT_EQ(busy.back()->SendBytes(payload.data(), payload.size()), 0);
  }
  ASSERT_TRUE(Eventually([&] { return io->counts().writes == workers; }));

  // The first copy of the old data waits for a file worker; its client gives up.
  const Bytes old_data(4096, 0xAA);
  auto first = LoggedOn(kClientA);
  const Bytes header = write_header(kMiB, 4096);
  ASSERT_EQ(first->SendBytes(header.data(), header.size()), 0);
  ASSERT_EQ(first->SendBytes(old_data.data(), old_data.size()), 0);
  ASSERT_TRUE(Eventually([&] { return io->counts().try_writes == workers + 1; }));
  ASSERT_EQ(::shutdown(first->fd(), SHUT_RDWR), 0);
  first->Close();

  // The resend, then a newer write, both made at once and acknowledged.
  faults.try_would_block = false;
  io->SetFaults(faults);
  auto second = LoggedOn(kClientA);
  ASSERT_EQ(second->Write(kMiB, old_data.data(), 4096).reply.status, REPLY_OK);
  const Bytes new_data(4096, 0x55);
  ASSERT_EQ(second->Write(kMiB, new_data.data(), 4096).reply.status, REPLY_OK);

  io->HoldWrites(false);
  for (auto& client : busy) EXPECT_EQ(client->ReceiveReply().reply.status, REPLY_OK);
  ASSERT_TRUE(
      Eventually([&] { return harness_->engine().LiveConnectionsForTesting() == workers + 1; }));
  Bytes data;
  ASSERT_EQ(second->Read(kMiB, 4096, data).reply.status, REPLY_OK);
  EXPECT_EQ(data, new_data) << "the first copy overwrote the newer write";
  const Bytes stored = io->bytes();
  EXPECT_TRUE(std::equal(new_data.begin(), new_data.end(), stored.begin() + kMiB));
}

// The same, with the first copy already being made on a file worker when
// its client gives up: the resend, which could be made at once, waits for
// it, so the later write is the one that stays.
TEST_F(EngineTest, AResentWriteWaitsForItsFirstCopyStillBeingMade) {
  source::MemoryIo::Faults faults;
  faults.try_would_block = true;
  auto memory = std::make_unique<source::MemoryIo>(Bytes(8 * kMiB));
  memory->SetFaults(faults);
  source::MemoryIo* io = memory.get();
  auto disk = std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, 8 * kMiB, 0,
                                                   std::move(memory), 0);
  source::WriteOrder& order = disk->write_order();
  harness_ = std::make_unique<EngineHarness>(TestConfig(), std::move(disk));
  ASSERT_TRUE(harness_->Start());
  io->HoldWrites(true);

  const Bytes old_data(65536, 0xAA);
  auto first = LoggedOn(kClientA);
  uint8_t header[kRequestHeaderSize];
  EncodeRequestHeader({CMD_WRITE, kMiB, 65536}, header);
  ASSERT_EQ(first->SendBytes(header, sizeof header), 0);
  ASSERT_EQ(first->SendBytes(old_data.data(), old_data.size()), 0);
  ASSERT_TRUE(Eventually([&] { return io->counts().writes == 1; }));
  ASSERT_EQ(::shutdown(first->fd(), SHUT_RDWR), 0);
  first->Close();

  faults.try_would_block = false;
  io->SetFaults(faults);
  const Bytes new_data(4096, 0x55);
  std::atomic<bool> done{false};
  std::thread driver([&] {
    BlockClient second;
    if (second.Connect(harness_->port(), kClientA) != 0 ||
        second.Login("manage").reply.status != REPLY_OK) {
      return;
    }
    const Exchange resent = second.Write(kMiB, old_data.data(), 65536);
    EXPECT_EQ(resent.reply.status, REPLY_OK);
    if (resent.error != 0) return;
    EXPECT_EQ(second.Write(kMiB + 8192, new_data.data(), 4096).reply.status, REPLY_OK);
    done = true;
  });
  ASSERT_TRUE(Eventually([&] { return done.load() || order.WaitingForTesting() == 1; }));
  io->HoldWrites(false);
  driver.join();
  ASSERT_TRUE(done.load());
  const Bytes stored = io->bytes();
  EXPECT_TRUE(std::equal(new_data.begin(), new_data.end(), stored.begin() + kMiB + 8192))
      << "the first copy overwrote the newer write";
  EXPECT_TRUE(std::equal(old_data.begin(), old_data.begin() + 8192, stored.begin() + kMiB));
}

// Two exports of one image, each with its read cache: what a client writes
// through one is what a client of the other reads next, even where that
// other export had cached the block before.
TEST_F(EngineTest, AWriteThroughOneExportIsReadThroughAnotherOfTheSameFile) {
  ImageFile image(8 * kMiB);
  EngineHarness first(TestConfig(image.path(), 10));
  EngineHarness second(TestConfig(image.path(), 10));
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  BlockClient writer;
  ASSERT_EQ(writer.Connect(first.port(), kClientA), 0);
  ASSERT_EQ(writer.Login("manage").reply.status, REPLY_OK);
  BlockClient reader;
  ASSERT_EQ(reader.Connect(second.port(), kClientB), 0);
  ASSERT_EQ(reader.Login("manage").reply.status, REPLY_OK);
  // Out of the page cache, a read of the reader fills a block of its cache
  // (the page cache may keep a block now and then: the next one is tried).
  const auto fills = [&] {
    ServerStats figures{};
    second.engine().ReadFigures(figures);
    return figures.CacheFills;
  };
  uint64_t offset = 0;
  for (uint64_t block = 1; block < 7 && fills() == 0; ++block) {
    ASSERT_NO_FATAL_FAILURE(DropFromPageCache(image.path()));
    offset = block * kMiB;
    Bytes before;
    ASSERT_EQ(reader.Read(offset, 4096, before).error, 0);
    ExpectPattern(before, offset);
  }
  if (fills() == 0) GTEST_SKIP() << "the page cache served every read: nothing cached";
  const Bytes written(4096, 0xEE);
  const Exchange write = writer.Write(offset, written.data(), 4096);
  ASSERT_EQ(write.error, 0);
  ASSERT_EQ(write.reply.status, REPLY_OK);
  Bytes after;
  const Exchange read = reader.Read(offset, 4096, after);
  ASSERT_EQ(read.error, 0);
  ASSERT_EQ(read.reply.status, REPLY_OK);
  EXPECT_EQ(after, written);
  first.StopAndWait();
  second.StopAndWait();
}

// The same through two names of the file: a hard link and a symbolic link.
TEST_F(EngineTest, AWriteThroughOneNameOfAFileIsReadThroughAnExportOfAnother) {
  ImageFile image(8 * kMiB);
  const std::string hard = image.path() + ".link";
  const std::string soft = image.path() + ".symlink";
  ASSERT_EQ(::link(image.path().c_str(), hard.c_str()), 0);
  ASSERT_EQ(::symlink(image.path().c_str(), soft.c_str()), 0);
  uint8_t value = 0xC0;
  for (const std::string& other : {hard, soft}) {
    SCOPED_TRACE(other);
    EngineHarness first(TestConfig(image.path(), 10));
    EngineHarness second(TestConfig(other, 10));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    BlockClient writer;
    ASSERT_EQ(writer.Connect(first.port(), kClientA), 0);
    ASSERT_EQ(writer.Login("manage").reply.status, REPLY_OK);
    BlockClient reader;
    ASSERT_EQ(reader.Connect(second.port(), kClientB), 0);
    ASSERT_EQ(reader.Login("manage").reply.status, REPLY_OK);
    const auto fills = [&] {
      ServerStats figures{};
      second.engine().ReadFigures(figures);
      return figures.CacheFills;
    };
    uint64_t offset = 0;
    for (uint64_t block = 1; block < 7 && fills() == 0; ++block) {
      ASSERT_NO_FATAL_FAILURE(DropFromPageCache(image.path()));
      offset = block * kMiB;
      Bytes before;
      ASSERT_EQ(reader.Read(offset, 4096, before).error, 0);
    }
    if (fills() == 0) GTEST_SKIP() << "the page cache served every read: nothing cached";
    const Bytes written(4096, ++value);
    const Exchange write = writer.Write(offset, written.data(), 4096);
    ASSERT_EQ(write.error, 0);
    ASSERT_EQ(write.reply.status, REPLY_OK);
    Bytes after;
    const Exchange read = reader.Read(offset, 4096, after);
    ASSERT_EQ(read.error, 0);
    ASSERT_EQ(read.reply.status, REPLY_OK);
    EXPECT_EQ(after, written);
    first.StopAndWait();
    second.StopAndWait();
  }
  EXPECT_EQ(::unlink(hard.c_str()), 0);
  EXPECT_EQ(::unlink(soft.c_str()), 0);
}

// Many clients at once, each on its own region, some of them through the
// file workers only (the source never says it can do a transfer at once).
class ConcurrentEngineTest : public EngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConcurrentEngineTest, ManyClientsReadAndWriteTheirOwnRegions) {
  constexpr int kClients = 24;
  constexpr uint64_t kRegion = 2 * kMiB;
  source::MemoryIo::Faults faults;
  faults.try_would_block = GetParam();
  source::MemoryIo* io = nullptr;
  StartOnMemory(kClients * kRegion, faults, &io);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      BlockClient client;
      if (client.Connect(harness_->port(), Ipv4(127, 0, 1, static_cast<uint8_t>(c + 1))) != 0 ||
          client.Login("manage").reply.status != REPLY_OK) {
        ++failures;
        return;
      }
      std::mt19937 random(c);
      Bytes mine(kRegion);
      for (uint64_t i = 0; i < kRegion; ++i) mine[i] = Pattern(c * kRegion + i);
      Bytes data;
      for (int i = 0; i < 150; ++i) {
        const uint32_t length = 512 * (1 + random() % 128);
        const uint64_t at = 512 * (random() % ((kRegion - length) / 512));
        const uint64_t offset = c * kRegion + at;
        if (random() % 3 == 0) {
          for (uint32_t k = 0; k < length; ++k) mine[at + k] = static_cast<uint8_t>(random());
          if (client.Write(offset, mine.data() + at, length).reply.status != REPLY_OK) ++failures;
        } else {
          const Exchange x = client.Read(offset, length, data);
          if (x.error != 0 || x.reply.status != REPLY_OK ||
              !std::equal(data.begin(), data.end(), mine.begin() + at)) {
            ++failures;
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(harness_->registry().disconnected().size() == static_cast<size_t>(kClients) ||
              harness_->registry().WaitForDisconnects(kClients, kLiveness));
  if (GetParam()) {
    EXPECT_GT(io->counts().reads, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ConcurrentEngineTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "FileWorkers" : "AtOnce"; });

// ---- Figures

// The engine's figures once they reach `done` (the reply can reach the
// client just before the worker that sent it counts it).
ServerStats FiguresOnce(engine::ConnectionEngine& engine,
                        const std::function<bool(const ServerStats&)>& done) {
  ServerStats figures{};
  Eventually([&] {
    figures = ServerStats{};
    engine.ReadFigures(figures);
    return done(figures);
  });
  return figures;
}

// A known load through the real engine: N reads of K bytes, M writes, a
// refused request, a refused connection, and reads from the device whose
// cache fills and hits follow from their offsets.
TEST_F(EngineTest, FiguresOfAKnownLoadAreExact) {
  constexpr uint64_t kSize = 8 * kMiB;
  Bytes bytes(kSize);
  for (uint64_t i = 0; i < kSize; ++i) bytes[i] = Pattern(i);
  auto memory = std::make_unique<source::MemoryIo>(std::move(bytes));
  source::MemoryIo* io = memory.get();
  harness_ = std::make_unique<EngineHarness>(
      TestConfig(), std::make_unique<source::DiskSource>(source::SOURCE_IMAGE_FILE, kSize, 0,
                                                         std::move(memory), 10));
  ASSERT_TRUE(harness_->Start());
  harness_->registry().Admit(kClientB, ACCESS_REFUSED);

  constexpr int kReads = 12, kWrites = 5;
  constexpr uint32_t kLength = 16384;
  auto client = LoggedOn(kClientA);
  Bytes data;
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(client->Read(kLength * i, kLength, data).reply.status, REPLY_OK);
  }
  const Bytes payload(8192, 0x5A);
  for (int i = 0; i < kWrites; ++i) {
    ASSERT_EQ(client->Write(4 * kMiB + 8192 * i, payload.data(), 8192).reply.status, REPLY_OK);
  }
  ASSERT_EQ(client->Read(kSize, 512, data).reply.status, REPLY_FAILED);  // past the end
  BlockClient stranger;
  ASSERT_EQ(stranger.Connect(harness_->port(), kClientB), 0);
  EXPECT_EQ(stranger.ExpectClosedWithoutBytes(10000), 0);
  auto second = std::make_unique<BlockClient>();
  ASSERT_EQ(second->Connect(harness_->port(), kClientA), 0);
  ASSERT_EQ(second->Read(0, 512, data).reply.status, REPLY_DENIED);  // not logged on

  // Now only the device holds the bytes: 1 MiB blocks fill and then hit.
  source::MemoryIo::Faults faults;
  faults.try_would_block = true;
  io->SetFaults(faults);
  for (const uint64_t at : {kMiB, kMiB + 4096, 6 * kMiB, kMiB + 65536, 6 * kMiB + 512}) {
    ASSERT_EQ(client->Read(at, 4096, data).reply.status, REPLY_OK);
    ExpectPattern(data, at);
  }

  engine::ConnectionEngine& engine = harness_->engine();
  const ServerStats figures =
      FiguresOnce(engine, [](const ServerStats& f) { return f.Reads == kReads + 7; });
  EXPECT_EQ(figures.Reads, kReads + 7u);
  EXPECT_EQ(figures.Writes, uint64_t{kWrites});
  EXPECT_EQ(figures.OtherRequests, 1u);  // the log-on
  EXPECT_EQ(figures.BytesRead, uint64_t{kReads} * kLength + 5 * 4096);
  EXPECT_EQ(figures.BytesWritten, uint64_t{kWrites} * 8192);
  EXPECT_EQ(figures.Errors, 2u);
  EXPECT_EQ(figures.RefusedConnections, 1u);
  EXPECT_EQ(figures.CacheFills, 2u);
  EXPECT_EQ(figures.CacheHits, 3u);
  EXPECT_EQ(figures.Connections, 2u);
  EXPECT_EQ(figures.RecentRequests, kReads + kWrites + 8u);
  EXPECT_GT(figures.LatencyP99Micros, 0u);
  EXPECT_LE(figures.LatencyP50Micros, figures.LatencyP99Micros);
  EXPECT_GE(figures.LatencySumMicros, uint64_t{figures.LatencyP50Micros});

  second.reset();
  EXPECT_EQ(
      FiguresOnce(engine, [](const ServerStats& f) { return f.Connections == 1; }).Connections, 1u);
}

// Many clients at once on every worker: the totals are the sums of what
// each client did, and every connection is counted until it closes.
TEST_F(EngineTest, FiguresAddUpUnderConcurrentLoad) {
  constexpr int kClients = 12, kRequests = 120;
  constexpr uint64_t kRegion = kMiB;
  source::MemoryIo::Faults faults;
  StartOnMemory(kClients * kRegion, faults);
  std::atomic<uint64_t> reads{0}, writes{0}, read_bytes{0}, written_bytes{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      BlockClient client;
      if (client.Connect(harness_->port(), Ipv4(127, 0, 2, static_cast<uint8_t>(c + 1))) != 0 ||
          client.Login("manage").reply.status != REPLY_OK) {
        ++failures;
        return;
      }
      std::mt19937 random(c);
      Bytes data(65536, static_cast<uint8_t>(c));
      for (int i = 0; i < kRequests; ++i) {
        const uint32_t length = 512 * (1 + random() % 128);
        const uint64_t offset = c * kRegion + 512 * (random() % ((kRegion - length) / 512));
        const bool write = random() % 3 == 0;
        const Exchange x =
            write ? client.Write(offset, data.data(), length) : client.Read(offset, length, data);
        if (x.error != 0 || x.reply.status != REPLY_OK) ++failures;
        (write ? writes : reads) += 1;
        (write ? written_bytes : read_bytes) += length;
        data.resize(65536);
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);
  const ServerStats figures = FiguresOnce(harness_->engine(), [&](const ServerStats& f) {
    return f.Reads + f.Writes == uint64_t{kClients} * kRequests && f.Connections == 0;
  });
  EXPECT_EQ(figures.Reads, reads.load());
  EXPECT_EQ(figures.Writes, writes.load());
  EXPECT_EQ(figures.BytesRead, read_bytes.load());
  EXPECT_EQ(figures.BytesWritten, written_bytes.load());
  EXPECT_EQ(figures.OtherRequests, uint64_t{kClients});
  EXPECT_EQ(figures.Errors, 0u);
  EXPECT_EQ(figures.Connections, 0u);
}

// A real partition served as a whole disk.
TEST_F(EngineTest, PartitionOnABlockDeviceIsServedBehindItsHeader) {
  const std::string why = platform::LoopDisk::UnavailableReason();
  if (!why.empty()) GTEST_SKIP() << why;
  Result<std::unique_ptr<platform::LoopDisk>> made =
      platform::LoopDisk::Create(16 * kMiB, "label: dos\nstart=2048, size=8192, type=83\n");
  ASSERT_TRUE(made.ok()) << made.status().ToString();
  std::unique_ptr<platform::LoopDisk> disk = std::move(made).value();
  harness_ = std::make_unique<EngineHarness>(TestConfig(disk->partition(1)));
  ASSERT_TRUE(harness_->Start());
  auto client = LoggedOn();
  QueryData query;
  ASSERT_EQ(client->Query(query).error, 0);
  EXPECT_EQ(query.disk_size, 8192u * 512 + 32256);

  Bytes payload(4096);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(client->Write(32256, payload.data(), 4096).reply.status, REPLY_OK);
  // A sync of the partition's block device (and its disk's write cache).
  EXPECT_EQ(client->Flush().reply.status, REPLY_OK);
  Bytes data;
  ASSERT_EQ(client->Read(0, 65536, data).reply.status, REPLY_OK);
  EXPECT_EQ(data[510], 0x55);
  EXPECT_EQ(data[511], 0xAA);
  EXPECT_EQ(data[446 + 4], 0x83);
  EXPECT_EQ(LoadLe32(data.data() + 446 + 12), 8192u);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), data.begin() + 32256));
  harness_->StopAndWait();
  harness_.reset();
  // The bytes are on the partition, at its own offset 0.
  std::ifstream image(disk->image(), std::ios::binary);
  image.seekg(2048 * 512);
  Bytes on_disk(4096);
  image.read(reinterpret_cast<char*>(on_disk.data()), 4096);
  EXPECT_EQ(on_disk, payload);
}

// A whole disk and one of its partitions served side by side: each device
// has its own page cache and each export its read cache, yet what a client
// writes through one is what a client of the other reads next.
class DiskAndPartitionTest : public EngineTest {
 protected:
  static constexpr uint64_t kPartitionStart = 2048 * 512;
  void SetUp() override {
    const std::string why = platform::LoopDisk::UnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    Result<std::unique_ptr<platform::LoopDisk>> made =
        platform::LoopDisk::Create(16 * kMiB, "label: dos\nstart=2048, size=16384, type=83\n");
    ASSERT_TRUE(made.ok()) << made.status().ToString();
    disk_ = std::move(made).value();
    whole_ = std::make_unique<EngineHarness>(TestConfig(disk_->device(), 10));
    part_ = std::make_unique<EngineHarness>(TestConfig(disk_->partition(1), 10));
    ASSERT_TRUE(whole_->Start());
    ASSERT_TRUE(part_->Start());
    ASSERT_EQ(whole_client_.Connect(whole_->port(), kClientA), 0);
    ASSERT_EQ(whole_client_.Login("manage").reply.status, REPLY_OK);
    ASSERT_EQ(part_client_.Connect(part_->port(), kClientB), 0);
    ASSERT_EQ(part_client_.Login("manage").reply.status, REPLY_OK);
  }
  void TearDown() override {
    if (part_) part_->StopAndWait();
    if (whole_) whole_->StopAndWait();
  }
  static uint64_t Fills(EngineHarness& harness) {
    ServerStats figures{};
    harness.engine().ReadFigures(figures);
    return figures.CacheFills;
  }
  // Reads `offset` of `device` through its export until a read fills a
  // block of that export's cache (out of the page cache); false when the
  // page cache served every try.
  bool CachedThrough(EngineHarness& harness, BlockClient& client, const std::string& device,
                     uint64_t first, uint64_t& offset) {
    const uint64_t before = Fills(harness);
    for (uint64_t block = 0; block < 4 && Fills(harness) == before; ++block) {
      DropFromPageCache(device);
      offset = first + block * kMiB;
      Bytes data;
      EXPECT_EQ(client.Read(offset, 4096, data).reply.status, REPLY_OK);
    }
    return Fills(harness) != before;
  }
  // Reads through a descriptor of `device` of this process, so that its
  // page cache holds the bytes the export will read from there.
  static void IntoPageCache(const std::string& device, uint64_t offset) {
    platform::UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    Bytes data(4096);
    ASSERT_EQ(::pread(fd.get(), data.data(), data.size(), static_cast<off_t>(offset)), 4096);
  }
  static void ExpectWritten(BlockClient& writer, uint64_t write_at, BlockClient& reader,
                            uint64_t read_at, uint8_t value) {
    const Bytes written(4096, value);
    const Exchange write = writer.Write(write_at, written.data(), 4096);
    ASSERT_EQ(write.error, 0);
    ASSERT_EQ(write.reply.status, REPLY_OK);
    Bytes after;
    const Exchange read = reader.Read(read_at, 4096, after);
    ASSERT_EQ(read.error, 0);
    ASSERT_EQ(read.reply.status, REPLY_OK);
    EXPECT_EQ(after, written);
  }

  std::unique_ptr<platform::LoopDisk> disk_;
  std::unique_ptr<EngineHarness> whole_;
  std::unique_ptr<EngineHarness> part_;
  BlockClient whole_client_;
  BlockClient part_client_;
};

TEST_F(DiskAndPartitionTest, AWriteThroughTheDiskIsReadThroughThePartitionsCache) {
  uint64_t offset = 0;  // of the partition's export, behind its header
  if (!CachedThrough(*part_, part_client_, disk_->partition(1), 32256 + kMiB, offset))
    GTEST_SKIP() << "the page cache served every read: nothing cached";
  ExpectWritten(whole_client_, kPartitionStart + offset - 32256, part_client_, offset, 0xE1);
}

TEST_F(DiskAndPartitionTest, AWriteThroughThePartitionIsReadThroughTheDisksCache) {
  uint64_t offset = 0;
  if (!CachedThrough(*whole_, whole_client_, disk_->device(), kPartitionStart + kMiB, offset))
    GTEST_SKIP() << "the page cache served every read: nothing cached";
  ExpectWritten(part_client_, offset - kPartitionStart + 32256, whole_client_, offset, 0xE2);
}

// Neither read cache holds the bytes: the reader's device had them in its
// page cache, which the write through the other device does not change.
TEST_F(DiskAndPartitionTest, AWriteThroughOneIsReadThroughTheOthersPageCache) {
  ASSERT_NO_FATAL_FAILURE(IntoPageCache(disk_->partition(1), 2 * kMiB));
  ExpectWritten(whole_client_, kPartitionStart + 2 * kMiB, part_client_, 32256 + 2 * kMiB, 0xE3);
  ASSERT_NO_FATAL_FAILURE(IntoPageCache(disk_->device(), kPartitionStart + 3 * kMiB));
  ExpectWritten(part_client_, 32256 + 3 * kMiB, whole_client_, kPartitionStart + 3 * kMiB, 0xE4);
}

}  // namespace
}  // namespace quensaria::testing
