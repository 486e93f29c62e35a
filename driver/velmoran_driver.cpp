#include "driver/velmoran_driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include "driver/debug_print.h"
#include "driver/drive_links.h"
#include "driver/side_by_side.h"
#include "platform/errors.h"
#include "platform/instance_lock.h"
#include "platform/page_memory.h"
#include "platform/thread_identity.h"
#include "platform/unique_fd.h"
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
    DebugPrint("FUSE request: out of memory");
    error = ENOMEM;
  } catch (const std::exception& e) {
    DebugPrint("FUSE request: %s", e.what());
    error = EIO;
  } catch (...) {
    DebugPrint("FUSE request: unknown exception");
    error = EIO;
  }
  // make_shared had not moved the reply when it could not allocate.
  if (shared) {
    shared->Error(error);
  } else {
    reply.Error(error);
  }
}

// The mark of this runtime directory's block devices: a stopped or crashed
// driver's are recognised and removed by the next one.
uint64_t BlockOwnerMark(const std::string& runtime_dir) {
  std::error_code ignored;
  const std::string text = "velmoran " + fs::weakly_canonical(runtime_dir, ignored).string();
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
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
      device_dir_(DeviceDir(options.runtime_dir)),
      links_dir_(GlobalDriveLinksDir(options.runtime_dir)),
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

  // What a driver that died left behind: its dead mount, its links and its
  // block devices.
  if (Status s = platform::FuseFileSystem::ClearStaleMount(driver->device_dir_); !s.ok()) return s;
  driver->use_block_devices_ = options.block_devices && platform::UblkDevice::Available();
  driver->block_owner_ = BlockOwnerMark(options.runtime_dir);
  driver->block_disks_.resize(2 * kDevicesPerType);
  if (driver->use_block_devices_) {
    const int stale = platform::UblkDevice::RemoveStale(driver->block_owner_);
    if (stale > 0) DebugPrint("Removed %d block devices of an earlier driver", stale);
  }
  if (Status s = MakeDirectory(driver->device_dir_); !s.ok()) return s;
  if (Status s = MakeDirectory(driver->links_dir_); !s.ok()) return s;
  ClearDriveLinks(driver->links_dir_, driver->device_dir_);
  // The mounter's own drive definitions live beside the global links, made
  // by the users who mount: like /tmp, anyone who may use the devices (the
  // group velmoran where it exists, else everyone) may add a link and only
  // its owner may remove it. The device files' own modes guard the devices.
  // Through the folder itself: in a runtime directory others could write to,
  // a link in its place would hand that owner and mode to whatever it names.
  const std::string drives_dir = DriveDefinitionsDir(options.runtime_dir);
  const uint32_t velmoran = platform::GroupId("velmoran", kNoGroup);
  platform::UniqueFd drives(
      ::open(drives_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!drives) {
    DebugPrint("%s is not a folder of its own: its owner and mode stay", drives_dir.c_str());
  } else {
    const bool grouped = velmoran != kNoGroup && ::fchown(drives.get(), 0, velmoran) == 0;
    if (::fchmod(drives.get(), grouped ? 01770 : 01777) != 0) {
      // It keeps its old mode: users may not be able to add their drives.
      DebugPrint("%s: its mode could not be set: %s", drives_dir.c_str(), std::strerror(errno));
    }
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
  // First: the notifier's task waited for below may be a block device's
  // making, whose reads wait on a server that is away. No mount lowers it
  // again: one begun now is refused.
  for (auto& device : devices_) device->RefuseMounts();
  {
    std::scoped_lock lock(notify_mu_);
    notify_stop_ = true;
  }
  notify_wake_.notify_all();
  if (notifier_.joinable()) notifier_.join();
  std::vector<std::unique_ptr<UblkDisk>> disks;
  {
    // Their places stay: a query may still come.
    std::scoped_lock lock(block_mu_);
    for (auto& disk : block_disks_) disks.push_back(std::move(disk));
  }
  // Whoever still has a mounted device open (a loop device under a file
  // system, a program, a file system on its block device) sees its
  // requests fail from now on: say who.
  for (size_t file = 0; fs_ && file < devices_.size(); ++file) {
    const int opens = fs_->OpenCount(file);
    const DeviceState state = devices_[file]->State();
    if (!state.mounted || opens == 0) continue;
    DebugPrint("Stopping with %s still open (%d), drive %c:", devices_[file]->name().c_str(), opens,
               state.drive_letter != 0 ? state.drive_letter : '-');
  }
  for (const auto& disk : disks) {
    if (!disk) continue;
    try {
      const std::string use = disk->Use();
      if (!use.empty()) DebugPrint("Stopping with %s", use.c_str());
    } catch (const std::bad_alloc&) {
      // Not said; it goes all the same.
    }
  }
  // The block devices go first: the kernel writes back what it holds for
  // them and waits for their requests in flight, which still reach mounted
  // devices (a server that is away gets one attempt). All at once, as the
  // devices' flushes below: each may wait for a silent server.
  std::vector<std::function<void()>> removals;
  try {
    for (auto& disk : disks) {
      if (!disk) continue;
      removals.push_back([d = disk.get()] {
        try {
          if (!d->Remove().ok()) DebugPrint("Block device %s not removed", d->path().c_str());
        } catch (const std::exception&) {
          // Not said: no memory to say it with.
        }
      });
    }
  } catch (const std::bad_alloc&) {
    // Those not listed go one after the other as the list is cleared.
  }
  RunSideBySide(removals);
  disks.clear();
  // Then the devices: every queued request is answered, every mounted
  // device flushed (all at once: one whose server is away holds up no
  // other), so writes through the block devices too, and every mount undone
  // while the file system can still carry the answers.
  for (auto& device : devices_) device->BeginStop();
  for (auto& device : devices_) device->Stop();
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

void Driver::AfterMediaChange(size_t file, std::function<void()> answer, MediaChange change) {
  bool queued = false;
  try {
    std::function<void()> task = [this, file, answer, change] {
      if (options_.page_cache) fs_->Invalidate(file);
      // A stat brings the kernel's idea of the file's size up to date.
      std::error_code ignored;
      (void)fs::file_size(fs_->PathOf(file), ignored);
      // A mount is answered once its block device exists.
      if (change == MediaChange::kMounted && use_block_devices_) AddBlockDisk(file);
      answer();
      // The device gave back what it held; the request threads' buffers,
      // filled by the device's largest writes, go too.
      if (change == MediaChange::kUnmounted) fs_->ReleaseIdleMemory();
    };
    std::scoped_lock lock(notify_mu_);
    if (!notify_stop_) {
      notify_queue_.push_back(std::move(task));
      queued = true;
    }
  } catch (const std::bad_alloc&) {
    // The change is made: answer it, if without dropping cached pages (or
    // a block device: the device file serves the disk).
  }
  if (!queued) return answer();  // unloading: nothing is cached any more
  notify_wake_.notify_one();
}

void Driver::RunInOrder(std::function<void()> task) {
  {
    std::scoped_lock lock(notify_mu_);
    if (!notify_stop_) {
      notify_queue_.push_back(std::move(task));
      notify_wake_.notify_one();
      return;
    }
  }
  task();
}

void Driver::AddBlockDisk(size_t file) {
  {
    std::scoped_lock lock(notify_mu_);
    if (notify_stop_) return;  // unloading
  }
  DiskDevice& device = *devices_[file];
  if (!device.GetBasics().mounted) return;
  // Without one the device file still serves the disk.
  try {
    auto disk = UblkDisk::Create(&device, block_owner_);
    if (!disk.ok()) {
      DebugPrint("No block device for %s: %s", device.name().c_str(),
                 disk.status().ToString().c_str());
      return;
    }
    DebugPrint("%s is %s", device.name().c_str(), disk.value()->path().c_str());
    std::scoped_lock lock(block_mu_);
    block_disks_[file] = std::move(disk.value());
  } catch (const std::exception& e) {
    DebugPrint("No block device for %s: %s", device.name().c_str(), e.what());
  }
}

void Driver::UnmountWithBlockDisk(size_t file, std::unique_ptr<DeviceRequest> request) {
  std::unique_ptr<UblkDisk> disk;
  {
    std::scoped_lock lock(block_mu_);
    disk = std::move(block_disks_[file]);
  }
  if (disk) {
    NtStatus refusal = STATUS_SUCCESS;
    try {
      const std::string use = disk->Use();
      if (!use.empty()) {
        DebugPrint("Unmount of %s refused: %s", devices_[file]->name().c_str(), use.c_str());
        refusal = STATUS_DEVICE_BUSY;
      }
    } catch (const std::bad_alloc&) {
      // Unknown users: the block device stays.
      refusal = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (refusal != STATUS_SUCCESS) {
      {
        std::scoped_lock lock(block_mu_);
        block_disks_[file] = std::move(disk);
      }
      request->status = request->control->status = refusal;
      request->information = request->control->information = 0;
      auto complete = std::exchange(request->complete, nullptr);
      return complete(*request);
    }
    // Its requests in flight end before it goes; none waits long for a
    // server that is gone.
    devices_[file]->GiveUpReconnects();
    if (Status s = disk->Remove(); !s.ok()) {
      DebugPrint("Block device %s: %s", disk->path().c_str(), s.ToString().c_str());
    }
  }
  devices_[file]->Submit(std::move(request));
}

void Driver::AnswerBlockDeviceQuery(size_t file, DeviceControlBlock* block) {
  block->information = 0;
  if (!devices_[file]->GetBasics().mounted) {
    block->status = STATUS_NO_MEDIA_IN_DEVICE;
    return;
  }
  std::string path;
  {
    std::scoped_lock lock(block_mu_);
    if (block_disks_[file]) path = block_disks_[file]->path();
  }
  if (path.size() > block->outputLength) {
    block->status = STATUS_BUFFER_TOO_SMALL;
    return;
  }
  std::memcpy(block->buffer, path.data(), path.size());
  block->status = STATUS_SUCCESS;
  block->information = static_cast<uint32_t>(path.size());
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
    // The kernel's buffer is reused for the next request once this call
    // returns: lent, so the device copies it only if the write must wait.
    request->buffer = const_cast<uint8_t*>(data.data());
    request->lent = true;
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
    const uint32_t code = request->control->code;
    if (code == IOCTL_VDISK_QUERY_BLOCK_DEVICE) {
      AnswerBlockDeviceQuery(file, request->control.get());
      return shared->Ioctl(request->control.get(), sizeof(DeviceControlBlock));
    }
    // Only here, in the requester's call, is the requester known.
    if (code == IOCTL_VDISK_MOUNT) request->caller = shared->Caller();
    request->complete = [this, file, code, shared](DeviceRequest& r) {
      auto answer = [shared, block = std::shared_ptr<DeviceControlBlock>(std::move(r.control))] {
        shared->Ioctl(block.get(), sizeof *block);
      };
      if (!r.media_changed) return answer();
      AfterMediaChange(file, std::move(answer),
                       code == IOCTL_VDISK_MOUNT ? MediaChange::kMounted : MediaChange::kUnmounted);
    };
    if (code == IOCTL_VDISK_UNMOUNT && use_block_devices_) {
      // In order with the mounts' block devices still being made.
      auto held = std::make_shared<std::unique_ptr<DeviceRequest>>(std::move(request));
      return RunInOrder([this, file, held] { UnmountWithBlockDisk(file, std::move(*held)); });
    }
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
