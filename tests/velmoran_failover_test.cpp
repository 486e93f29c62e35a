// Clients that name several servers of one disk, with the real velmoran,
// velmoran-ctl and two quensaria processes in front of a one-node Ceph
// cluster (tests/ceph_cluster_for_testing.sh): eight virtual-write clients
// spread over two services of one image go on with the other service when
// one is killed, without an error and with every byte right; a full-access
// client whose second server serves another source never writes there and
// fails once the reconnect time-out has passed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "configurator/client/management_client.h"
#include "platform/eventually_for_testing.h"
#include "platform/unique_fd.h"
#include "shared/block_protocol.h"
#include "shared/mount_record.h"
#include "shared/password_digest.h"
#include "tests/ceph_cluster_for_testing.h"
#include "tests/program_for_testing.h"
#include "tests/rbd_service_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria {
namespace {

using namespace std::chrono_literals;
using configurator::Handle;
using configurator::ManagementClient;
using testing::CephCluster;
using testing::Program;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kImageSize = 16 * kMiB;
constexpr size_t kBlock = 4096;
constexpr int kClients = 8;
// Short, so that the client that must not fail over gives up soon.
constexpr int kReconnectSeconds = 4;

uint8_t PatternByte(uint64_t at, uint8_t seed) {
  return static_cast<uint8_t>((at * 13 + at / 4096 + seed) & 0xFF);
}

std::vector<uint8_t> Pattern(uint64_t offset, size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = PatternByte(offset + i, seed);
  return bytes;
}

std::string ImageName(const std::string& what) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(test->name()) + "-" + what + "-" + std::to_string(getpid());
}

using Service = testing::RbdService;

// Serves `source` on `service` (see RbdService::Add), started; its port, 0
// on failure.
uint16_t Serve(Service& service, const std::string& source) {
  uint16_t port = 0;
  const Handle server = service.Add(source, port);
  return service.client().StartServer(server) == 0 ? port : 0;
}

class VelmoranFailoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness::VelmoranIsBuilt());
    const std::string missing = harness::MissingForDriver(/*loop=*/false);
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string why;
    cluster_ = CephCluster::Get(why);
    if (cluster_ == nullptr) GTEST_SKIP() << why;
    velmoran_ = harness::VelmoranProcess::Start(
        scratch_.File("vm"), {"--reconnect-timeout", std::to_string(kReconnectSeconds)});
    ASSERT_NE(velmoran_, nullptr);
  }
  void TearDown() override {
    if (velmoran_ != nullptr) {
      for (int i = 0; i < kClients; ++i) {
        (void)velmoran_->Ctl("unmount VelmoranEx" + std::to_string(i));
      }
      EXPECT_EQ(velmoran_->Stop(), 0) << velmoran_->Log();
      EXPECT_EQ(harness::FaultsIn(velmoran_->Log()), "");
    }
  }

  std::unique_ptr<Service> StartService(const std::string& name) {
    auto service = std::make_unique<Service>(scratch_.File(name), cluster_->conf());
    EXPECT_TRUE(service->up()) << service->Log();
    return service;
  }
  std::string MakeImage(const std::string& what, uint8_t seed) {
    const std::string image = ImageName(what);
    EXPECT_TRUE(cluster_->CreateImage(image, kImageSize));
    EXPECT_TRUE(cluster_->WriteImage(image, 0, Pattern(0, kImageSize, seed)));
    return image;
  }
  // "127.0.0.1:PORT" of the server the query of device `n` says it is on.
  std::string OnServer(int n) {
    const harness::CommandResult query = velmoran_->Ctl("query VelmoranEx" + std::to_string(n));
    const size_t at = query.output.find("on server: ");
    if (query.code != 0 || at == std::string::npos) return "?";
    return query.output.substr(at + 11, query.output.find('\n', at) - at - 11);
  }

  CephCluster* cluster_ = nullptr;
  testing::ScratchDir scratch_;
  std::unique_ptr<harness::VelmoranProcess> velmoran_;
};

std::string Local(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// One client's verifying load on its device: writes a block of its own at
// a random place, reads it back, and reads a block nobody wrote, which
// must hold the image's bytes (from whichever server the disk is on).
class Probe {
 public:
  Probe(std::string path, uint8_t seed, int client) : seed_(seed), client_(client) {
    fd_.Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  }
  // One round; false (with what went wrong in failure()) on any fault.
  bool Round(std::mt19937& random) {
    if (!fd_.valid()) return Fail("cannot open the device");
    // Even blocks are this client's to write; odd ones keep the image's.
    const uint64_t mine = 2 * (random() % (kImageSize / kBlock / 2));
    const uint64_t theirs = 2 * (random() % (kImageSize / kBlock / 2)) + 1;
    ++round_;
    std::vector<uint8_t> block(kBlock);
    for (size_t i = 0; i < kBlock; ++i) {
      block[i] = static_cast<uint8_t>(i * 31 + mine + static_cast<uint64_t>(round_.load()) * 7 +
                                      static_cast<uint64_t>(client_));
    }
    if (::pwrite(fd_.get(), block.data(), kBlock, static_cast<off_t>(mine * kBlock)) !=
        static_cast<ssize_t>(kBlock)) {
      return Fail("write failed: " + std::string(std::strerror(errno)));
    }
    std::vector<uint8_t> back(kBlock);
    if (::pread(fd_.get(), back.data(), kBlock, static_cast<off_t>(mine * kBlock)) !=
        static_cast<ssize_t>(kBlock)) {
      return Fail("read back failed: " + std::string(std::strerror(errno)));
    }
    if (back != block) return Fail("block " + std::to_string(mine) + " read back wrong");
    if (::pread(fd_.get(), back.data(), kBlock, static_cast<off_t>(theirs * kBlock)) !=
        static_cast<ssize_t>(kBlock)) {
      return Fail("read failed: " + std::string(std::strerror(errno)));
    }
    if (back != Pattern(theirs * kBlock, kBlock, seed_)) {
      return Fail("block " + std::to_string(theirs) + " is not the image's");
    }
    return true;
  }
  int rounds() const { return round_.load(); }
  bool failed() const { return failed_.load(); }
  // REQUIRES: the probe's thread has ended.
  const std::string& failure() const { return failure_; }

 private:
  bool Fail(const std::string& why) {
    failure_ =
        "client " + std::to_string(client_) + " round " + std::to_string(round_) + ": " + why;
    failed_ = true;
    return false;
  }
  platform::UniqueFd fd_;
  uint8_t seed_;
  int client_;
  std::atomic<int> round_{0};
  std::atomic<bool> failed_{false};
  std::string failure_;
};

TEST_F(VelmoranFailoverTest, VirtualWriteClientsGoOnWithTheOtherServiceWhenOneIsKilled) {
  const uint8_t seed = 21;
  const std::string image = MakeImage("room", seed);
  std::unique_ptr<Service> a = StartService("a");
  std::unique_ptr<Service> b = StartService("b");
  const uint16_t port_a = Serve(*a, "rbd:rbd/" + image + ":ro");
  const uint16_t port_b = Serve(*b, "rbd:rbd/" + image + ":ro");
  ASSERT_NE(port_a, 0) << a->Log();
  ASSERT_NE(port_b, 0) << b->Log();

  // Each client names both servers, half of them A first, half B first.
  for (int n = 0; n < kClients; ++n) {
    const std::string servers =
        n % 2 == 0 ? Local(port_a) + " " + Local(port_b) : Local(port_b) + "," + Local(port_a);
    const harness::CommandResult mounted =
        velmoran_->Ctl("mount-net VelmoranEx" + std::to_string(n) + " " + servers +
                       " --password pupil --cache-dir " + harness::Quote(scratch_.path()));
    ASSERT_EQ(mounted.code, 0) << mounted.output;
    EXPECT_EQ(OnServer(n), n % 2 == 0 ? Local(port_a) : Local(port_b));
  }

  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Probe>> probes;
  for (int n = 0; n < kClients; ++n) {
    probes.push_back(
        std::make_unique<Probe>(velmoran_->DevicePath("VelmoranEx" + std::to_string(n)), seed, n));
  }
  std::vector<std::thread> load;
  std::vector<std::atomic<int>> rounds_at_kill(kClients);
  std::atomic<bool> killed{false};
  for (int n = 0; n < kClients; ++n) {
    load.emplace_back([&, n] {
      std::mt19937 random(static_cast<unsigned>(n * 7919 + 1));
      while (!stop.load()) {
        if (!probes[n]->Round(random)) return;
        if (!killed.load()) rounds_at_kill[n] = probes[n]->rounds();
      }
    });
  }
  // Some load on both, then service A goes as a crash would take it. The
  // waits are bounded against hangs; the checks after them say what came.
  auto everyone_did = [&](int rounds) {
    for (int n = 0; n < kClients; ++n) {
      if (probes[n]->failed()) return true;  // ends the wait
      if (probes[n]->rounds() < rounds) return false;
    }
    return true;
  };
  testing::Eventually([&] { return everyone_did(20); }, 30s, 20ms);
  a->Kill();
  killed = true;
  // Every client goes on for at least 100 more rounds, and for 3 s.
  const auto kill_time = std::chrono::steady_clock::now();
  auto everyone_went_on = [&] {
    if (std::chrono::steady_clock::now() < kill_time + 3s) return false;
    for (int n = 0; n < kClients; ++n) {
      if (probes[n]->failed()) return true;
      if (probes[n]->rounds() < rounds_at_kill[n] + 100) return false;
    }
    return true;
  };
  testing::Eventually(everyone_went_on, 40s, 20ms);
  stop = true;
  for (auto& t : load) t.join();

  for (int n = 0; n < kClients; ++n) {
    EXPECT_EQ(probes[n]->failure(), "");
    EXPECT_GE(probes[n]->rounds(), rounds_at_kill[n] + 100) << "client " << n << " stalled";
    EXPECT_EQ(OnServer(n), Local(port_b)) << "client " << n;
  }
  // Each connection of the four clients that were on A said where it went;
  // B's did not move.
  const std::string log = velmoran_->Log();
  const std::string line =
      "Failing over from server " + Local(port_a) + " to server " + Local(port_b);
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  EXPECT_EQ(count, static_cast<size_t>(kClients / 2 * kDefaultMountConnections)) << log;
  EXPECT_EQ(log.find("Failing over from server " + Local(port_b)), std::string::npos);

  // A mount whose first server is gone mounts from the next one.
  probes.clear();
  ASSERT_EQ(velmoran_->Ctl("unmount VelmoranEx0").code, 0);
  const harness::CommandResult again = velmoran_->Ctl("mount-net VelmoranEx0 " + Local(port_a) +
                                                      " " + Local(port_b) + " --password pupil");
  ASSERT_EQ(again.code, 0) << again.output;
  EXPECT_EQ(OnServer(0), Local(port_b));
  b->Stop();
}

TEST_F(VelmoranFailoverTest, AFullAccessClientNeverWritesToAServerOfAnotherSource) {
  const uint8_t seed = 33;
  const std::string image = MakeImage("disk", seed);
  std::unique_ptr<Service> a = StartService("a");
  std::unique_ptr<Service> b = StartService("b");
  // B serves a file of the same size: the same size, another source.
  const std::string file = scratch_.File("other.img");
  ASSERT_TRUE(harness::WriteFile(file, std::vector<uint8_t>(kImageSize, 0)));
  const uint16_t port_a = Serve(*a, "rbd:rbd/" + image);
  const uint16_t port_b = Serve(*b, file);
  ASSERT_NE(port_a, 0) << a->Log();
  ASSERT_NE(port_b, 0) << b->Log();
  const harness::CommandResult mounted = velmoran_->Ctl("mount-net VelmoranEx0 " + Local(port_a) +
                                                        " " + Local(port_b) + " --password boss");
  ASSERT_EQ(mounted.code, 0) << mounted.output;
  const harness::CommandResult query = velmoran_->Ctl("query VelmoranEx0");
  EXPECT_NE(query.output.find("virtual write: 0"), std::string::npos) << query.output;
  EXPECT_NE(query.output.find("servers: " + Local(port_a) + " " + Local(port_b)), std::string::npos)
      << query.output;

  platform::UniqueFd fd(::open(velmoran_->DevicePath("VelmoranEx0").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  const std::vector<uint8_t> block(kBlock, 0x5C);
  ASSERT_EQ(::pwrite(fd.get(), block.data(), kBlock, 0), static_cast<ssize_t>(kBlock));
  ASSERT_EQ(::fdatasync(fd.get()), 0);
  std::vector<uint8_t> seen;
  ASSERT_TRUE(cluster_->ReadImage(image, 0, kBlock, seen));
  EXPECT_EQ(seen, block);

  a->Kill();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(::pwrite(fd.get(), block.data(), kBlock, 8 * kBlock), -1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(kReconnectSeconds) - 500ms);
  EXPECT_LT(waited, 30s);
  // Nothing reached the file behind B, and the disk stayed on A.
  EXPECT_EQ(harness::ReadFile(file), std::vector<uint8_t>(kImageSize, 0));
  EXPECT_EQ(OnServer(0), Local(port_a));
  const std::string log = velmoran_->Log();
  EXPECT_NE(log.find("Server " + Local(port_b) + " not used: it serves another source"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Failing over"), std::string::npos) << log;
  fd.Reset();
  b->Stop();
}

}  // namespace
}  // namespace quensaria
