#include "driver/velmoran_driver.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "driver/debug_print.h"
#include "driver/drive_links.h"
#include "platform/errors.h"
#include "platform/instance_lock.h"
#include "platform/page_memory.h"
#include "platform/thread_identity.h"
#include "shared/win32_error.h"

namespace quensaria::driver {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFallbackDiskGroup = 6;
constexpr uint32_t kNoGroup = static_cast<uint32_t>(-1);

// The group that may use the devices: "velmoran" where the packages made it
// (the group disk would also grant every raw disk of the machine), else disk.
uint32_t DeviceGroup() {
  const uint32_t velmoran = platform::GroupId("velmoran", kNoGroup);
  return velmoran != kNoGroup ? velmoran : platform::GroupId("disk", kFallbackDiskGroup);
}

// Shares one reply between the copies std::function makes of a completion.
using SharedReply = std::shared_ptr<platform::FuseReply>;

// libfuse is C: nothing may unwind into it. `serve` gets the reply shared
// (what completions keep); an exception that escapes it answers the request
// ENOMEM or EIO (a reply already answered stays as it is). Nothing throws
// once a request has been handed to its device, so the answer here never
// races a worker's.
template <typename Serve>
void AtBoundary(platform::FuseReply& reply, Serve&& serve) noexcept {
  SharedReply shared;
  int error = 0;
  try {
    shared = std::make_shared<platform::FuseReply>(std::move(reply));
    serve(shared);
    return;
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  } catch (...) {
    error = EIO;
  }
  // make_shared had not moved the reply when it could not allocate.
  if (shared) {
    shared->Error(error);
  } else {
    reply.Error(error);
  }
}

Status MakeDirectory(const std::string& path) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error) return Status(ERROR_PATH_NOT_FOUND, "cannot create " + path + ": " + error.message());
  return Status::Ok();
}

}  // namespace

Driver::Driver(const DriverOptions& options)
    : options_(options),
      device_dir_(options.runtime_dir + "/Device/VelmoranEx"),
      links_dir_(options.runtime_dir + "/DosDevices/Global"),
      disk_group_(DeviceGroup()) {}

Result<std::unique_ptr<Driver>> Driver::Load(const DriverOptions& options,
                                             std::function<void()> on_lost) {
  std::unique_ptr<Driver> driver(new Driver(options));
  // Large buffers (the file system's request buffers) go back to the system
  // when they are freed, so that an unmount's memory really goes.
  platform::KeepLargeAllocationsOffTheHeap();
  if (Status s = MakeDirectory(options.runtime_dir); !s.ok()) return s;
  auto lock = platform::LockInstance(options.runtime_dir + "/velmoran.lock");
  if (!lock.ok()) return lock.status();
  driver->lock_ = std::move(lock.value());

  // What a driver that died left behind: its dead mount and its links.
  if (Status s = platform::FuseFileSystem::ClearStaleMount(driver->device_dir_); !s.ok()) return s;
  if (Status s = MakeDirectory(driver->device_dir_); !s.ok()) return s;
  if (Status s = MakeDirectory(driver->links_dir_); !s.ok()) return s;
  ClearDriveLinks(driver->links_dir_, driver->device_dir_);
  // The mounter's own drive definitions live beside the global links, made
  // by the users who mount: like /tmp, anyone who may use the devices (the
  // group velmoran where it exists, else everyone) may add a link and only
  // its owner may remove it. The device files' own modes guard the devices.
  const std::string drives_dir = options.runtime_dir + "/DosDevices";
  std::error_code ignored;
  const uint32_t velmoran = platform::GroupId("velmoran", kNoGroup);
  if (velmoran != kNoGroup && ::chown(drives_dir.c_str(), 0, velmoran) == 0) {
    fs::permissions(drives_dir, fs::perms(01770), ignored);
  } else {
    fs::permissions(drives_dir, fs::perms(01777), ignored);
  }

  platform::FuseFilesOptions files;
  files.page_cache = options.page_cache;
  // A thread serving one device's request may wait on its server for up to
  // the reply time-out; one thread per device and one more keep every other
  // device (and the controls) answering meanwhile.
  files.threads = static_cast<int>(2 * kDevicesPerType + 1);
  for (DeviceType type : {DeviceType::kDisk, DeviceType::kCdRom}) {
    for (uint32_t n = 0; n < kDevicesPerType; ++n) {
      DeviceOptions device;
      device.transport = options.transport;
      device.links_dir = driver->links_dir_;
      device.device_path = driver->device_dir_ + "/" + DeviceName(type, n);
      device.default_cache_dir = options.default_cache_dir;
      files.names.push_back(DeviceName(type, n));
      driver->devices_.push_back(std::make_unique<DiskDevice>(type, n, std::move(device)));
    }
  }

  driver->notifier_ = std::thread([d = driver.get()] { d->Notify(); });
  auto mounted = platform::FuseFileSystem::Mount(driver->device_dir_, files, driver.get());
  if (!mounted.ok()) return mounted.status();
  driver->fs_ = std::move(mounted.value());
  driver->fs_->Start(std::move(on_lost));
  return driver;
}

Driver::~Driver() { Unload(); }

void Driver::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  // Whoever still has a mounted device open (a loop device under a file
  // system, a program) sees its requests fail from now on: say who.
  for (size_t file = 0; fs_ && file < devices_.size(); ++file) {
    const int opens = fs_->OpenCount(file);
    const DeviceState state = devices_[file]->State();
    if (!state.mounted || opens == 0) continue;
    DebugPrint("Stopping with %s still open (%d), drive %c:", devices_[file]->name().c_str(), opens,
               state.drive_letter != 0 ? state.drive_letter : '-');
  }
  // Devices first: every queued request is answered, every mounted device
  // flushed (all at once: one whose server is away holds up no other) and
  // every mount undone while the file system can still carry the answers.
  for (auto& device : devices_) device->BeginStop();
  for (auto& device : devices_) device->Stop();
  {
    std::scoped_lock lock(notify_mu_);
    notify_stop_ = true;
  }
  notify_wake_.notify_all();
  if (notifier_.joinable()) notifier_.join();
  if (fs_) fs_->Stop();
  fs_.reset();
  devices_.clear();
}

void Driver::Notify() {
  std::unique_lock lock(notify_mu_);
  for (;;) {
    notify_wake_.wait(lock, [&] { return notify_stop_ || !notify_queue_.empty(); });
    if (notify_queue_.empty()) return;
    auto task = std::move(notify_queue_.front());
    notify_queue_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

void Driver::AfterMediaChange(size_t file, std::function<void()> answer, bool unmounted) {
  bool queued = false;
  try {
    std::function<void()> task = [this, file, answer, unmounted] {
      if (options_.page_cache) fs_->Invalidate(file);
      // A stat brings the kernel's idea of the file's size up to date.
      std::error_code ignored;
      (void)fs::file_size(fs_->PathOf(file), ignored);
      answer();
      // The device gave back what it held; the request threads' buffers,
      // filled by the device's largest writes, go too.
      if (unmounted) fs_->ReleaseIdleMemory();
    };
    std::scoped_lock lock(notify_mu_);
    if (!notify_stop_) {
      notify_queue_.push_back(std::move(task));
      queued = true;
    }
  } catch (const std::bad_alloc&) {
    // The change is made: answer it, if without dropping cached pages.
  }
  if (!queued) return answer();  // unloading: nothing is cached any more
  notify_wake_.notify_one();
}

platform::FuseFileAttributes Driver::Attributes(size_t file) {
  const DiskDevice::Basics state = devices_[file]->GetBasics();
  return {state.mounted ? state.disk_size : 0, 0660, 0, disk_group_};
}

void Driver::Read(size_t file, uint64_t offset, size_t length, platform::FuseReply reply) {
  AtBoundary(reply, [&](const SharedReply& shared) {
    auto request = std::make_unique<DeviceRequest>();
    request->kind = RequestKind::kRead;
    request->offset = offset;
    request->length = static_cast<uint32_t>(length);
    request->complete = [shared](DeviceRequest& r) {
      if (!NT_SUCCESS(r.status)) return shared->Error(platform::ErrnoFromNtStatus(r.status));
      shared->Data(r.data.data(), r.information);
    };
    devices_[file]->Submit(std::move(request));
  });
}

void Driver::Write(size_t file, uint64_t offset, std::span<const uint8_t> data,
                   platform::FuseReply reply) {
  AtBoundary(reply, [&](const SharedReply& shared) {
    auto request = std::make_unique<DeviceRequest>();
    request->kind = RequestKind::kWrite;
    request->offset = offset;
    request->length = static_cast<uint32_t>(data.size());
    // The kernel's buffer is reused for the next request: keep a copy.
    request->data = devices_[file]->TakeBuffer(data.size());
    if (!data.empty() && !request->data.allocated()) return shared->Error(ENOMEM);
    if (!data.empty()) std::memcpy(request->data.data(), data.data(), data.size());
    request->complete = [shared](DeviceRequest& r) {
      if (!NT_SUCCESS(r.status)) return shared->Error(platform::ErrnoFromNtStatus(r.status));
      shared->Written(r.information);
    };
    devices_[file]->Submit(std::move(request));
  });
}

void Driver::Ioctl(size_t file, uint32_t command, std::span<const uint8_t> input,
                   size_t output_room, bool readable, bool writable, platform::FuseReply reply) {
  AtBoundary(reply, [&](const SharedReply& shared) {
    if (command != static_cast<uint32_t>(kDeviceControlIoctl)) return shared->Error(ENOTTY);
    if (input.size() < sizeof(DeviceControlBlock) || output_room < sizeof(DeviceControlBlock)) {
      return shared->Error(EINVAL);
    }
    auto request = std::make_unique<DeviceRequest>();
    request->kind = RequestKind::kControl;
    request->control = std::make_unique<DeviceControlBlock>();
    std::memcpy(request->control.get(), input.data(), sizeof(DeviceControlBlock));
    // A control code names the access it needs of the caller's handle (bits
    // 14..15: 1 read, 2 write), as the mount's read and write does.
    const uint32_t needs = (request->control->code >> 14) & 3;
    if (((needs & 1) && !readable) || ((needs & 2) && !writable)) {
      request->control->status = STATUS_ACCESS_DENIED;
      request->control->information = 0;
      return shared->Ioctl(request->control.get(), sizeof(DeviceControlBlock));
    }
    // Only here, in the requester's call, is the requester known.
    if (request->control->code == IOCTL_VDISK_MOUNT) request->caller = shared->Caller();
    request->complete = [this, file, shared](DeviceRequest& r) {
      const bool unmounted = r.control->code == IOCTL_VDISK_UNMOUNT;
      auto answer = [shared, block = std::shared_ptr<DeviceControlBlock>(std::move(r.control))] {
        shared->Ioctl(block.get(), sizeof *block);
      };
      if (r.media_changed) return AfterMediaChange(file, std::move(answer), unmounted);
      answer();
    };
    devices_[file]->Submit(std::move(request));
  });
}

void Driver::Sync(size_t file, platform::FuseReply reply) {
  AtBoundary(reply, [&](const SharedReply& shared) {
    auto request = std::make_unique<DeviceRequest>();
    request->kind = RequestKind::kSync;
    request->complete = [shared](DeviceRequest& r) {
      shared->Error(platform::ErrnoFromNtStatus(r.status));
    };
    devices_[file]->Submit(std::move(request));
  });
}

}  // namespace quensaria::driver
