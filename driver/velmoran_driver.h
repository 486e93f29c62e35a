// Driver: the Velmoran driver as a whole. Load creates the sixteen devices
// (disks VelmoranEx0..7, CD-ROMs VelmoranExCd0..7), each with its worker,
// and serves them as the files of a FUSE file system at
// RUNTIME/Device/VelmoranEx (mode 0660, owner root, group velmoran where that
// group exists, else disk; a file's size
// is its disk size while mounted, 0 while empty). open, read, write, fsync and
// the kDeviceControlIoctl ioctl on a file are that device's requests. Mounted
// drives get a link RUNTIME/DosDevices/Global/X: to their device file.
//
// Where the kernel has ublk (and the options allow it), a mounted device is
// also a block device /dev/ublkbN (UblkDisk), made before the mount is
// answered and named by IOCTL_VDISK_QUERY_BLOCK_DEVICE. An unmount is refused
// with STATUS_DEVICE_BUSY while that block device is in use (a file system
// mounted on it or a partition, a process holding it open); otherwise the
// block device goes first, then the mount.
//
// Unload logs the mounted devices still open (device files and block
// devices), removes the block devices, in use or not, all at once (the
// kernel first writes back what it holds for them), then flushes and
// unmounts every device (connections closed, links removed), then stops
// the workers and the file system. A Load after a crash clears the dead FUSE mount, the
// links and the block devices the crashed driver left. One driver per
// runtime directory: a second Load there fails with
// ERROR_SERVICE_ALREADY_RUNNING.
#ifndef QUENSARIA_DRIVER_VELMORAN_DRIVER_H_
#define QUENSARIA_DRIVER_VELMORAN_DRIVER_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/disk_device.h"
#include "driver/ublk_disk.h"
#include "platform/fuse_files.h"
#include "platform/unique_fd.h"
#include "shared/driver_layout.h"
#include "shared/status.h"

namespace quensaria::driver {

struct DriverOptions {
  std::string runtime_dir = kDefaultDriverRuntimeDir;
  // Serve the device files through the kernel's page cache (invalidated at
  // every mount and unmount) instead of with direct I/O.
  bool page_cache = false;
  TransportOptions transport;
  std::string default_cache_dir = "/tmp";
  // Serve mounted devices as block devices too, where the kernel has ublk.
  bool block_devices = true;
};

class Driver final : public platform::FuseFileHandler {
 public:
  static constexpr uint32_t kDevicesPerType = 8;

  // `on_lost` runs (on another thread) if the file system is unmounted
  // from outside while the driver runs.
  static Result<std::unique_ptr<Driver>> Load(const DriverOptions& options,
                                              std::function<void()> on_lost = {});
  ~Driver() override;
  void Unload();

  // Runs `task` on the notifier thread, as a block device's making does
  // (the kernel reads its partition table there), for tests without ublk.
  void RunInOrderForTesting(std::function<void()> task) { RunInOrder(std::move(task)); }

  const std::string& device_dir() const { return device_dir_; }
  const std::string& links_dir() const { return links_dir_; }

  // The file system's requests, from its request thread.
  platform::FuseFileAttributes Attributes(size_t file) override;
  void Read(size_t file, uint64_t offset, size_t length, platform::FuseReply reply) override;
  void Write(size_t file, uint64_t offset, std::span<const uint8_t> data,
             platform::FuseReply reply) override;
  void Ioctl(size_t file, uint32_t command, std::span<const uint8_t> input, size_t output_room,
             bool readable, bool writable, platform::FuseReply reply) override;
  void Sync(size_t file, platform::FuseReply reply) override;

 private:
  explicit Driver(const DriverOptions& options);
  // Answers a mount or unmount after the kernel's view of the file has been
  // brought up to date, on a thread of its own: dropping cached pages may
  // wait for reads that only the device's worker can answer.
  // After a mount its block device is made first (where ublk is); after an
  // unmount the request threads give back their buffers.
  enum class MediaChange { kMounted, kUnmounted };
  void AfterMediaChange(size_t file, std::function<void()> answer, MediaChange change);
  // Runs `task` on the notifier thread, in order with the answers above; at
  // once when the driver is unloading.
  void RunInOrder(std::function<void()> task);
  void Notify();

  // The block devices (where ublk is), on the notifier thread.
  void AddBlockDisk(size_t file);
  // The unmount of a device with a block device: refused while it is in
  // use, else the block device goes, then the request is submitted.
  void UnmountWithBlockDisk(size_t file, std::unique_ptr<DeviceRequest> request);
  void AnswerBlockDeviceQuery(size_t file, DeviceControlBlock* block);

  DriverOptions options_;
  std::string device_dir_;
  std::string links_dir_;
  uint32_t disk_group_ = 6;
  platform::UniqueFd lock_;
  std::vector<std::unique_ptr<DiskDevice>> devices_;
  std::unique_ptr<platform::FuseFileSystem> fs_;

  std::mutex notify_mu_;
  std::condition_variable notify_wake_;
  std::deque<std::function<void()>> notify_queue_;  // guarded by notify_mu_
  bool notify_stop_ = false;                        // guarded by notify_mu_
  std::thread notifier_;
  bool unloaded_ = false;

  bool use_block_devices_ = false;
  // Marks this driver's block devices (its runtime directory's).
  uint64_t block_owner_ = 0;
  std::mutex block_mu_;
  std::vector<std::unique_ptr<UblkDisk>> block_disks_;  // per file; guarded by block_mu_
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_VELMORAN_DRIVER_H_
