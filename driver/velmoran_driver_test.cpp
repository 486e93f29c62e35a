// The driver as libfuse calls it, in this process: its device files are
// served by Driver itself. Nothing thrown while a request is taken may
// reach libfuse: a request whose allocation fails is answered ENOMEM, and
// the next one is served.
#include "driver/velmoran_driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "platform/device_control_client.h"
#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"
#include "shared/mount_record.h"
#include "shared/utf16.h"

// The replacements below pair malloc with free, which GCC cannot tell once
// it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

// The next allocation of exactly this many bytes, on any thread, fails.
std::atomic<size_t> fail_next_allocation_of{0};

}  // namespace

void* operator new(size_t size) {
  size_t armed = size;
  if (size != 0 && fail_next_allocation_of.compare_exchange_strong(armed, 0)) {
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace quensaria::driver {
namespace {

constexpr size_t kImageSize = 4 << 20;

class DriverBoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    const std::string image = (scratch_.path() / "disk.img").string();
    std::vector<uint8_t> bytes(kImageSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 512);
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    DriverOptions options;
    options.runtime_dir = (scratch_.path() / "run").string();
    auto loaded = Driver::Load(options);
    ASSERT_TRUE(loaded.ok()) << loaded.status().ToString();
    driver_ = std::move(loaded).value();
    device_ = driver_->device_dir() + "/VelmoranEx0";
    auto control = platform::DeviceControlClient::Open(device_);
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeDiskImage;
    ASSERT_TRUE(StoreUtf16Field(NtPathFromLinux(image), record.sourceName, kMountPathUnits));
    ASSERT_EQ(control->Mount(record), STATUS_SUCCESS);
    fd_.Reset(::open(device_.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd_.valid());
  }
  void TearDown() override {
    fd_.Reset();
    if (driver_) driver_->Unload();
  }
  // Makes the next device request this driver takes fail to allocate.
  static void FailNextRequest() { fail_next_allocation_of = sizeof(DeviceRequest); }
  static bool InjectionUsed() { return fail_next_allocation_of.load() == 0; }

  testing::ScratchDir scratch_;
  std::unique_ptr<Driver> driver_;
  std::string device_;
  platform::UniqueFd fd_;
};

TEST_F(DriverBoundaryTest, ARequestThatCannotAllocateIsAnsweredNoMemory) {
  std::vector<uint8_t> buffer(4096);
  FailNextRequest();
  EXPECT_EQ(-1, ::pread(fd_.get(), buffer.data(), buffer.size(), 8192));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_TRUE(InjectionUsed());
  ASSERT_EQ(4096, ::pread(fd_.get(), buffer.data(), buffer.size(), 8192));
  EXPECT_EQ(buffer[0], static_cast<uint8_t>(8192 * 7 + 16));

  const std::vector<uint8_t> written(4096, 0xA5);
  FailNextRequest();
  EXPECT_EQ(-1, ::pwrite(fd_.get(), written.data(), written.size(), 8192));
  EXPECT_EQ(ENOMEM, errno);
  ASSERT_EQ(4096, ::pwrite(fd_.get(), written.data(), written.size(), 8192));
  ASSERT_EQ(4096, ::pread(fd_.get(), buffer.data(), buffer.size(), 8192));
  EXPECT_EQ(buffer, written);

  FailNextRequest();
  EXPECT_EQ(-1, ::fsync(fd_.get()));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(0, ::fsync(fd_.get()));

  auto control = platform::DeviceControlClient::Open(device_);
  ASSERT_TRUE(control.ok());
  MountRecord record;
  FailNextRequest();
  EXPECT_EQ(control->Query(&record), STATUS_NO_MEMORY);
  ASSERT_EQ(control->Query(&record), STATUS_SUCCESS);
  EXPECT_EQ(record.imageSize, kImageSize);
  EXPECT_EQ(control->Unmount(), STATUS_SUCCESS);
}

// The file system's request threads are shared by every device: devices of
// several connections whose servers went silent must not hold them all, or
// every other device and control waits with them.
class DriverThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    DriverOptions options;
    options.runtime_dir = (scratch_.path() / "run").string();
    options.block_devices = false;
    auto loaded = Driver::Load(options);
    ASSERT_TRUE(loaded.ok()) << loaded.status().ToString();
    driver_ = std::move(loaded).value();
  }
  void TearDown() override {
    if (driver_) driver_->Unload();
  }
  std::string Device(int n) const {
    return driver_->device_dir() + "/VelmoranEx" + std::to_string(n);
  }

  testing::ScratchDir scratch_;
  std::unique_ptr<Driver> driver_;
};

TEST_F(DriverThreadsTest, DevicesWaitingForSilentServersHoldUpNoOtherDevice) {
  constexpr uint8_t kConnections = 9;  // two such disks: more than the threads
  FakeBlockServer server(1 << 20);
  for (int n = 0; n < 2; ++n) {
    auto control = platform::DeviceControlClient::Open(Device(n));
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeNetwork;
    record.serverAddress = server.address();
    record.serverPort = server.port();
    SetMountConnections(record, kConnections);
    ASSERT_EQ(control->Mount(record), STATUS_SUCCESS);
  }
  const std::string image = (scratch_.path() / "disk.img").string();
  std::ofstream(image, std::ios::binary).write(std::string(kImageSize, '\x5a').data(), kImageSize);
  {
    auto control = platform::DeviceControlClient::Open(Device(2));
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeDiskImage;
    ASSERT_TRUE(StoreUtf16Field(NtPathFromLinux(image), record.sourceName, kMountPathUnits));
    ASSERT_EQ(control->Mount(record), STATUS_SUCCESS);
  }
  server.SetSilent(true);
  server.ClearRequests();
  std::atomic<int> stuck_done{0};
  std::vector<std::thread> stuck;
  for (int i = 0; i < 2 * kConnections; ++i) {
    stuck.emplace_back([&, i] {
      platform::UniqueFd fd(::open(Device(i % 2).c_str(), O_RDONLY | O_CLOEXEC));
      std::vector<uint8_t> buffer(4096);
      EXPECT_EQ(4096, ::pread(fd.get(), buffer.data(), buffer.size(), 4096 * (i / 2)));
      ++stuck_done;
    });
  }
  const auto reads = [&] {
    int count = 0;
    for (const FakeBlockServer::Request& r : server.Requests()) count += r.command == CMD_READ;
    return count;
  };
  EXPECT_TRUE(testing::Eventually([&] { return reads() >= 2 * kConnections - 1; },
                                  std::chrono::seconds(20)))
      << reads() << " reads reached the server";
  // While those wait for their replies, the image device and the waiting
  // devices' queries are served.
  std::atomic<bool> other_done{false};
  std::thread other([&] {
    platform::UniqueFd fd(::open(Device(2).c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(4096, ::pread(fd.get(), buffer.data(), buffer.size(), 0));
    auto control = platform::DeviceControlClient::Open(Device(0), false);
    MountRecord record;
    EXPECT_TRUE(control.ok() && control->Query(&record) == STATUS_SUCCESS);
    other_done = true;
  });
  EXPECT_TRUE(testing::Eventually([&] { return other_done.load(); }, std::chrono::seconds(10)))
      << "the other device waited for the silent servers";
  EXPECT_EQ(0, stuck_done.load()) << "a read did not wait for its server";
  // Ends the wait: the reads reconnect to a server that answers.
  server.SetSilent(false);
  server.ResetConnections();
  other.join();
  for (std::thread& t : stuck) t.join();
  EXPECT_EQ(2 * kConnections, stuck_done.load());
}

// Short log-on and reply time-outs, and a reconnect time far longer than
// any stop may take.
DriverOptions StopTestOptions(const testing::ScratchDir& scratch) {
  using namespace std::chrono_literals;
  DriverOptions options;
  options.runtime_dir = (scratch.path() / "run").string();
  options.block_devices = false;
  options.transport.connect_timeout = 1000ms;
  options.transport.reply_timeout = 1000ms;
  options.transport.reconnect_timeout = 40s;
  return options;
}

// Making a block device reads its partition table through its device, on
// the notifier thread (here a read in its place, where there is no ublk):
// a stop then waits for that read. With the disk's server gone silent it
// waited for the read's whole reconnect time, since the disks were told
// to give up their reconnects only once the notifier had ended.
TEST(DriverStopTest, AStopTellsTheDisksToGiveUpBeforeWaitingForTheNotifier) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  using namespace std::chrono_literals;
  testing::ScratchDir scratch;
  // Declared first, so that they outlive the driver whatever happens.
  FakeBlockServer server(1 << 20);
  std::atomic<bool> read_done{false};
  auto loaded = Driver::Load(StopTestOptions(scratch));
  ASSERT_TRUE(loaded.ok()) << loaded.status().ToString();
  std::unique_ptr<Driver> driver = std::move(loaded).value();
  const std::string device = driver->device_dir() + "/VelmoranEx0";
  {
    auto control = platform::DeviceControlClient::Open(device);
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeNetwork;
    record.serverAddress = server.address();
    record.serverPort = server.port();
    SetMountConnections(record, 1);
    ASSERT_EQ(control->Mount(record), STATUS_SUCCESS);
  }
  server.SetSilent(true);
  server.ClearRequests();
  driver->RunInOrderForTesting([device, &read_done] {
    platform::UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(-1, ::pread(fd.get(), buffer.data(), buffer.size(), 0));
    read_done = true;
  });
  ASSERT_TRUE(testing::Eventually(
      [&] {
        for (const FakeBlockServer::Request& r : server.Requests()) {
          if (r.command == CMD_READ) return true;
        }
        return false;
      },
      10s));
  const auto began = std::chrono::steady_clock::now();
  driver->Unload();
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_TRUE(read_done.load());
  // A reply and a log-on time-out, and some room: not the reconnect time.
  EXPECT_LT(took, 15s) << "the stop waited "
                       << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                       << " ms for the read's reconnects";
}

// A mount a user starts while the driver stops (here while the notifier
// still makes a block device) lowered its device's give-up flag again, as
// the stop had not yet stopped the devices: its log-on went on to try each
// listed server, and its requests retried for the whole reconnect time,
// holding the stop. It is refused now, and reaches no server.
TEST(DriverStopTest, AMountDuringAStopIsRefusedAndReachesNoServer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  using namespace std::chrono_literals;
  testing::ScratchDir scratch;
  // Declared first, so that they outlive the driver whatever happens.
  FakeBlockServer server(1 << 20);
  FakeBlockServer second(1 << 20);
  FakeBlockServer third(1 << 20);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto loaded = Driver::Load(StopTestOptions(scratch));
  ASSERT_TRUE(loaded.ok()) << loaded.status().ToString();
  std::unique_ptr<Driver> driver = std::move(loaded).value();
  // A block device's making, which the stop waits for, until released.
  driver->RunInOrderForTesting([released] { released.wait(); });
  auto unloaded = std::async(std::launch::async, [&] { driver->Unload(); });
  // Whatever fails below, the stop is let go before it is waited for.
  struct Release {
    std::promise<void>* promise;
    ~Release() {
      if (promise != nullptr) promise->set_value();
    }
  } let_go{&release};
  // Once the stop has begun, the notifier takes no task: it runs here.
  ASSERT_TRUE(testing::Eventually(
      [&] {
        auto ran_here = std::make_shared<std::atomic<bool>>(false);
        driver->RunInOrderForTesting([ran_here] { *ran_here = true; });
        return ran_here->load();
      },
      10s));
  NtStatus mounted = STATUS_PENDING;
  {
    auto control = platform::DeviceControlClient::Open(driver->device_dir() + "/VelmoranEx1");
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeNetwork;
    record.serverAddress = server.address();
    record.serverPort = server.port();
    SetMountConnections(record, 1);
    mounted = control->Mount(record);
  }
  // One whose servers are silent tried each in turn, one log-on time-out
  // each, while the stop waited.
  for (FakeBlockServer* s : {&second, &third}) s->SetSilent(true);
  NtStatus listed = STATUS_PENDING;
  {
    auto control = platform::DeviceControlClient::Open(driver->device_dir() + "/VelmoranEx2");
    ASSERT_TRUE(control.ok());
    MountRecord record{};
    record.sourceType = kSourceTypeNetwork;
    record.serverAddress = second.address();
    record.serverPort = second.port();
    ASSERT_TRUE(SetMountServers(
        record, {{second.address(), second.port()}, {third.address(), third.port()}}));
    SetMountConnections(record, 1);
    listed = control->Mount(record);
  }
  const int connections = server.Connections() + second.Connections() + third.Connections();
  std::exchange(let_go.promise, nullptr)->set_value();
  unloaded.wait();
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, mounted);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, listed);
  EXPECT_EQ(0, connections) << "mounts begun during the stop tried their servers";
}

// A runtime directory somewhere others may write (the README's /tmp/vm, made
// by someone else first) may hold a link where the drive definitions' folder
// belongs: the driver, as root, gives its owner and mode only to a folder of
// that name, never to what a link there leads to.
TEST(DriverRuntimeDirectoryTest, TheDefinitionsFoldersModeGoesToNoFolderALinkLeadsTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  testing::ScratchDir scratch;
  const std::filesystem::path victim = scratch.path() / "victim";
  const std::filesystem::path run = scratch.path() / "run";
  std::filesystem::create_directories(victim);
  ASSERT_EQ(::chmod(victim.c_str(), 0755), 0);
  std::filesystem::create_directories(run);
  std::filesystem::create_directory_symlink(victim, run / "DosDevices");

  DriverOptions options;
  options.runtime_dir = run.string();
  options.block_devices = false;
  auto loaded = Driver::Load(options);
  if (loaded.ok()) loaded.value()->Unload();
  struct stat st;
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << std::oct << (st.st_mode & 07777);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
}

// The same for the instance lock: a link in its place makes root create
// nothing where it leads (an empty /etc/nologin, say, locks every user out).
TEST(DriverRuntimeDirectoryTest, TheInstanceLockCreatesNoFileALinkLeadsTo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  testing::ScratchDir scratch;
  const std::filesystem::path victim = scratch.path() / "nologin";
  const std::filesystem::path run = scratch.path() / "run";
  std::filesystem::create_directories(run);
  std::filesystem::create_symlink(victim, run / "velmoran.lock");

  DriverOptions options;
  options.runtime_dir = run.string();
  options.block_devices = false;
  auto loaded = Driver::Load(options);
  if (loaded.ok()) loaded.value()->Unload();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(victim)))
      << victim << " was created through the link";
}

// A drive definitions' folder whose mode cannot be set (immutable here)
// keeps its old one, so users may be unable to add their drives: the
// driver says so rather than go on as if it were set.
TEST(DriverRuntimeDirectoryTest, ADefinitionsFolderWhoseModeCannotBeSetIsReported) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount FUSE file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  testing::ScratchDir scratch;
  const std::filesystem::path run = scratch.path() / "run";
  const std::filesystem::path drives = run / "DosDevices";
  std::filesystem::create_directories(drives / "Global");
  ASSERT_EQ(::chmod(drives.c_str(), 0755), 0);
  const std::string immutable = "chattr +i '" + drives.string() + "' 2>/dev/null";
  if (std::system(immutable.c_str()) != 0) GTEST_SKIP() << "no immutable folders here";
  std::mutex mu;
  std::vector<std::string> lines;
  SetDebugSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(mu);
    lines.emplace_back(line);
  });

  DriverOptions options;
  options.runtime_dir = run.string();
  options.block_devices = false;
  auto loaded = Driver::Load(options);
  if (loaded.ok()) loaded.value()->Unload();
  SetDebugSinkForTesting(nullptr);
  EXPECT_EQ(std::system(("chattr -i '" + drives.string() + "'").c_str()), 0);
  struct stat st;
  ASSERT_EQ(::stat(drives.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << std::oct << (st.st_mode & 07777);
  std::scoped_lock lock(mu);
  const bool told = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(drives.string()) != std::string::npos &&
           line.find("mode") != std::string::npos;
  });
  EXPECT_TRUE(told) << "nothing said of " << drives;
}

}  // namespace
}  // namespace quensaria::driver
