#include "driver/disk_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "driver/debug_print.h"
#include "platform/errors.h"
#include "platform/eventually_for_testing.h"
#include "platform/page_memory.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/thread_identity.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"

namespace quensaria::driver {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1 << 20;

struct Result {
  NtStatus status;
  uint32_t information;
  std::vector<uint8_t> data;  // read data, or the control's output
};

class DiskDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugSinkForTesting([](std::string_view) {});
    fs::create_directories(dir_ / "links");
    fs::create_directories(dir_ / "cache");
    device_ = MakeDevice(DeviceType::kDisk, 0);
  }
  void TearDown() override {
    device_.reset();
    cd_.reset();
    other_.reset();
    SetDebugSinkForTesting({});
  }

  std::unique_ptr<DiskDevice> MakeDevice(DeviceType type, uint32_t n,
                                         std::chrono::milliseconds flush_timeout = 600s,
                                         std::chrono::milliseconds reconnect_timeout = 300ms) {
    DeviceOptions options;
    options.transport.connect_timeout = 2000ms;
    options.transport.reply_timeout = 500ms;
    options.transport.flush_timeout = flush_timeout;
    options.transport.reconnect_timeout = reconnect_timeout;
    options.links_dir = (dir_ / "links").string();
    options.device_path = "/dev/velmoran-test/" + DeviceName(type, n);
    options.default_cache_dir = (dir_ / "cache").string();
    return std::make_unique<DiskDevice>(type, n, options);
  }

  // Submits and waits for the answer.
  static Result Run(DiskDevice& device, std::unique_ptr<DeviceRequest> request) {
    std::promise<Result> answered;
    request->complete = [&answered](DeviceRequest& r) {
      Result result{r.status, r.information, {}};
      if (r.kind == RequestKind::kRead && r.information > 0) {
        const uint8_t* data = r.buffer != nullptr ? r.buffer : r.data.data();
        result.data.assign(data, data + r.information);
      }
      if (r.kind == RequestKind::kControl) {
        result.data.assign(r.control->buffer, r.control->buffer + r.information % 4097);
      }
      answered.set_value(std::move(result));
    };
    device.Submit(std::move(request));
    return answered.get_future().get();
  }
  static std::unique_ptr<DeviceRequest> ReadRequest(uint64_t offset, uint32_t length) {
    auto r = std::make_unique<DeviceRequest>();
    r->kind = RequestKind::kRead;
    r->offset = offset;
    r->length = length;
    return r;
  }
  static std::unique_ptr<DeviceRequest> WriteRequest(uint64_t offset,
                                                     const std::vector<uint8_t>& data) {
    auto r = std::make_unique<DeviceRequest>();
    r->kind = RequestKind::kWrite;
    r->offset = offset;
    r->length = static_cast<uint32_t>(data.size());
    r->data = IoBuffer(data.size());
    std::copy(data.begin(), data.end(), r->data.data());
    return r;
  }
  static std::unique_ptr<DeviceRequest> ControlRequest(uint32_t code, const void* input,
                                                       uint32_t input_length, uint32_t output) {
    auto r = std::make_unique<DeviceRequest>();
    r->kind = RequestKind::kControl;
    r->control = std::make_unique<DeviceControlBlock>();
    std::memset(r->control.get(), 0, sizeof(DeviceControlBlock));
    r->control->code = code;
    r->control->inputLength = input_length;
    r->control->outputLength = output;
    if (input_length) std::memcpy(r->control->buffer, input, input_length);
    r->caller = platform::ThreadIdentity();
    return r;
  }

  Result Read(uint64_t offset, uint32_t length, DiskDevice* d = nullptr) {
    return Run(d ? *d : *device_, ReadRequest(offset, length));
  }
  Result Write(uint64_t offset, const std::vector<uint8_t>& data, DiskDevice* d = nullptr) {
    return Run(d ? *d : *device_, WriteRequest(offset, data));
  }
  Result Sync(DiskDevice* d = nullptr) {
    auto r = std::make_unique<DeviceRequest>();
    r->kind = RequestKind::kSync;
    return Run(d ? *d : *device_, std::move(r));
  }
  Result Control(uint32_t code, uint32_t output = 0, DiskDevice* d = nullptr) {
    return Run(d ? *d : *device_, ControlRequest(code, nullptr, 0, output));
  }
  NtStatus Mount(const MountRecord& record, DiskDevice* d = nullptr,
                 uint32_t length = sizeof(MountRecord)) {
    uint8_t input[sizeof(MountRecord) + 16] = {};
    std::memcpy(input, &record, sizeof record);
    return Run(d ? *d : *device_, ControlRequest(IOCTL_VDISK_MOUNT, input, length, 0)).status;
  }
  MountRecord Query(DiskDevice* d = nullptr) {
    const Result r = Control(IOCTL_VDISK_QUERY, sizeof(MountRecord), d);
    MountRecord record{};
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(sizeof(MountRecord), r.information);
    if (r.data.size() == sizeof record) std::memcpy(&record, r.data.data(), sizeof record);
    return record;
  }

  std::string Image(const std::string& name) const { return (dir_ / name).string(); }
  void MakeImage(const std::string& name, uint64_t size) {
    std::ofstream(Image(name)).close();
    fs::resize_file(Image(name), size);
  }
  MountRecord ImageRecord(const std::string& name, uint8_t letter = 'Q', bool read_only = false,
                          uint64_t size = 0, uint32_t type = kSourceTypeDiskImage) {
    MountRecord record{};
    record.sourceType = type;
    record.readOnly = read_only;
    record.imageSize = size;
    record.driveLetter = letter;
    EXPECT_TRUE(StoreUtf16Field(NtPathFromLinux(Image(name)), record.sourceName, kMountPathUnits));
    return record;
  }
  MountRecord NetworkRecord(const FakeBlockServer& server, std::string_view password = "") {
    MountRecord record{};
    record.sourceType = kSourceTypeNetwork;
    record.virtualWrite = 1;
    record.serverAddress = server.address();
    record.serverPort = server.port();
    record.driveLetter = 'N';
    const Sha1Digest digest = PasswordDigest(password);
    std::memcpy(record.passwordDigest, digest.data(), 20);
    EXPECT_TRUE(StoreUtf16Field(NtPathFromLinux((dir_ / "cache" / "c0a80001ea60.dat").string()),
                                record.cachePath, kMountPathUnits));
    return record;
  }
  std::vector<uint8_t> FileBytes(const std::string& name, uint64_t offset, size_t length) {
    std::ifstream in(Image(name), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<uint8_t> data(length);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length));
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
  }
  bool LinkExists(char letter) const {
    return fs::is_symlink(dir_ / "links" / (std::string(1, letter) + ":"));
  }

  // On a disk file system, like the one a real write cache lives on.
  testing::ScratchDir scratch_{"/var/tmp"};
  fs::path dir_ = scratch_.path();
  std::unique_ptr<DiskDevice> device_, cd_, other_;
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return data;
}

// ---- An empty device.

TEST_F(DiskDeviceTest, AnEmptyDeviceAnswersNoMediaToAllButMount) {
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Read(0, 512).status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Write(0, Pattern(512, 1)).status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Read(0, 0).status);
  for (uint32_t code : {IOCTL_VDISK_QUERY, IOCTL_VDISK_UNMOUNT, IOCTL_DISK_GET_DRIVE_GEOMETRY,
                        IOCTL_DISK_IS_WRITABLE, uint32_t{0x12345}}) {
    const Result r = Control(code, 2048);
    EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, r.status) << std::hex << code;
    EXPECT_EQ(0u, r.information);
  }
  auto sync = std::make_unique<DeviceRequest>();
  sync->kind = RequestKind::kSync;
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Run(*device_, std::move(sync)).status);
}

TEST_F(DiskDeviceTest, AMountRecordMustBeExactly1264Bytes) {
  MakeImage("a.img", kMiB);
  const MountRecord record = ImageRecord("a.img");
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Mount(record, nullptr, 1263));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Mount(record, nullptr, 1265));
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_EQ(STATUS_SUCCESS, Mount(record));
}

// ---- Image files.

TEST_F(DiskDeviceTest, AnImageMountIsQueriedAndLinked) {
  MakeImage("a.img", 8 * kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q')));
  EXPECT_TRUE(LinkExists('Q'));
  EXPECT_EQ("/dev/velmoran-test/VelmoranEx0", fs::read_symlink(dir_ / "links" / "Q:").string());
  const MountRecord q = Query();
  EXPECT_EQ(8 * kMiB, q.imageSize);
  EXPECT_EQ(0, q.readOnly);
  EXPECT_EQ(0, q.virtualWrite);
  EXPECT_EQ(kSourceTypeDiskImage, q.sourceType);
  EXPECT_EQ('Q', q.driveLetter);
  EXPECT_EQ(NtPathFromLinux(Image("a.img")), LoadUtf16Field(q.sourceName, kMountPathUnits));
  const uint8_t zeros[20] = {};
  EXPECT_EQ(0, std::memcmp(zeros, q.passwordDigest, 20));
  EXPECT_EQ(u'\0', q.cachePath[0]);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Control(IOCTL_VDISK_QUERY, 1263).status);
  EXPECT_EQ(STATUS_DEVICE_ALREADY_ATTACHED, Mount(ImageRecord("a.img")));
}

TEST_F(DiskDeviceTest, AMissingImageIsCreatedOnlyWithASizeAndWriteAccess) {
  EXPECT_EQ(STATUS_NO_SUCH_FILE, Mount(ImageRecord("new.img", 'Q', false, 0)));
  EXPECT_EQ(STATUS_NO_SUCH_FILE, Mount(ImageRecord("new.img", 'Q', true, 64 * kMiB)));
  EXPECT_FALSE(fs::exists(Image("new.img")));
  EXPECT_FALSE(LinkExists('Q'));
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("new.img", 'Q', false, 64 * kMiB)));
  EXPECT_EQ(64 * kMiB, fs::file_size(Image("new.img")));
  EXPECT_EQ(64 * kMiB, Query().imageSize);
}

TEST_F(DiskDeviceTest, ReadsAndWritesReachTheImage) {
  MakeImage("a.img", 4 * kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img")));
  const auto data = Pattern(128 * 1024, 3);
  const Result w = Write(kMiB, data);
  EXPECT_EQ(STATUS_SUCCESS, w.status);
  EXPECT_EQ(data.size(), w.information);
  EXPECT_EQ(data, FileBytes("a.img", kMiB, data.size()));
  const Result r = Read(kMiB + 512, 4096);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 512, data.begin() + 512 + 4096), r.data);
}

TEST_F(DiskDeviceTest, TheRequestersOwnBufferCarriesTheDataBothWays) {
  // A disk whose end is not at a 4 KiB boundary.
  MakeImage("a.img", kMiB + 1024);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img")));
  std::vector<uint8_t> mine = Pattern(64 * 1024, 5);
  auto write = WriteRequest(0, {});
  write->offset = 512 * 1024;
  write->length = static_cast<uint32_t>(mine.size());
  write->buffer = mine.data();
  const Result w = Run(*device_, std::move(write));
  EXPECT_EQ(STATUS_SUCCESS, w.status);
  EXPECT_EQ(mine.size(), w.information);
  EXPECT_EQ(mine, FileBytes("a.img", 512 * 1024, mine.size()));

  std::vector<uint8_t> into(8192, 0xEE);
  auto read = ReadRequest(512 * 1024 + 1024, 4096);
  read->buffer = into.data();
  const Result r = Run(*device_, std::move(read));
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(4096u, r.information);
  EXPECT_EQ(std::vector<uint8_t>(mine.begin() + 1024, mine.begin() + 1024 + 4096),
            std::vector<uint8_t>(into.begin(), into.begin() + 4096));
  EXPECT_EQ(std::vector<uint8_t>(4096, 0xEE), std::vector<uint8_t>(into.begin() + 4096, into.end()))
      << "written past the request";
  // Across the disk's end: cut there, and nothing beyond the end.
  std::fill(into.begin(), into.end(), 0xEE);
  read = ReadRequest(kMiB, 4096);
  read->buffer = into.data();
  EXPECT_EQ(1024u, Run(*device_, std::move(read)).information);
  EXPECT_EQ(std::vector<uint8_t>(3072, 0xEE),
            std::vector<uint8_t>(into.begin() + 1024, into.begin() + 4096));
}

// A device keeps a few request buffers while it is mounted, so that a busy
// one does not map fresh pages for every request, and gives them all back
// when it is unmounted.
TEST_F(DiskDeviceTest, AnUnmountGivesBackTheBuffersTheDeviceKept) {
  const size_t before = platform::PageBytesInUseForTesting();
  MakeImage("buffers.img", 8 * kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("buffers.img")));
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const uint64_t offset = (static_cast<uint64_t>(t) * 20 + i) * 65536;
        const std::vector<uint8_t> data = Pattern(65536, static_cast<uint8_t>(t));
        EXPECT_EQ(STATUS_SUCCESS, Write(offset, data).status);
        const Result read = Read(offset, 65536);
        EXPECT_EQ(STATUS_SUCCESS, read.status);
        EXPECT_EQ(data, read.data);
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const size_t kept = platform::PageBytesInUseForTesting() - before;
  EXPECT_GT(kept, 0u);
  EXPECT_LE(kept, (IoBufferPool::kKept + 1) * IoBufferPool::kRoom);
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_EQ(platform::PageBytesInUseForTesting(), before);
}

TEST_F(DiskDeviceTest, TransfersAreCheckedAgainstSectorsAndTheDiskEnd) {
  MakeImage("a.img", kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img")));
  const auto sector = Pattern(512, 9);
  Result r = Write(kMiB - 512, sector);  // last byte exactly at the end
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(sector, FileBytes("a.img", kMiB - 512, 512));
  r = Write(kMiB - 512, Pattern(1024, 1));  // one sector further
  EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
  EXPECT_EQ(0u, r.information);
  EXPECT_EQ(sector, FileBytes("a.img", kMiB - 512, 512)) << "nothing may be written";
  EXPECT_EQ(kMiB, fs::file_size(Image("a.img")));

  r = Read(100, 0);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(0u, r.information);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Read(100, 512).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Read(512, 100).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Write(0, Pattern(100, 1)).status);

  r = Read(kMiB, 512);  // at the end: nothing more to read
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(0u, r.information);
  r = Read(kMiB - 512, 4096);  // across the end: cut short
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(512u, r.information);
  EXPECT_EQ(sector, r.data);
}

TEST_F(DiskDeviceTest, RequestsRunInArrivalOrder) {
  MakeImage("a.img", kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img")));
  std::vector<std::future<Result>> answers;
  std::vector<std::shared_ptr<std::promise<Result>>> promises;
  for (int i = 0; i < 20; ++i) {
    auto p = std::make_shared<std::promise<Result>>();
    answers.push_back(p->get_future());
    auto request =
        i % 2 == 0 ? WriteRequest(0, Pattern(512, static_cast<uint8_t>(i))) : ReadRequest(0, 512);
    request->complete = [p](DeviceRequest& r) {
      Result result{r.status, r.information, {}};
      if (r.kind == RequestKind::kRead) result.data.assign(r.data.data(), r.data.data() + 512);
      p->set_value(result);
    };
    device_->Submit(std::move(request));
  }
  for (int i = 1; i < 20; i += 2) {
    EXPECT_EQ(Pattern(512, static_cast<uint8_t>(i - 1)), answers[i].get().data) << i;
  }
}

TEST_F(DiskDeviceTest, ReadOnlyMountsProtectTheMediaAndALaterMountClearsIt) {
  MakeImage("a.img", kMiB);
  const auto before = FileBytes("a.img", 0, 512);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q', true)));
  EXPECT_EQ(1, Query().readOnly);
  EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED, Control(IOCTL_DISK_IS_WRITABLE).status);
  EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED, Write(0, Pattern(512, 1)).status);
  EXPECT_EQ(before, FileBytes("a.img", 0, 512));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q', false)));
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_DISK_IS_WRITABLE).status);
  EXPECT_EQ(STATUS_SUCCESS, Write(0, Pattern(512, 1)).status);
}

// A read-only mount wrote nothing: neither an unmount nor a stop flushes
// it, so an image whose file knows no sync (here a pipe) is not said to
// lose writes.
TEST_F(DiskDeviceTest, AReadOnlyImageIsNotFlushedAtAnUnmountOrAStop) {
  std::mutex log_mu;
  std::string log;
  SetDebugSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(log_mu);
    log += std::string(line) + "\n";
  });
  auto logged = [&] {
    std::scoped_lock lock(log_mu);
    return log;
  };
  ASSERT_EQ(0, ::mkfifo(Image("no-sync").c_str(), 0600));
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("no-sync", 'Q', true)));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("no-sync", 'Q', true)));
  cd_ = MakeDevice(DeviceType::kCdRom, 0);
  ASSERT_EQ(STATUS_SUCCESS,
            Mount(ImageRecord("no-sync", 'R', false, 0, kSourceTypeCdImage), cd_.get()));
  // A writable one is flushed, and its failure said.
  ASSERT_EQ(0, ::mkfifo(Image("no-sync-rw").c_str(), 0600));
  other_ = MakeDevice(DeviceType::kDisk, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("no-sync-rw", 'S'), other_.get()));
  device_->Stop();
  cd_->Stop();
  other_->Stop();
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_FALSE(cd_->State().mounted);
  const std::string said = logged();
  EXPECT_EQ(said.find("may be lost"), said.rfind("may be lost")) << said;
  EXPECT_NE(std::string::npos, said.find("VelmoranEx1: flush before stopping failed")) << said;
}

TEST_F(DiskDeviceTest, TheDeviceTypeDecidesDiskOrCdRom) {
  MakeImage("cd.iso", kMiB);
  cd_ = MakeDevice(DeviceType::kCdRom, 0);
  // A writable disk record still mounts read-only on a CD-ROM device.
  ASSERT_EQ(STATUS_SUCCESS,
            Mount(ImageRecord("cd.iso", 'R', false, 0, kSourceTypeDiskImage), cd_.get()));
  EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED, Control(IOCTL_DISK_IS_WRITABLE, 0, cd_.get()).status);
  EXPECT_EQ(1, Query(cd_.get()).readOnly);
  // A CD image record on a disk device is a writable disk.
  MakeImage("b.img", kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("b.img", 'S', false, 0, kSourceTypeCdImage)));
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_DISK_IS_WRITABLE).status);
  EXPECT_EQ(kSourceTypeCdImage, Query().sourceType);
}

TEST_F(DiskDeviceTest, UnmountRemovesTheLinkAndEmptiesTheDevice) {
  MakeImage("a.img", kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q')));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_FALSE(LinkExists('Q'));
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Read(0, 512).status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Control(IOCTL_VDISK_QUERY, 1264).status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Control(IOCTL_VDISK_UNMOUNT).status);
  // The image is no longer held: another mount may take it exclusively.
  other_ = MakeDevice(DeviceType::kDisk, 1);
  EXPECT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q'), other_.get()));
}

TEST_F(DiskDeviceTest, ALetterTakenByAnotherDeviceStaysWithIt) {
  MakeImage("a.img", kMiB);
  MakeImage("b.img", kMiB);
  other_ = MakeDevice(DeviceType::kDisk, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q')));
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("b.img", 'Q'), other_.get()));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT, 0, other_.get()).status);
  EXPECT_EQ("/dev/velmoran-test/VelmoranEx0", fs::read_symlink(dir_ / "links" / "Q:").string());
}

TEST_F(DiskDeviceTest, TwoMountsRacingForOneDeviceGiveOneSuccess) {
  MakeImage("a.img", kMiB);
  MakeImage("b.img", kMiB);
  std::promise<NtStatus> first, second;
  const MountRecord a = ImageRecord("a.img"), b = ImageRecord("b.img");
  auto r1 = ControlRequest(IOCTL_VDISK_MOUNT, &a, sizeof a, 0);
  auto r2 = ControlRequest(IOCTL_VDISK_MOUNT, &b, sizeof b, 0);
  r1->complete = [&](DeviceRequest& r) { first.set_value(r.status); };
  r2->complete = [&](DeviceRequest& r) { second.set_value(r.status); };
  device_->Submit(std::move(r1));
  device_->Submit(std::move(r2));
  EXPECT_EQ(STATUS_SUCCESS, first.get_future().get());
  EXPECT_EQ(STATUS_DEVICE_ALREADY_ATTACHED, second.get_future().get());
  EXPECT_EQ(NtPathFromLinux(Image("a.img")), LoadUtf16Field(Query().sourceName, kMountPathUnits));
}

TEST_F(DiskDeviceTest, StopUnmountsAndRemovesTheLink) {
  MakeImage("a.img", kMiB);
  ASSERT_EQ(STATUS_SUCCESS, Mount(ImageRecord("a.img", 'Q')));
  device_->Stop();
  EXPECT_FALSE(LinkExists('Q'));
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Read(0, 512).status);
}

TEST_F(DiskDeviceTest, TheImageIsOpenedWithTheCallersRights) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  MakeImage("root-only.img", kMiB);
  ::chmod(Image("root-only.img").c_str(), 0600);
  fs::permissions(dir_, fs::perms(0755));
  MountRecord record = ImageRecord("root-only.img");
  auto request = ControlRequest(IOCTL_VDISK_MOUNT, &record, sizeof record, 0);
  request->caller = {65534, 65534, {65534}};
  EXPECT_EQ(STATUS_ACCESS_DENIED, Run(*device_, std::move(request)).status);
  // Created as that user, the image belongs to them.
  fs::create_directories(dir_ / "nobody");
  ::chown((dir_ / "nobody").c_str(), 65534, 65534);
  record = ImageRecord("nobody/new.img", 'Q', false, kMiB);
  request = ControlRequest(IOCTL_VDISK_MOUNT, &record, sizeof record, 0);
  request->caller = {65534, 65534, {65534}};
  ASSERT_EQ(STATUS_SUCCESS, Run(*device_, std::move(request)).status);
  struct stat st {};
  ASSERT_EQ(0, ::stat(Image("nobody/new.img").c_str(), &st));
  EXPECT_EQ(65534u, st.st_uid);
}

// Takes CAP_SETUID and CAP_SETGID out of this thread's effective set, and
// so out of the threads it starts, until destroyed.
class WithoutIdentityRights {
 public:
  WithoutIdentityRights() {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    EXPECT_EQ(0, ::syscall(SYS_capget, &header_, saved_));
    __user_cap_data_struct dropped[2] = {saved_[0], saved_[1]};
    dropped[0].effective &= ~((1u << CAP_SETUID) | (1u << CAP_SETGID));
    EXPECT_EQ(0, ::syscall(SYS_capset, &header_, dropped));
  }
  ~WithoutIdentityRights() { EXPECT_EQ(0, ::syscall(SYS_capset, &header_, saved_)); }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
};

TEST_F(DiskDeviceTest, WithoutTheRightsToActAsTheCallerOnlyTheDriversOwnUserMounts) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  MakeImage("root-only.img", kMiB);
  ::chmod(Image("root-only.img").c_str(), 0600);
  fs::permissions(dir_, fs::perms(0755));
  Result other, own;
  {
    WithoutIdentityRights dropped;
    std::unique_ptr<DiskDevice> device = MakeDevice(DeviceType::kDisk, 1);
    MountRecord record = ImageRecord("root-only.img");
    auto request = ControlRequest(IOCTL_VDISK_MOUNT, &record, sizeof record, 0);
    request->caller = {65534, 65534, {65534}};
    other = Run(*device, std::move(request));
    request = ControlRequest(IOCTL_VDISK_MOUNT, &record, sizeof record, 0);
    request->caller = platform::ThreadIdentity();
    request->caller.groups.push_back(65534);  // a list the thread cannot take
    own = Run(*device, std::move(request));
  }
  EXPECT_EQ(STATUS_ACCESS_DENIED, other.status) << "another user's mount opened a file as root";
  EXPECT_EQ(STATUS_SUCCESS, own.status);
}

// ---- Network disks.

class NetworkDeviceTest : public DiskDeviceTest {
 protected:
  FakeBlockServer server_{16 * kMiB};
};

TEST_F(NetworkDeviceTest, FullAccessReadsAndWritesTheServer) {
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  const MountRecord q = Query();
  EXPECT_EQ(16 * kMiB, q.imageSize);
  EXPECT_EQ(0, q.virtualWrite);
  EXPECT_EQ(kSourceTypeNetwork, q.sourceType);
  EXPECT_EQ(server_.address(), q.serverAddress);
  EXPECT_EQ(server_.port(), q.serverPort);
  EXPECT_TRUE(LinkExists('N'));
  const auto data = Pattern(300 * 1024, 5);
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * kMiB, data).status);
  const auto disk = server_.Disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin() + 2 * kMiB));
  const Result r = Read(2 * kMiB, 300 * 1024);
  EXPECT_EQ(data, r.data);
}

// An fsync of a full-access disk reaches the server as CMD_FLUSH once the
// writes before it are answered; at virtual write the writes live in the
// local cache, and nothing is sent.
TEST_F(NetworkDeviceTest, ASyncOfAFullAccessDiskFlushesTheServer) {
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(128 * 1024, 2)).status);
  ASSERT_EQ(STATUS_SUCCESS, Sync().status);
  std::vector<uint8_t> commands;
  for (const auto& r : server_.Requests()) commands.push_back(r.command);
  const std::vector<uint8_t> tail = {CMD_WRITE, CMD_WRITE, CMD_FLUSH};
  ASSERT_GE(commands.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), commands.end() - 3));
  server_.FailFlushes(true);
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 3)).status);
  EXPECT_EQ(EIO, platform::ErrnoFromNtStatus(Sync().status));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);

  server_.ClearRequests();
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 4)).status);
  EXPECT_EQ(STATUS_SUCCESS, Sync().status);
  for (const auto& r : server_.Requests()) EXPECT_NE(CMD_FLUSH, r.command);
}

// An unmount loses nothing the server acknowledged: its writes are flushed
// first, as at a stop. A flush that fails, or a server gone silent, is said
// in the log and does not keep the disk mounted; the silent one holds the
// unmount no longer than a transfer's reply time-out, not a flush's.
TEST_F(NetworkDeviceTest, AnUnmountFlushesTheAcknowledgedWritesFirst) {
  std::mutex log_mu;
  std::string log;
  SetDebugSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(log_mu);
    log += std::string(line) + "\n";
  });
  auto logged = [&] {
    std::scoped_lock lock(log_mu);
    return log;
  };
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(64 * 1024, 1)).status);
  server_.ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  std::vector<uint8_t> commands;
  for (const auto& r : server_.Requests()) commands.push_back(r.command);
  EXPECT_EQ(std::vector<uint8_t>{CMD_FLUSH}, commands) << "acknowledged writes were not flushed";

  server_.FailFlushes(true);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 2)).status);
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_NE(std::string::npos, logged().find("VelmoranEx0: flush before unmounting failed"))
      << logged();
  server_.FailFlushes(false);

  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 3)).status);
  server_.SetSilent(true);
  std::promise<NtStatus> unmounted;
  auto unmount = ControlRequest(IOCTL_VDISK_UNMOUNT, nullptr, 0, 0);
  unmount->complete = [&unmounted](DeviceRequest& r) { unmounted.set_value(r.status); };
  device_->Submit(std::move(unmount));
  // A bound against a hang only: the flush's own time-out is ten minutes.
  auto answer = unmounted.get_future();
  ASSERT_EQ(std::future_status::ready, answer.wait_for(60s))
      << "the silent server held the unmount";
  EXPECT_EQ(STATUS_SUCCESS, answer.get());
  EXPECT_FALSE(device_->State().mounted);
  const std::string said = logged();
  EXPECT_NE(said.find("flush before unmounting failed"),
            said.rfind("flush before unmounting failed"))
      << said;
  server_.SetSilent(false);
}

TEST_F(NetworkDeviceTest, AWrongPasswordLeavesTheDeviceEmpty) {
  server_.SetPassword(PasswordDigest("right"));
  EXPECT_EQ(STATUS_WRONG_PASSWORD, Mount(NetworkRecord(server_, "wrong")));
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_FALSE(LinkExists('N'));
  EXPECT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_, "right")));
}

// A server that refuses this client (its address's entry) answers the
// query with access 2: there is no disk to read from, and the mount says
// so rather than succeed as a virtual-write disk whose every read fails.
TEST_F(NetworkDeviceTest, AClientTheServerRefusesIsNotMounted) {
  server_.SetAccess(ACCESS_REFUSED);
  EXPECT_EQ(STATUS_ACCESS_DENIED, Mount(NetworkRecord(server_)));
  EXPECT_FALSE(device_->State().mounted);
  EXPECT_FALSE(LinkExists('N'));
  EXPECT_TRUE(testing::Eventually([&] { return server_.OpenConnections() == 0; }, 10s));
  // Another server of the disk may grant what this one refuses.
  FakeBlockServer second{16 * kMiB};
  second.SetAccess(ACCESS_VIRTUAL_WRITE);
  MountRecord record = NetworkRecord(server_);
  ASSERT_TRUE(SetMountServers(
      record, {{server_.address(), server_.port()}, {second.address(), second.port()}}));
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  const MountRecord q = Query();
  EXPECT_EQ(1, q.virtualWrite);
  EXPECT_EQ(1u, CurrentServer(q));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
}

// 0.0.0.0 is this machine to Linux: a record naming it (a saved drive
// gone bad, or any user's own) reached whatever listens here, here the
// server on 127.0.0.1, with the caller's digest. Port 0 is nobody's. Both
// are refused before anything is connected, and another server listed
// with them does not make the record good.
TEST_F(NetworkDeviceTest, AServerOfAddressZeroOrPortZeroIsRefusedBeforeAnyConnection) {
  MountRecord no_port = NetworkRecord(server_);
  no_port.serverPort = 0;
  MountRecord listed = NetworkRecord(server_);
  ASSERT_TRUE(
      SetMountServers(listed, {{server_.address(), 0}, {server_.address(), server_.port()}}));
  MountRecord any = NetworkRecord(server_);
  any.serverAddress = 0;
  const std::pair<const char*, const MountRecord*> records[] = {
      {"port 0", &no_port}, {"port 0 before a good server", &listed}, {"0.0.0.0", &any}};
  for (const auto& [name, record] : records) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Mount(*record)) << name;
    EXPECT_EQ(0, server_.Connections()) << name << " reached the server";
    EXPECT_FALSE(device_->State().mounted) << name;
    EXPECT_FALSE(LinkExists('N')) << name;
    if (device_->State().mounted) {
      ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
    }
  }
  EXPECT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
}

// A stop flushes what was acknowledged, and a server gone silent holds it
// no longer than a transfer: the flush's own time-out is ten minutes, more
// than the service manager waits for the driver to stop.
TEST_F(NetworkDeviceTest, AStopFlushesAndASilentServerHoldsItNoLongerThanATransfer) {
  // As long as the service manager waits: longer than the bound below.
  device_ = MakeDevice(DeviceType::kDisk, 0, 90s);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 1)).status);
  server_.ClearRequests();
  server_.SetSilent(true);
  auto stopped = std::async(std::launch::async, [&] { device_->Stop(); });
  // A bound against a hang only.
  EXPECT_EQ(std::future_status::ready, stopped.wait_for(60s)) << "the silent server held the stop";
  stopped.wait();
  EXPECT_FALSE(device_->State().mounted);
  ASSERT_FALSE(server_.Requests().empty());
  EXPECT_EQ(CMD_FLUSH, server_.Requests().front().command);
  server_.SetSilent(false);
}

// A stop that comes while a program's fsync waits for a server gone silent:
// that flush is waited for no longer than a transfer from then on, not for
// the rest of the flush's own time-out (ten minutes by default), which held
// the stop past the service manager's limit.
TEST_F(NetworkDeviceTest, AStopCutsTheWaitOfAFlushInFlightToATransfers) {
  // As long as the service manager waits: longer than the bound below.
  device_ = MakeDevice(DeviceType::kDisk, 0, 90s);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 1)).status);
  server_.SetSilent(true);
  server_.ClearRequests();
  auto synced = std::async(std::launch::async, [&] { return Sync().status; });
  ASSERT_TRUE(testing::Eventually([&] { return !server_.Requests().empty(); }, 10s));
  auto stopped = std::async(std::launch::async, [&] { device_->Stop(); });
  // A bound against a hang only.
  EXPECT_EQ(std::future_status::ready, stopped.wait_for(60s))
      << "the flush in flight held the stop for its own time-out";
  stopped.wait();
  EXPECT_NE(STATUS_SUCCESS, synced.get());
  EXPECT_FALSE(device_->State().mounted);
  server_.SetSilent(false);
}

// A stop that comes while a mount tries its servers tries no further one:
// a silent server holds each attempt for a whole log-on time-out, and the
// stop waits for every one of them.
TEST_F(NetworkDeviceTest, AStopDuringAMountTriesNoFurtherServer) {
  FakeBlockServer second{16 * kMiB};
  FakeBlockServer third{16 * kMiB};
  for (FakeBlockServer* s : {&server_, &second, &third}) s->SetSilent(true);
  MountRecord record = NetworkRecord(server_);
  ASSERT_TRUE(SetMountServers(record, {{server_.address(), server_.port()},
                                       {second.address(), second.port()},
                                       {third.address(), third.port()}}));
  std::promise<NtStatus> mounted;
  auto request = ControlRequest(IOCTL_VDISK_MOUNT, &record, sizeof record, 0);
  request->complete = [&mounted](DeviceRequest& r) { mounted.set_value(r.status); };
  device_->Submit(std::move(request));
  ASSERT_TRUE(testing::Eventually([&] { return server_.Connections() == 1; }, 10s));
  device_->BeginStop();
  EXPECT_NE(STATUS_SUCCESS, mounted.get_future().get());
  EXPECT_EQ(0, second.Connections()) << "the second server was tried after the stop";
  EXPECT_EQ(0, third.Connections()) << "the third server was tried after the stop";
}

// While the driver stops, a mounted disk still serves the requests its
// block device's removal waits for, each with one attempt at a silent
// server, and no device takes a mount (its log-ons would hold the stop).
TEST_F(NetworkDeviceTest, RefusedMountsLeaveAMountedDiskServingWithOneAttempt) {
  // Longer than the bound below, as the default's 60 s.
  device_ = MakeDevice(DeviceType::kDisk, 0, 600s, 60s);
  other_ = MakeDevice(DeviceType::kDisk, 1, 600s, 60s);
  FakeBlockServer second{16 * kMiB};
  MountRecord record = NetworkRecord(server_);
  SetMountConnections(record, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 7)).status);
  device_->RefuseMounts();
  other_->RefuseMounts();
  const Result r = Read(kMiB, 4096);
  EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(Pattern(4096, 7), r.data);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, Mount(NetworkRecord(second), other_.get()));
  EXPECT_EQ(0, second.Connections()) << "a mount during the stop logged on";
  EXPECT_FALSE(other_->State().mounted);
  server_.SetSilent(true);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_NE(STATUS_SUCCESS, Read(0, 4096).status);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 20s) << "the read took its reconnect time";
  EXPECT_TRUE(device_->State().mounted);
  device_->Stop();
  EXPECT_FALSE(device_->State().mounted);
  server_.SetSilent(false);
}

// A stop that comes while a request waits for its servers, all gone silent:
// the reconnect tries them within one log-on time-out in all, not one each
// (with three servers, a reply and three log-ons of 30 s held the stop past
// the service manager's 90 s), and the flush after it tries none.
TEST_F(NetworkDeviceTest, AStopWithARequestOnSilentServersWaitsForOneLogOnInAll) {
  // Time for every server's log-on, were each given its own.
  device_ = MakeDevice(DeviceType::kDisk, 0, 600s, 20s);
  FakeBlockServer second{16 * kMiB};
  FakeBlockServer third{16 * kMiB};
  MountRecord record = NetworkRecord(server_);
  SetMountConnections(record, 1);
  ASSERT_TRUE(SetMountServers(record, {{server_.address(), server_.port()},
                                       {second.address(), second.port()},
                                       {third.address(), third.port()}}));
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 1)).status);
  for (FakeBlockServer* s : {&server_, &second, &third}) s->SetSilent(true);
  server_.ClearRequests();
  // As the stop below does, raised before the read's reply time-out runs
  // out however slowly this test runs.
  device_->GiveUpReconnects();
  std::promise<NtStatus> read;
  auto request = ReadRequest(0, 4096);
  request->complete = [&read](DeviceRequest& r) { read.set_value(r.status); };
  auto submitted = std::async(
      std::launch::async, [&, r = std::move(request)]() mutable { device_->Submit(std::move(r)); });
  ASSERT_TRUE(testing::Eventually([&] { return !server_.Requests().empty(); }, 10s));
  device_->Stop();
  EXPECT_NE(STATUS_SUCCESS, read.get_future().get());
  submitted.wait();
  EXPECT_FALSE(device_->State().mounted);
  const int log_ons = server_.Connections() - 1 + second.Connections() + third.Connections();
  EXPECT_EQ(1, log_ons) << "servers were each given a log-on time-out while the stop waited";
  for (FakeBlockServer* s : {&server_, &second, &third}) s->SetSilent(false);
}

TEST_F(NetworkDeviceTest, VirtualWriteKeepsWritesOnTheClient) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  const auto original = server_.Disk();
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  EXPECT_EQ(1, Query().virtualWrite);
  const auto data = Pattern(1536, 11);
  ASSERT_EQ(STATUS_SUCCESS, Write(0, data).status);  // block 0 too
  ASSERT_EQ(STATUS_SUCCESS, Write(10 * 512, data).status);
  EXPECT_EQ(original, server_.Disk());
  for (const auto& r : server_.Requests()) EXPECT_NE(CMD_WRITE, r.command);
  // Reads see the client's writes over the server's data.
  const Result r = Read(0, 16 * 512);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  std::vector<uint8_t> expected(original.begin(), original.begin() + 16 * 512);
  std::copy(data.begin(), data.end(), expected.begin());
  std::copy(data.begin(), data.end(), expected.begin() + 10 * 512);
  EXPECT_EQ(expected, r.data);
  // The cache file has no name; nothing is left after unmount.
  EXPECT_TRUE(fs::is_empty(dir_ / "cache"));
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_TRUE(fs::is_empty(dir_ / "cache"));
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  EXPECT_EQ(std::vector<uint8_t>(original.begin(), original.begin() + 16 * 512),
            Read(0, 16 * 512).data);
}

// A write whose end lies beyond 2^64 is past the disk's end too: the cache
// must not answer it as kept while it keeps none of it.
TEST_F(NetworkDeviceTest, AVirtualWriteWhoseEndWrapsPastTwoToThe64IsRefused) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  const Result r = Write(UINT64_MAX - 511, Pattern(1024, 3));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, r.status);
  EXPECT_EQ(0u, r.information);
}

TEST_F(NetworkDeviceTest, TwoVirtualMountsOfOneServerKeepTheirOwnCaches) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  other_ = MakeDevice(DeviceType::kDisk, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_), other_.get()));
  ASSERT_EQ(STATUS_SUCCESS, Write(4096, Pattern(4096, 1)).status);
  ASSERT_EQ(STATUS_SUCCESS, Write(4096, Pattern(4096, 2), other_.get()).status);
  EXPECT_EQ(Pattern(4096, 1), Read(4096, 4096).data);
  EXPECT_EQ(Pattern(4096, 2), Read(4096, 4096, other_.get()).data);
}

// The descriptors of this process open on files in `directory`.
std::vector<std::string> DescriptorsInto(const fs::path& directory) {
  std::vector<std::string> found;
  const std::string prefix = fs::canonical(directory).string() + "/";
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (!error && target.rfind(prefix, 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

TEST_F(NetworkDeviceTest, TheCacheFileIsHeldExclusivelyAndOnlyWhileMounted) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(512, Pattern(512, 4)).status);
  const std::vector<std::string> held = DescriptorsInto(dir_ / "cache");
  ASSERT_EQ(1u, held.size()) << "one nameless cache file per mount";
  {
    // Reached through its descriptor, the file is still not to be shared.
    const int other = ::open(held[0].c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    struct stat st {};
    ASSERT_EQ(0, ::fstat(other, &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(0u, st.st_nlink) << "the cache file has a name";
    EXPECT_EQ(2u * 512, static_cast<uint64_t>(st.st_size)) << "slot 0 and one block";
    EXPECT_EQ(-1, ::flock(other, LOCK_EX | LOCK_NB));
    EXPECT_EQ(EWOULDBLOCK, errno);
    ::close(other);
  }
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_TRUE(DescriptorsInto(dir_ / "cache").empty()) << "the cache outlived its mount";
}

TEST_F(NetworkDeviceTest, AReconnectKeepsTheModeOfTheMount) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  const auto original = server_.Disk();
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  // The server would now let this client write; the mount stays virtual.
  server_.SetAccess(ACCESS_FULL);
  server_.ResetConnections();
  server_.ClearRequests();
  EXPECT_EQ(std::vector<uint8_t>(original.begin() + 4096, original.begin() + 8192),
            Read(4096, 4096).data);
  // The mount's connections, and one of them again.
  EXPECT_EQ(kDefaultMountConnections + 1, server_.Connections());
  ASSERT_EQ(STATUS_SUCCESS, Write(4096, Pattern(4096, 8)).status);
  EXPECT_EQ(Pattern(4096, 8), Read(4096, 4096).data);
  // The reconnect queried again, and what the mount's query said stays in force.
  bool queried = false;
  for (const auto& r : server_.Requests()) {
    EXPECT_NE(CMD_WRITE, r.command);
    queried = queried || r.command == CMD_QUERY;
  }
  EXPECT_TRUE(queried);
  EXPECT_EQ(original, server_.Disk());
  EXPECT_EQ(1, Query().virtualWrite);
}

TEST_F(NetworkDeviceTest, ACacheDirectoryThatCannotBeUsedFailsTheMount) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  MountRecord record = NetworkRecord(server_);
  ASSERT_TRUE(StoreUtf16Field(NtPathFromLinux((dir_ / "missing" / "x.dat").string()),
                              record.cachePath, kMountPathUnits));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Mount(record));
  EXPECT_FALSE(device_->State().mounted);
}

TEST_F(NetworkDeviceTest, IoContinuesAfterTheServerRestarts) {
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(STATUS_SUCCESS, Write(0, Pattern(4096, 1)).status);
  server_.Stop();
  EXPECT_NE(STATUS_SUCCESS, Read(0, 4096).status);  // nobody to answer
  server_.Restart();
  ASSERT_EQ(STATUS_SUCCESS, Write(8192, Pattern(4096, 2)).status);
  EXPECT_EQ(Pattern(4096, 1), Read(0, 4096).data);
  EXPECT_EQ(Pattern(4096, 2), Read(8192, 4096).data);
}

// ---- Several connections.

class ParallelDeviceTest : public NetworkDeviceTest {
 protected:
  // Mounted on every connection, the server then silent, its requests so far forgotten.
  void MountAndSilenceTheServer() {
    ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
    ASSERT_EQ(kDefaultMountConnections, server_.OpenConnections());
    server_.SetSilent(true);
    server_.ClearRequests();
  }
  // A read of 4096 bytes at `offset`, handed off as the block device does.
  std::future<NtStatus> SubmitRead(uint64_t offset) {
    auto answer = std::make_shared<std::promise<NtStatus>>();
    std::future<NtStatus> status = answer->get_future();
    auto request = ReadRequest(offset, 4096);
    request->hand_off = true;
    request->complete = [answer](DeviceRequest& r) { answer->set_value(r.status); };
    device_->Submit(std::move(request));
    return status;
  }
  // How many of the requests the server took since it was cleared were `command`.
  int Count(uint8_t command) {
    int n = 0;
    for (const auto& r : server_.Requests()) n += r.command == command ? 1 : 0;
    return n;
  }
  int MostAtOnce() const { return server_.MostAtOnce(); }
  // Submits every request from this thread, handed off as the block device
  // does, and waits for all the answers.
  std::vector<Result> RunAll(std::vector<std::unique_ptr<DeviceRequest>> requests) {
    std::vector<std::promise<Result>> answers(requests.size());
    std::vector<std::future<Result>> results;
    for (auto& a : answers) results.push_back(a.get_future());
    for (size_t i = 0; i < requests.size(); ++i) {
      requests[i]->hand_off = true;
      requests[i]->complete = [&answers, i](DeviceRequest& r) {
        Result result{r.status, r.information, {}};
        if (r.kind == RequestKind::kRead && r.information > 0) {
          result.data.assign(r.data.data(), r.data.data() + r.information);
        }
        answers[i].set_value(std::move(result));
      };
      device_->Submit(std::move(requests[i]));
    }
    std::vector<Result> out;
    for (auto& f : results) out.push_back(f.get());
    return out;
  }
};

// Requests handed off from one thread (the block device's queue) are
// served side by side, one per connection at most, and each lands exactly.
TEST_F(ParallelDeviceTest, HandedOffRequestsAreServedSideBySideOnTheConnections) {
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  EXPECT_EQ(kDefaultMountConnections, MountConnections(Query()));
  EXPECT_EQ(kDefaultMountConnections, server_.OpenConnections());
  server_.SetWriteDelay(30ms);
  server_.ClearRequests();
  std::vector<std::unique_ptr<DeviceRequest>> writes;
  for (uint8_t i = 0; i < 12; ++i) writes.push_back(WriteRequest(i * 8192, Pattern(8192, i)));
  for (const Result& r : RunAll(std::move(writes))) EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_GT(MostAtOnce(), 1);
  EXPECT_LE(MostAtOnce(), static_cast<int>(kDefaultMountConnections));
  ASSERT_EQ(STATUS_SUCCESS, Sync().status);
  std::vector<std::unique_ptr<DeviceRequest>> reads;
  for (uint8_t i = 0; i < 12; ++i) reads.push_back(ReadRequest(i * 8192, 8192));
  const std::vector<Result> read = RunAll(std::move(reads));
  for (uint8_t i = 0; i < 12; ++i) EXPECT_EQ(Pattern(8192, i), read[i].data) << int(i);
  const auto disk = server_.Disk();
  for (uint8_t i = 0; i < 12; ++i) {
    const auto want = Pattern(8192, i);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), disk.begin() + i * 8192)) << int(i);
  }
  // The flush came after every write was answered, and once.
  int answered = 0, flushes = 0;
  for (const auto& e : server_.Events()) {
    if (e.command == CMD_WRITE && e.answered) ++answered;
    if (e.command == CMD_FLUSH && !e.answered) {
      ++flushes;
      EXPECT_EQ(12, answered);
    }
  }
  EXPECT_EQ(1, flushes);
}

// The record's count is kept; one connection serves one request at a time.
TEST_F(ParallelDeviceTest, ARecordOfOneConnectionServesOneAtATime) {
  MountRecord record = NetworkRecord(server_);
  SetMountConnections(record, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  EXPECT_EQ(1, MountConnections(Query()));
  EXPECT_EQ(1, server_.Connections());
  server_.SetWriteDelay(10ms);
  server_.ClearRequests();
  std::vector<std::unique_ptr<DeviceRequest>> writes;
  for (uint8_t i = 0; i < 6; ++i) writes.push_back(WriteRequest(i * 4096, Pattern(4096, i)));
  for (const Result& r : RunAll(std::move(writes))) EXPECT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(1, MostAtOnce()) << server_.Events().size() << " events, " << server_.Requests().size();
  ASSERT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  SetMountConnections(record, kMaxMountConnections + 1);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Mount(record));
}

// Virtual write with requests from several threads at once (as FUSE's
// threads bring them): the cache keeps each thread's blocks exactly.
TEST_F(ParallelDeviceTest, VirtualWriteUnderRequestsFromSeveralThreadsIsExact) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  const auto original = server_.Disk();
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  ASSERT_EQ(1, Query().virtualWrite);
  constexpr int kThreads = 6;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        const uint64_t offset = (static_cast<uint64_t>(i) * kThreads + t) * 4608;
        const auto data = Pattern(4608, static_cast<uint8_t>(t * 60 + i));
        if (Write(offset, data).status != STATUS_SUCCESS) ++wrong;
        if (Read(offset, 4608).data != data) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 60; ++i) {
      const uint64_t offset = (static_cast<uint64_t>(i) * kThreads + t) * 4608;
      ASSERT_EQ(Pattern(4608, static_cast<uint8_t>(t * 60 + i)), Read(offset, 4608).data);
    }
  }
  EXPECT_EQ(original, server_.Disk());
}

// Threads writing and reading ranges that overlap, at virtual write: every
// block a read returns is whole, the server's or one write's, never a mix.
TEST_F(ParallelDeviceTest, OverlappingVirtualWritesAndReadsSeeWholeBlocks) {
  server_.SetAccess(ACCESS_VIRTUAL_WRITE);
  const auto original = server_.Disk();
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 80; ++i) {
        const uint64_t first = (t * 7 + i * 3) % 40;
        const uint64_t count = 1 + (i * 5 + t) % 24;
        // Every byte of a written block the same, unlike the server's blocks.
        const std::vector<uint8_t> data(count * 512, static_cast<uint8_t>(1 + (t * 80 + i) % 250));
        if (t % 2 == 0 && Write(first * 512, data).status != STATUS_SUCCESS) ++wrong;
        const Result r = Read(first * 512, static_cast<uint32_t>(data.size()));
        if (r.status != STATUS_SUCCESS || r.data.size() != data.size()) {
          ++wrong;
          continue;
        }
        for (uint64_t b = 0; b < count; ++b) {
          const uint8_t* p = r.data.data() + b * 512;
          const bool written = std::all_of(p, p + 512, [p](uint8_t x) { return x == p[0]; });
          const bool served =
              std::equal(p, p + 512, original.begin() + static_cast<long>((first + b) * 512));
          if (!written && !served) ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(original, server_.Disk());
}

// A thread serving its own request at once (a FUSE thread) also serves the
// transfers queued behind it meanwhile, in their order, before it returns;
// an unmount queued among them is left to the workers, with what follows,
// and so is everything after a failure.
TEST_F(ParallelDeviceTest, TheThreadServingAtOnceServesWhatQueuedBehindIt) {
  MountRecord record = NetworkRecord(server_);
  SetMountConnections(record, 1);
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  // Long enough that the writes below are queued while the first is served.
  server_.SetWriteDelay(300ms);
  server_.ClearRequests();
  std::mutex mu;
  std::vector<std::pair<int, std::thread::id>> served;  // which request, on which thread
  auto noted = [&](std::unique_ptr<DeviceRequest> r, int which) {
    r->complete = [&, which](DeviceRequest& done) {
      EXPECT_EQ(STATUS_SUCCESS, done.status) << which;
      std::scoped_lock lock(mu);
      served.emplace_back(which, std::this_thread::get_id());
    };
    return r;
  };
  // Nothing in the device: the mount's worker has let go of it (requests
  // after a mount wait until then), so a request is served by its caller.
  auto idle = [&] {
    return testing::Eventually(
        [&] {
          std::promise<std::thread::id> by;
          auto probe = ReadRequest(0, 512);
          probe->complete = [&by](DeviceRequest&) { by.set_value(std::this_thread::get_id()); };
          device_->Submit(std::move(probe));
          return by.get_future().get() == std::this_thread::get_id();
        },
        5s);
  };
  ASSERT_TRUE(idle());
  // The first write is at the server (and the connection busy with it).
  auto write_arrived = [&] {
    for (const auto& e : server_.Events()) {
      if (e.command == CMD_WRITE) return true;
    }
    return false;
  };
  std::thread::id first_thread;
  std::thread first([&] {
    first_thread = std::this_thread::get_id();
    device_->Submit(noted(WriteRequest(0, Pattern(4096, 0)), 0));
  });
  ASSERT_TRUE(testing::Eventually(write_arrived, 5s));
  // The connection is busy: these wait in the queue.
  for (int i = 1; i <= 3; ++i) {
    device_->Submit(noted(WriteRequest(i * 4096, Pattern(4096, static_cast<uint8_t>(i))), i));
  }
  device_->Submit(noted(ControlRequest(IOCTL_VDISK_QUERY, nullptr, 0, kMountRecordSize), 4));
  first.join();
  std::vector<std::pair<int, std::thread::id>> seen;
  {
    std::scoped_lock lock(mu);
    seen = served;
  }
  // The query is answered at once by the submitting thread; the writes came
  // back on the first thread, in order, by the time its call returned.
  ASSERT_EQ(5u, seen.size());
  std::vector<int> on_first;
  for (const auto& [which, thread] : seen) {
    if (thread == first_thread) on_first.push_back(which);
  }
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), on_first);
  const auto disk = server_.Disk();
  for (uint8_t i = 0; i < 4; ++i) {
    const auto want = Pattern(4096, i);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), disk.begin() + i * 4096)) << int(i);
  }

  // Behind an unmount, it stops: the unmount waits for it, and the write
  // after the unmount finds the device empty.
  ASSERT_TRUE(idle());
  server_.ClearRequests();
  served.clear();
  std::thread second([&] {
    first_thread = std::this_thread::get_id();
    device_->Submit(noted(WriteRequest(0, Pattern(4096, 7)), 0));
  });
  ASSERT_TRUE(testing::Eventually(write_arrived, 5s));
  device_->Submit(noted(WriteRequest(4096, Pattern(4096, 8)), 1));
  std::promise<Result> unmounted;
  auto unmount = ControlRequest(IOCTL_VDISK_UNMOUNT, nullptr, 0, 0);
  unmount->complete = [&](DeviceRequest& r) { unmounted.set_value({r.status, 0, {}}); };
  device_->Submit(std::move(unmount));
  std::promise<NtStatus> after;
  auto late = WriteRequest(8192, Pattern(4096, 9));
  late->complete = [&](DeviceRequest& r) { after.set_value(r.status); };
  device_->Submit(std::move(late));
  second.join();
  EXPECT_EQ(STATUS_SUCCESS, unmounted.get_future().get().status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, after.get_future().get());
  {
    std::scoped_lock lock(mu);
    ASSERT_EQ(2u, served.size());
    EXPECT_EQ(0, served[0].first);
    EXPECT_EQ(1, served[1].first);
    EXPECT_EQ(first_thread, served[1].second);
  }

  // After a failure of its own it returns at once: the reads queued behind
  // are the workers'.
  ASSERT_EQ(STATUS_SUCCESS, Mount(record));
  ASSERT_TRUE(idle());
  server_.ClearRequests();
  server_.RefuseWrites(true);
  std::promise<NtStatus> refused;
  std::thread third([&] {
    first_thread = std::this_thread::get_id();
    auto write = WriteRequest(0, Pattern(4096, 5));
    write->complete = [&](DeviceRequest& r) { refused.set_value(r.status); };
    device_->Submit(std::move(write));
  });
  ASSERT_TRUE(testing::Eventually(write_arrived, 5s));
  std::vector<std::promise<std::thread::id>> readers(3);
  for (size_t i = 0; i < readers.size(); ++i) {
    auto read = ReadRequest(i * 4096, 4096);
    read->complete = [&, i](DeviceRequest& r) {
      EXPECT_EQ(STATUS_SUCCESS, r.status) << i;
      readers[i].set_value(std::this_thread::get_id());
    };
    device_->Submit(std::move(read));
  }
  third.join();
  EXPECT_NE(STATUS_SUCCESS, refused.get_future().get());
  for (auto& reader : readers) EXPECT_NE(first_thread, reader.get_future().get());
}

// A server gone silent under a disk of several connections: the read in
// flight when an unmount comes ends on its own connection, rather than go
// round the others, each of which would hold the unmount for a reply
// time-out and a log-on of its own.
TEST_F(ParallelDeviceTest, AnUnmountEndsTheWaitOfARequestOnASilentServer) {
  ASSERT_NO_FATAL_FAILURE(MountAndSilenceTheServer());
  std::future<NtStatus> read = SubmitRead(0);
  ASSERT_TRUE(testing::Eventually([&] { return !server_.Requests().empty(); }, 10s));
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  EXPECT_NE(STATUS_SUCCESS, read.get());
  EXPECT_EQ(1, Count(CMD_READ)) << "the read went on on other connections while the unmount waited";
  server_.SetSilent(false);
}

// Requests queued behind those in flight when the server goes silent and
// an unmount comes: once a reconnect has failed with the unmount waiting,
// the server has had its attempt, and each of them ends at once rather
// than wait out a log-on of its own, one after the other.
TEST_F(ParallelDeviceTest, AnUnmountEndsTheRequestsQueuedBehindThoseOnASilentServer) {
  ASSERT_NO_FATAL_FAILURE(MountAndSilenceTheServer());
  constexpr int kReads = 3 * kDefaultMountConnections;
  std::vector<std::future<NtStatus>> reads;
  for (int i = 0; i < kReads; ++i) reads.push_back(SubmitRead(static_cast<uint64_t>(i) * 4096));
  // Every connection holds one; the rest wait for them.
  ASSERT_TRUE(testing::Eventually(
      [&] { return Count(CMD_READ) == static_cast<int>(kDefaultMountConnections); }, 10s));
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  for (auto& read : reads) EXPECT_NE(STATUS_SUCCESS, read.get());
  EXPECT_EQ(static_cast<int>(kDefaultMountConnections), Count(CMD_LOGIN))
      << "a queued request logged on again while the unmount waited";
  EXPECT_EQ(static_cast<int>(kDefaultMountConnections), Count(CMD_READ));
  server_.SetSilent(false);
}

// A stop or an unmount that comes while a request waits for a server gone
// silent: once the request's reconnect has found no server, the flush before
// the unmount neither logs on again nor waits for a flush reply, so the stop
// waits for the exchange in flight and one log-on, no more (each further
// time-out, 30 s, brought a stop to the service manager's 90 s, after which
// it kills the driver). What was acknowledged and not flushed is said lost.
TEST_F(ParallelDeviceTest, AStopWithARequestOnASilentServerLogsOnOnceAndFlushesNoMore) {
  std::mutex log_mu;
  std::string log;
  SetDebugSinkForTesting([&](std::string_view line) {
    std::scoped_lock lock(log_mu);
    log += std::string(line) + "\n";
  });
  for (const uint8_t connections : {uint8_t{1}, uint8_t{kDefaultMountConnections}}) {
    for (const bool stop : {true, false}) {
      SCOPED_TRACE(std::to_string(connections) + " connection(s), " + (stop ? "stop" : "unmount"));
      server_.SetSilent(false);
      device_ = MakeDevice(DeviceType::kDisk, 0);
      MountRecord record = NetworkRecord(server_);
      SetMountConnections(record, connections);
      ASSERT_EQ(STATUS_SUCCESS, Mount(record));
      // Acknowledged, not yet flushed: the unmount has something to flush.
      ASSERT_EQ(STATUS_SUCCESS, Write(kMiB, Pattern(4096, 1)).status);
      server_.SetSilent(true);
      server_.ClearRequests();
      {
        std::scoped_lock lock(log_mu);
        log.clear();
      }
      // As the stop or unmount below does, raised before the read's reply
      // time-out runs out however slowly this test runs.
      device_->GiveUpReconnects();
      std::promise<NtStatus> read;
      auto request = ReadRequest(0, 4096);
      request->hand_off = true;
      request->complete = [&read](DeviceRequest& r) { read.set_value(r.status); };
      // A disk of one connection serves it in the submitting thread.
      auto submitted = std::async(std::launch::async, [&, r = std::move(request)]() mutable {
        device_->Submit(std::move(r));
      });
      ASSERT_TRUE(testing::Eventually([&] { return Count(CMD_READ) == 1; }, 10s));
      if (stop) {
        device_->Stop();
      } else {
        EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
      }
      EXPECT_NE(STATUS_SUCCESS, read.get_future().get());
      submitted.wait();
      EXPECT_FALSE(device_->State().mounted);
      EXPECT_EQ(1, Count(CMD_LOGIN)) << "the flush before the unmount logged on again";
      EXPECT_EQ(0, Count(CMD_FLUSH)) << "the flush waited for a server found silent";
      std::scoped_lock lock(log_mu);
      EXPECT_NE(std::string::npos, log.find(stop ? "VelmoranEx0: flush before stopping failed"
                                                 : "VelmoranEx0: flush before unmounting failed"))
          << log;
    }
  }
  device_.reset();
  SetDebugSinkForTesting({});
  server_.SetSilent(false);
}

// Requests that come one after another while the device gives up (its
// block device being removed before an unmount or a stop, the kernel
// writing back what it held): once one has found the server gone, the
// next ends at once too, rather than go to a connection still up, idle
// since the server went silent, and wait out a reply and a log-on there,
// one connection after the other.
TEST_F(ParallelDeviceTest, RequestsAfterOneFoundTheServerGoneWhileGivingUpEndAtOnce) {
  ASSERT_NO_FATAL_FAILURE(MountAndSilenceTheServer());
  device_->GiveUpReconnects();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(STATUS_SUCCESS, SubmitRead(static_cast<uint64_t>(i) * 4096).get()) << i;
  }
  EXPECT_EQ(1, Count(CMD_READ))
      << "a later request went to another connection while the device gave up";
  EXPECT_EQ(1, Count(CMD_LOGIN));
  EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_VDISK_UNMOUNT).status);
  server_.SetSilent(false);
}

// An unmount queued behind requests in flight waits for them, and the
// requests after it find the device empty.
TEST_F(ParallelDeviceTest, AnUnmountWaitsForTheRequestsBeingServed) {
  ASSERT_EQ(STATUS_SUCCESS, Mount(NetworkRecord(server_)));
  server_.SetWriteDelay(50ms);
  std::vector<std::unique_ptr<DeviceRequest>> requests;
  for (uint8_t i = 0; i < 4; ++i) requests.push_back(WriteRequest(i * 4096, Pattern(4096, i)));
  requests.push_back(ControlRequest(IOCTL_VDISK_UNMOUNT, nullptr, 0, 0));
  requests.push_back(WriteRequest(0, Pattern(4096, 9)));
  const std::vector<Result> results = RunAll(std::move(requests));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(STATUS_SUCCESS, results[i].status) << i;
  EXPECT_EQ(STATUS_SUCCESS, results[4].status);
  EXPECT_EQ(STATUS_NO_MEDIA_IN_DEVICE, results[5].status);
  const auto disk = server_.Disk();
  for (uint8_t i = 0; i < 4; ++i) {
    const auto want = Pattern(4096, i);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), disk.begin() + i * 4096)) << int(i);
  }
}

}  // namespace
}  // namespace quensaria::driver
