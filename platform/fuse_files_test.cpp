#include "platform/fuse_files.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/backing_file.h"
#include "platform/device_control_client.h"
#include "platform/eventually_for_testing.h"
#include "platform/mapped_file.h"
#include "platform/mount_table.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/device_control.h"

namespace quensaria::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool FuseMountedAt(const std::string& path) {
  const std::vector<MountEntry> mounts = ReadMountTable();
  return std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& entry) {
    return entry.mount_point == path && entry.type.starts_with("fuse");
  });
}

bool FuseAvailable(std::string* why) {
  if (::geteuid() != 0)
    *why = "needs root to mount FUSE file systems";
  else if (::access("/dev/fuse", R_OK | W_OK) != 0)
    *why = "needs /dev/fuse";
  else
    return true;
  return false;
}

// Two files: "disk0" holds bytes answered from a thread of its own, "disk1"
// drops every read unanswered. Ioctls echo the input reversed.
class FakeFiles : public FuseFileHandler {
 public:
  FakeFiles() : replier_([this] { Serve(); }) { data_[0].assign(8192, 0); }
  ~FakeFiles() override {
    {
      std::scoped_lock lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    replier_.join();
  }

  FuseFileAttributes Attributes(size_t file) override {
    if (throwing_) throw std::bad_alloc();
    std::scoped_lock lock(mu_);
    return {data_[file].size(), file == 0 ? 0660u : 0640u, 0, 6};
  }
  void Read(size_t file, uint64_t offset, size_t length, FuseReply reply) override {
    if (throwing_) throw std::runtime_error("read");
    if (file == 1 && hold_reads_) {
      // Answered late, in this very call: the thread is taken meanwhile.
      std::unique_lock lock(mu_);
      held_ = true;
      cv_.notify_all();
      cv_.wait(lock, [&] { return !hold_reads_; });
      reply.Error(EAGAIN);
      return;
    }
    if (file == 1) return;  // dropped: must answer EIO by itself
    auto task = [this, offset, length, r = std::make_shared<FuseReply>(std::move(reply))] {
      std::scoped_lock lock(mu_);
      const auto& d = data_[0];
      const size_t start = std::min<size_t>(offset, d.size());
      r->Data(d.data() + start, std::min(length, d.size() - start));
    };
    {
      std::scoped_lock lock(mu_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
  }
  void Write(size_t file, uint64_t offset, std::span<const uint8_t> data,
             FuseReply reply) override {
    if (throwing_) throw std::bad_alloc();
    std::scoped_lock lock(mu_);
    auto& d = data_[file];
    if (offset + data.size() > d.size()) return reply.Error(ENOSPC);
    std::copy(data.begin(), data.end(), d.begin() + static_cast<long>(offset));
    reply.Written(data.size());
  }
  void Ioctl(size_t, uint32_t command, std::span<const uint8_t> input, size_t output_room,
             bool readable, bool writable, FuseReply reply) override {
    if (throwing_) throw std::runtime_error("ioctl");
    {
      std::scoped_lock lock(mu_);
      caller_ = reply.Caller();
      opened_ = {readable, writable};
    }
    if (command != kDeviceControlIoctl || input.size() != sizeof(DeviceControlBlock) ||
        output_room < sizeof(DeviceControlBlock)) {
      return reply.Error(ENOTTY);
    }
    DeviceControlBlock block;
    std::memcpy(&block, input.data(), sizeof block);
    DeviceControlBlock answer = block;
    for (uint32_t i = 0; i < block.inputLength; ++i) {
      answer.buffer[i] = block.buffer[block.inputLength - 1 - i];
    }
    answer.status = block.code + 1;
    answer.information = block.inputLength;
    reply.Ioctl(&answer, sizeof answer);
  }
  void Sync(size_t file, FuseReply reply) override {
    if (throwing_) throw 42;
    ++syncs_[file];
    // As a file system answers a sync that a signal interrupted.
    if (interrupted_syncs_ > 0) {
      --interrupted_syncs_;
      return reply.Error(EINTR);
    }
    reply.Error(0);
  }

  void HoldReads(bool hold) {
    std::scoped_lock lock(mu_);
    hold_reads_ = hold;
    cv_.notify_all();
  }
  void WaitUntilHeld() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return held_; });
  }
  // Until the replier is done with every answer: libfuse still takes the
  // session's lock after the reply has reached the reader.
  void WaitUntilAnswered() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return tasks_.empty() && !answering_; });
  }
  void SetBytes(size_t file, std::vector<uint8_t> bytes) {
    std::scoped_lock lock(mu_);
    data_[file] = std::move(bytes);
  }
  CallerIdentity Caller() {
    std::scoped_lock lock(mu_);
    return caller_;
  }
  std::pair<bool, bool> Opened() {
    std::scoped_lock lock(mu_);
    return opened_;
  }
  std::atomic<int> syncs_[2] = {0, 0};
  // Syncs still to be answered EINTR.
  std::atomic<int> interrupted_syncs_{0};
  // Every call throws (as an allocation that fails would).
  std::atomic<bool> throwing_{false};

 private:
  void Serve() {
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      answering_ = true;
      lock.unlock();
      task();
      lock.lock();
      answering_ = false;
      cv_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  bool answering_ = false;
  std::vector<uint8_t> data_[2];
  CallerIdentity caller_;
  std::pair<bool, bool> opened_;
  bool hold_reads_ = false;
  bool held_ = false;
  std::thread replier_;
};

// A handler without threads of its own, for a forked child.
class NullFiles : public FuseFileHandler {
 public:
  FuseFileAttributes Attributes(size_t) override { return {}; }
  void Read(size_t, uint64_t, size_t, FuseReply) override {}
  void Write(size_t, uint64_t, std::span<const uint8_t>, FuseReply) override {}
  void Ioctl(size_t, uint32_t, std::span<const uint8_t>, size_t, bool, bool, FuseReply) override {}
  void Sync(size_t, FuseReply) override {}
};

class FuseFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FuseAvailable(&why)) GTEST_SKIP() << why;
    scratch_.emplace();
    dir_ = scratch_->path().string();
  }
  void TearDown() override {
    files_.WaitUntilAnswered();
    if (fs_) fs_->Stop();
    fs_.reset();
    if (!dir_.empty()) {
      (void)FuseFileSystem::ClearStaleMount(dir_);
      scratch_.reset();
    }
  }
  void Mount(bool page_cache = false, int threads = 1) {
    FuseFilesOptions options;
    options.threads = threads;
    options.names = {"disk0", "disk1"};
    options.page_cache = page_cache;
    options.fs_name = "fusefilestest";
    auto mounted = FuseFileSystem::Mount(dir_, options, &files_);
    ASSERT_TRUE(mounted.ok()) << mounted.status().message();
    fs_ = std::move(mounted.value());
    fs_->Start();
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::optional<testing::ScratchDir> scratch_;  // made once FUSE is known to be here
  std::string dir_;
  FakeFiles files_;
  std::unique_ptr<FuseFileSystem> fs_;
};

TEST_F(FuseFilesTest, ListsTheFilesWithTheirAttributes) {
  Mount();
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename());
  EXPECT_EQ((std::set<std::string>{"disk0", "disk1"}), names);
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("disk0").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 07777);
  EXPECT_EQ(6u, st.st_gid);
  EXPECT_EQ(8192, st.st_size);
  ASSERT_EQ(0, ::stat(Path("disk1").c_str(), &st));
  EXPECT_EQ(0, st.st_size);
  EXPECT_NE(0, ::stat(Path("disk2").c_str(), &st));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(FuseFilesTest, SizesChangeWithoutDelay) {
  Mount();
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("disk1").c_str(), &st));
  EXPECT_EQ(0, st.st_size);
  files_.SetBytes(1, std::vector<uint8_t>(1 << 20));
  ASSERT_EQ(0, ::stat(Path("disk1").c_str(), &st));
  EXPECT_EQ(1 << 20, st.st_size);
}

TEST_F(FuseFilesTest, ReadsAndWritesReachTheHandlerAnsweredFromAnotherThread) {
  Mount();
  int fd = ::open(Path("disk0").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> out(4096);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i ^ 0x5a);
  EXPECT_EQ(4096, ::pwrite(fd, out.data(), out.size(), 4096));
  std::vector<uint8_t> in(4096);
  EXPECT_EQ(4096, ::pread(fd, in.data(), in.size(), 4096));
  EXPECT_EQ(out, in);
  EXPECT_EQ(-1, ::pwrite(fd, out.data(), out.size(), 8192));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(0, ::fsync(fd));
  EXPECT_EQ(1, files_.syncs_[0].load());
  ::close(fd);
}

// An image's sync that a signal interrupted is made again, not reported
// as a failed flush.
TEST_F(FuseFilesTest, AnInterruptedSyncOfABackingFileIsMadeAgain) {
  Mount();
  BackingFile file;
  ASSERT_EQ(STATUS_SUCCESS, BackingFile::OpenImage(Path("disk0"), false, &file));
  files_.interrupted_syncs_ = 2;
  EXPECT_EQ(STATUS_SUCCESS, file.Sync());
  EXPECT_EQ(3, files_.syncs_[0].load());
  EXPECT_EQ(0, files_.interrupted_syncs_.load());
}

// So is that of an image file being made, not reported as a failed image.
TEST_F(FuseFilesTest, AnInterruptedSyncOfAFileBeingMadeIsMadeAgain) {
  Mount();
  const int fd = ::open(Path("disk0").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  files_.interrupted_syncs_ = 2;
  const Status synced = SyncFile(fd);
  EXPECT_TRUE(synced.ok()) << synced.message();
  EXPECT_EQ(3, files_.syncs_[0].load());
  ::close(fd);
}

TEST_F(FuseFilesTest, OpensAreCountedUntilTheirRelease) {
  Mount();
  EXPECT_EQ(0, fs_->OpenCount(0));
  const int a = ::open(Path("disk0").c_str(), O_RDWR);
  const int b = ::open(Path("disk0").c_str(), O_RDONLY);
  const int c = ::dup(b);  // the same open file description
  ASSERT_GE(a, 0);
  ASSERT_GE(c, 0);
  EXPECT_EQ(2, fs_->OpenCount(0));
  EXPECT_EQ(0, fs_->OpenCount(1));
  ::close(a);
  ::close(b);
  // The kernel releases once the last descriptor goes, and tells us after
  // close returns.
  EXPECT_TRUE(testing::Eventually([&] { return fs_->OpenCount(0) == 1; }, 20s));
  ::close(c);
  EXPECT_TRUE(testing::Eventually([&] { return fs_->OpenCount(0) == 0; }, 20s));
}

// Nothing a handler throws reaches libfuse: the request it was serving
// fails (ENOMEM where the file system answers itself, EIO where the reply
// had gone to the handler) and the file system serves on.
TEST_F(FuseFilesTest, AHandlerThatThrowsFailsOnlyItsRequest) {
  Mount(false, 2);
  const int fd = ::open(Path("disk0").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> buffer(4096, 7);
  files_.throwing_ = true;
  struct stat st {};
  EXPECT_EQ(-1, ::stat(Path("disk0").c_str(), &st));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(-1, ::pread(fd, buffer.data(), buffer.size(), 0));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(-1, ::pwrite(fd, buffer.data(), buffer.size(), 0));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(-1, ::fsync(fd));
  EXPECT_EQ(EIO, errno);
  DeviceControlBlock block{};
  block.code = 1;
  EXPECT_EQ(-1, ::ioctl(fd, kDeviceControlIoctl, &block));
  EXPECT_EQ(EIO, errno);
  files_.throwing_ = false;
  ASSERT_EQ(0, ::stat(Path("disk0").c_str(), &st));
  EXPECT_EQ(8192, st.st_size);
  EXPECT_EQ(4096, ::pwrite(fd, buffer.data(), buffer.size(), 0));
  EXPECT_EQ(4096, ::pread(fd, buffer.data(), buffer.size(), 0));
  EXPECT_EQ(0, ::fsync(fd));
  ::close(fd);
}

TEST_F(FuseFilesTest, AnUnansweredRequestFailsInsteadOfHanging) {
  Mount();
  files_.SetBytes(1, std::vector<uint8_t>(4096));
  int fd = ::open(Path("disk1").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char byte[512];
  EXPECT_EQ(-1, ::pread(fd, byte, sizeof byte, 0));
  EXPECT_EQ(EIO, errno);
  ::close(fd);
}

TEST_F(FuseFilesTest, ARequestThatTakesLongHoldsUpOnlyItsOwnThread) {
  Mount(/*page_cache=*/false, /*threads=*/2);
  files_.SetBytes(1, std::vector<uint8_t>(4096));
  files_.HoldReads(true);
  std::thread slow([&] {
    const int fd = ::open(Path("disk1").c_str(), O_RDONLY);
    char sector[512];
    EXPECT_EQ(-1, ::pread(fd, sector, sizeof sector, 0));
    EXPECT_EQ(EAGAIN, errno);
    ::close(fd);
  });
  files_.WaitUntilHeld();
  const int fd = ::open(Path("disk0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char sector[512];
  EXPECT_EQ(512, ::pread(fd, sector, sizeof sector, 0)) << "the other thread serves";
  ::close(fd);
  files_.HoldReads(false);
  slow.join();
}

// A signal that reaches a process waiting for its read makes the kernel send
// an interrupt. Nothing here cancels a request, so the read still gets its
// data; an interrupt answered as if it were the read would fail it. One that
// libfuse read while its request was being answered was kept until a next
// request came, or for good: a leak that LeakSanitizer reports at exit.
TEST_F(FuseFilesTest, SignalsToReadersCostThemNothingAndLeaveNothingBehind) {
  Mount(/*page_cache=*/false, /*threads=*/4);
  struct sigaction caught {};
  caught.sa_handler = [](int) {};
  sigemptyset(&caught.sa_mask);
  caught.sa_flags = SA_RESTART;
  struct sigaction before {};
  ASSERT_EQ(0, ::sigaction(SIGUSR2, &caught, &before));
  std::atomic<bool> reading{true};
  std::atomic<int> reads{0};
  std::atomic<int> failures{0};
  // Closed only once unmounted: its flush and release would be requests.
  const int fd = ::open(Path("disk0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::thread reader([&] {
    char sector[512];
    while (reading) {
      if (::pread(fd, sector, sizeof sector, 0) != 512) ++failures;
      ++reads;
    }
  });
  const auto end = std::chrono::steady_clock::now() + 300ms;
  while (std::chrono::steady_clock::now() < end) {
    ::pthread_kill(reader.native_handle(), SIGUSR2);
    std::this_thread::sleep_for(20us);
  }
  reading = false;
  reader.join();
  ::sigaction(SIGUSR2, &before, nullptr);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(0, failures);
  files_.WaitUntilAnswered();
  fs_->Stop();  // with no request after the last interrupt
  EXPECT_FALSE(FuseMountedAt(dir_));
  ::close(fd);
}

TEST_F(FuseFilesTest, SizesAndOwnersCannotBeChanged) {
  Mount();
  EXPECT_NE(0, ::truncate(Path("disk0").c_str(), 0));
  EXPECT_EQ(EPERM, errno);
  EXPECT_NE(0, ::chmod(Path("disk0").c_str(), 0666));
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("disk0").c_str(), &st));
  EXPECT_EQ(8192, st.st_size);
}

TEST_F(FuseFilesTest, IoctlCarriesTheBlockBothWaysAndTheCallersIdentity) {
  Mount();
  // A child with its own group and supplementary groups sends the request.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const gid_t groups[] = {4242, 4244};
    if (::setgroups(2, groups) != 0 || ::setgid(4243) != 0) _exit(10);
    auto client = DeviceControlClient::Open(Path("disk0"));
    if (!client.ok()) _exit(11);
    const uint8_t input[] = {1, 2, 3, 4, 5};
    uint8_t output[8] = {};
    uint32_t information = 0;
    const NtStatus status = client->Control(0x70000, input, output, &information);
    if (status != 0x70001 || information != 5) _exit(12);
    const uint8_t expected[] = {5, 4, 3, 2, 1};
    _exit(std::memcmp(output, expected, 5) == 0 ? 0 : 13);
  }
  int wstatus = 0;
  ASSERT_EQ(child, ::waitpid(child, &wstatus, 0));
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(0, WEXITSTATUS(wstatus));
  const CallerIdentity caller = files_.Caller();
  EXPECT_EQ(0u, caller.uid);
  EXPECT_EQ(4243u, caller.gid);
  EXPECT_EQ((std::vector<uint32_t>{4242, 4244}), caller.groups);
  EXPECT_EQ(std::make_pair(true, true), files_.Opened());

  auto reader = DeviceControlClient::Open(Path("disk0"), /*write=*/false);
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(0x70001u, reader->Control(0x70000, {}, {}));
  EXPECT_EQ(std::make_pair(true, false), files_.Opened()) << "the handler learns how it was opened";
}

// The mounter opens whatever the drive links in the shared, sticky folder
// lead to, links other users made included. A pipe there is answered at once
// (opened plainly for reading it waits for a writer, and the mounter with
// it); no control goes to anything that is not a file. Should the open wait
// after all, the test opens the other end and fails.
TEST(DeviceControlClientTest, WhatIsNoFileInADevicesPlaceIsRefusedAtOnce) {
  testing::ScratchDir scratch;
  const std::string pipe = scratch.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "read and write" : "read");
    auto opening = std::async(std::launch::async,
                              [&] { return DeviceControlClient::Open(pipe, write).status(); });
    if (opening.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      const int peer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
      const Status late = opening.get();
      if (peer >= 0) ::close(peer);
      ADD_FAILURE() << "waited for a writer to the pipe: " << late.ToString();
      continue;
    }
    EXPECT_FALSE(opening.get().ok()) << "a pipe taken for a device";
  }
  EXPECT_FALSE(DeviceControlClient::Open(scratch.path().string(), false).ok())
      << "a folder taken for a device";
}

TEST_F(FuseFilesTest, OtherIoctlsAreNotForUs) {
  Mount();
  int fd = ::open(Path("disk0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int value = 0;
  EXPECT_EQ(-1, ::ioctl(fd, _IOR('x', 9, int), &value));
  EXPECT_EQ(ENOTTY, errno);
  ::close(fd);
}

TEST_F(FuseFilesTest, PageCacheModeShowsNewContentsAfterInvalidate) {
  Mount(/*page_cache=*/true);
  files_.SetBytes(0, std::vector<uint8_t>(8192, 0x11));
  int fd = ::open(Path("disk0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  uint8_t byte = 0;
  ASSERT_EQ(1, ::pread(fd, &byte, 1, 100));
  EXPECT_EQ(0x11, byte);
  files_.SetBytes(0, std::vector<uint8_t>(8192, 0x22));
  ASSERT_EQ(1, ::pread(fd, &byte, 1, 100));
  EXPECT_EQ(0x11, byte) << "the page cache should still hold the old page";
  fs_->Invalidate(0);
  ASSERT_EQ(1, ::pread(fd, &byte, 1, 100));
  EXPECT_EQ(0x22, byte);
  ::close(fd);
}

TEST_F(FuseFilesTest, StopUnmounts) {
  Mount();
  EXPECT_TRUE(FuseMountedAt(dir_));
  fs_->Stop();
  EXPECT_FALSE(FuseMountedAt(dir_));
}

TEST_F(FuseFilesTest, ClearStaleMountDetachesTheMountOfADeadProcess) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NullFiles files;
    FuseFilesOptions options;
    options.names = {"disk0"};
    auto mounted = FuseFileSystem::Mount(dir_, options, &files);
    _exit(mounted.ok() ? 0 : 1);  // dies with the file system still mounted
  }
  int wstatus = 0;
  ASSERT_EQ(child, ::waitpid(child, &wstatus, 0));
  ASSERT_EQ(0, WEXITSTATUS(wstatus));
  struct stat st {};
  EXPECT_NE(0, ::stat(dir_.c_str(), &st));
  EXPECT_EQ(ENOTCONN, errno);
  ASSERT_TRUE(FuseFileSystem::ClearStaleMount(dir_).ok());
  EXPECT_EQ(0, ::stat(dir_.c_str(), &st));
  EXPECT_FALSE(FuseMountedAt(dir_));
  EXPECT_TRUE(FuseFileSystem::ClearStaleMount(dir_).ok()) << "nothing mounted is fine too";
}

}  // namespace
}  // namespace quensaria::platform
