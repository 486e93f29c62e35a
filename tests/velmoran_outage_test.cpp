// Network outages between the real velmoran and the real quensaria: each
// runs in a network namespace of this test's own, joined by a veth pair,
// and the faults are made there (an nft rule that drops everything, the
// client's link down). A probe writes a stamped 4 KiB block every 0.2 s
// through the driver's device file meanwhile; none of its writes may fail,
// and every block must read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "shared/mount_record.h"
#include "tests/service_and_driver_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kServerAddress = "10.213.0.1";
constexpr const char* kClientAddress = "10.213.0.2";
constexpr uint64_t kProbeBase = 1 << 20;  // clear of sector 0 and its stamp
constexpr size_t kBlock = 4096;

// Waits for `done` (every 50 ms) up to `bound`.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds bound) {
  return testing::Eventually(done, bound, 50ms);
}

// Two namespaces and the veth pair between them; gone with this object.
class NetworkPair {
 public:
  NetworkPair() {
    const std::string id = std::to_string(::getpid());
    client_ = "qdc" + id;
    server_ = "qds" + id;
    client_link_ = "qc" + id;
    server_link_ = "qs" + id;
    ok_ = Run("ip netns add " + client_) && Run("ip netns add " + server_) &&
          Run("ip link add " + client_link_ + " netns " + client_ + " type veth peer name " +
              server_link_ + " netns " + server_) &&
          Run("ip -n " + client_ + " addr add " + kClientAddress + "/24 dev " + client_link_) &&
          Run("ip -n " + server_ + " addr add " + kServerAddress + "/24 dev " + server_link_) &&
          Run("ip -n " + client_ + " link set " + client_link_ + " up") &&
          Run("ip -n " + server_ + " link set " + server_link_ + " up") &&
          Run("ip -n " + client_ + " link set lo up") &&
          Run("ip -n " + server_ + " link set lo up") &&
          WaitFor([&] { return LinkUp(client_, client_link_) && LinkUp(server_, server_link_); },
                  20s);
  }
  ~NetworkPair() {
    Shell("ip netns del " + client_);
    Shell("ip netns del " + server_);
  }
  bool ok() const { return ok_; }

  // Runs a program in the namespace's network only (the mount namespace
  // stays: the driver's device files must be seen from here).
  std::vector<std::string> InClient() const {
    return {"/usr/bin/nsenter", "--net=" + Path(client_)};
  }
  std::vector<std::string> InServer() const {
    return {"/usr/bin/nsenter", "--net=" + Path(server_)};
  }

  // Everything between the two is dropped in the server's namespace, both
  // ways, until Clear.
  bool BlackHole() {
    return Run("ip netns exec " + server_ +
               " nft -f - <<'EOF'\n"
               "table inet outage {\n"
               "  chain in { type filter hook input priority 0; ip saddr " +
               kClientAddress +
               " drop; }\n"
               "  chain out { type filter hook output priority 0; ip daddr " +
               kClientAddress +
               " drop; }\n"
               "}\n"
               "EOF");
  }
  bool Clear() { return Run("ip netns exec " + server_ + " nft delete table inet outage"); }
  bool ClientLink(bool up) {
    return Run("ip -n " + client_ + " link set " + client_link_ + (up ? " up" : " down"));
  }
  // TCP connections of the client to `port` that the kernel holds established.
  int Established(int port) const {
    const CommandResult r =
        Shell("ip netns exec " + client_ +
              " ss -Htn state established '( dport = :" + std::to_string(port) + " )' | wc -l");
    return std::atoi(r.output.c_str());
  }

 private:
  static std::string Path(const std::string& name) { return "/run/netns/" + name; }
  static bool LinkUp(const std::string& ns, const std::string& link) {
    return Shell("ip -n " + ns + " -br link show dev " + link).output.find(" UP ") !=
           std::string::npos;
  }
  static bool Run(const std::string& command) { return Shell(command).code == 0; }

  std::string client_, server_, client_link_, server_link_;
  bool ok_ = false;
};

// Writes block n (its number in its first 8 bytes, a pattern of it behind)
// at kProbeBase + n * 4 KiB every 0.2 s, on a thread of its own; the pause
// paces the load, like a logger that writes now and then.
class Probe {
 public:
  explicit Probe(const std::string& device) : device_(device) {}
  ~Probe() { Stop(); }

  void Start() {
    running_ = true;
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  int written() const { return written_.load(); }
  std::vector<std::string> failures() {
    std::scoped_lock lock(mutex_);
    return failures_;
  }
  // Blocks written whose bytes read back otherwise from `path`.
  std::vector<int> Mismatches(const std::string& path, bool direct) const {
    std::vector<int> wrong;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0));
    if (fd < 0) return {-1};
    uint8_t* data = Aligned();
    std::vector<uint8_t> expected(kBlock);
    for (int n = 0; n < written_.load(); ++n) {
      Stamp(n, expected.data());
      if (::pread(fd, data, kBlock, Offset(n)) != static_cast<ssize_t>(kBlock) ||
          std::memcmp(data, expected.data(), kBlock) != 0) {
        wrong.push_back(n);
      }
    }
    std::free(data);
    ::close(fd);
    return wrong;
  }

 private:
  static uint64_t Offset(int n) { return kProbeBase + static_cast<uint64_t>(n) * kBlock; }
  static void Stamp(int n, uint8_t* data) {
    std::memcpy(data, &n, sizeof n);
    for (size_t i = sizeof n; i < kBlock; ++i) data[i] = static_cast<uint8_t>(n * 131 + i);
  }
  static uint8_t* Aligned() {
    void* p = nullptr;
    return ::posix_memalign(&p, kBlock, kBlock) == 0 ? static_cast<uint8_t*>(p) : nullptr;
  }
  void Run() {
    const int fd = ::open(device_.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT);
    uint8_t* data = Aligned();
    while (running_) {
      const int n = written_.load();
      Stamp(n, data);
      const auto start = Clock::now();
      const ssize_t done = ::pwrite(fd, data, kBlock, Offset(n));
      if (done != static_cast<ssize_t>(kBlock)) {
        std::scoped_lock lock(mutex_);
        failures_.push_back("block " + std::to_string(n) + ": " + std::strerror(errno) + " after " +
                            std::to_string((Clock::now() - start) / 1ms) + " ms");
        continue;  // written_ stays: the same block again
      }
      ++written_;
      std::this_thread::sleep_for(200ms);
    }
    std::free(data);
    ::close(fd);
  }

  const std::string device_;
  std::atomic<bool> running_{false};
  std::atomic<int> written_{0};
  std::mutex mutex_;
  std::vector<std::string> failures_;
  std::thread thread_;
};

class OutageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(VelmoranIsBuilt()) << "velmoran is not built";
    const std::string missing = MissingForDriver(/*loop=*/false);
    if (!missing.empty()) GTEST_SKIP() << missing;
    if (Shell("command -v ip && command -v nft && command -v nsenter && command -v ss").code != 0) {
      GTEST_SKIP() << "needs ip, nft, nsenter and ss";
    }
    network_ = std::make_unique<NetworkPair>();
    ASSERT_TRUE(network_->ok()) << "could not make the two namespaces";
  }
  // Starts both programs in their namespaces, exports a 64 MiB image to the
  // client's address and mounts it on VelmoranEx0.
  void StartAndMount(const std::vector<std::string>& driver_arguments = {}) {
    stack_.SetServiceWrapper(network_->InServer());
    stack_.SetDriverCommand(network_->InClient(), driver_arguments);
    ASSERT_NO_FATAL_FAILURE(stack_.Start());
    image_ = scratch_.File("export.img");
    ASSERT_EQ(0, Shell("truncate -s 64M " + image_).code);
    std::string server;
    port_ = stack_.Export(image_, "full", "", true, &server);
    ASSERT_EQ(0, Shell(stack_.Cli("add-client " + server + " " + kClientAddress + " full")).code);
    const CommandResult r = stack_.velmoran()->Ctl(
        "mount-net VelmoranEx0 " + std::string(kServerAddress) + " " + std::to_string(port_));
    ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();
    probe_ = std::make_unique<Probe>(stack_.velmoran()->DevicePath("VelmoranEx0"));
  }
  void TearDown() override {
    if (probe_) probe_->Stop();
    if (network_) {
      network_->Clear();
      network_->ClientLink(true);
    }
    stack_.StopAndCheck();
    network_.reset();
  }
  // Waits until the probe has written `more` blocks more than now.
  bool ProbeWrites(int more, std::chrono::seconds bound = 120s) {
    const int target = probe_->written() + more;
    return WaitFor([&] { return probe_->written() >= target; }, bound);
  }
  void ExpectEveryBlockReadsBack() {
    probe_->Stop();
    EXPECT_EQ(std::vector<std::string>{}, probe_->failures()) << stack_.velmoran()->Log();
    EXPECT_EQ(std::vector<int>{},
              probe_->Mismatches(stack_.velmoran()->DevicePath("VelmoranEx0"), true));
    EXPECT_EQ(std::vector<int>{}, probe_->Mismatches(image_, false));
    EXPECT_GT(probe_->written(), 0);
  }

  ScratchDir scratch_;
  ServiceAndDriver stack_{scratch_};
  std::unique_ptr<NetworkPair> network_;
  std::unique_ptr<Probe> probe_;
  std::string image_;
  int port_ = 0;
};

// Longer than the 30 s reply time-out: the write in flight is found lost,
// then reconnected and repeated once the path is back.
TEST_F(OutageTest, A45SecondBlackHoleUnderAWritingProbeCostsAPauseNotAnError) {
  ASSERT_NO_FATAL_FAILURE(StartAndMount());
  probe_->Start();
  ASSERT_TRUE(ProbeWrites(10));
  ASSERT_TRUE(network_->BlackHole());
  std::this_thread::sleep_for(45s);  // the outage itself
  ASSERT_TRUE(network_->Clear());
  EXPECT_TRUE(ProbeWrites(10)) << stack_.velmoran()->Log();
  ExpectEveryBlockReadsBack();
  EXPECT_NE(std::string::npos, stack_.velmoran()->Log().find("Write Recv Error C00000B5"));
}

TEST_F(OutageTest, A40SecondLinkDownUnderAWritingProbeCostsAPauseNotAnError) {
  ASSERT_NO_FATAL_FAILURE(StartAndMount());
  probe_->Start();
  ASSERT_TRUE(ProbeWrites(10));
  ASSERT_TRUE(network_->ClientLink(false));
  std::this_thread::sleep_for(40s);  // the outage itself
  ASSERT_TRUE(network_->ClientLink(true));
  EXPECT_TRUE(ProbeWrites(10)) << stack_.velmoran()->Log();
  ExpectEveryBlockReadsBack();
}

// With nothing in flight nothing times out, but the kernel's keep-alive
// probes find the path dead and end the connection; the next write then
// connects afresh at once.
TEST_F(OutageTest, ADeadPathIsNoticedWhileTheDiskIsIdle) {
  ASSERT_NO_FATAL_FAILURE(StartAndMount());
  probe_->Start();
  ASSERT_TRUE(ProbeWrites(3));
  probe_->Stop();
  // The disk's connections, the driver's default count of them.
  ASSERT_EQ(kDefaultMountConnections, network_->Established(port_));
  ASSERT_TRUE(network_->BlackHole());
  EXPECT_TRUE(WaitFor([&] { return network_->Established(port_) == 0; }, 90s))
      << "an idle connection over a dead path was kept";
  ASSERT_TRUE(network_->Clear());
  probe_->Start();
  EXPECT_TRUE(ProbeWrites(3, 60s)) << stack_.velmoran()->Log();
  ExpectEveryBlockReadsBack();
}

// A server that stays away: the request fails once the reconnect time-out
// has passed since its connection was found lost (after the reply time-out).
TEST_F(OutageTest, AServerThatStaysAwayFailsTheRequestAfterTheReconnectTimeOut) {
  ASSERT_NO_FATAL_FAILURE(StartAndMount({"--reconnect-timeout", "10"}));
  probe_->Start();
  ASSERT_TRUE(ProbeWrites(3));
  ASSERT_TRUE(network_->BlackHole());
  const auto start = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return !probe_->failures().empty(); }, 120s))
      << stack_.velmoran()->Log();
  const auto waited = Clock::now() - start;
  probe_->Stop();
  const std::string failure = probe_->failures().front();
  EXPECT_NE(std::string::npos, failure.find("Connection timed out")) << failure;
  // 30 s to find it lost, 10 s of trying; the write began up to 0.2 s
  // before the black hole.
  EXPECT_GE(waited, 39s) << failure;
  EXPECT_NE(std::string::npos, stack_.velmoran()->Log().find("Reconnect gave up"));
}

}  // namespace
}  // namespace quensaria::harness
