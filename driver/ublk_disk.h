// UblkDisk: a mounted device served also as a real block device, where the
// kernel has ublk: /dev/ublkbN with the device's size (whole sectors) and
// read-only flag, partitions scanned. Its reads, writes and flushes become
// the device's own requests (a flush its sync, as an fsync of the device
// file: CMD_FLUSH for a full-access network disk, fdatasync for an image
// file; a failed one is the flush's I/O error), so access levels, virtual
// write, reconnects and the device's order hold for it as for the device
// file. The driver makes one after a mount and removes it before the
// unmount; the device must stay mounted in between.
#ifndef QUENSARIA_DRIVER_UBLK_DISK_H_
#define QUENSARIA_DRIVER_UBLK_DISK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "driver/disk_device.h"
#include "platform/ublk_device.h"
#include "shared/status.h"

namespace quensaria::driver {

class UblkDisk final : public platform::UblkHandler {
 public:
  // `owner` marks the block device as this driver's (UblkDevice::RemoveStale).
  // REQUIRES: `device` is mounted and outlives the disk.
  static Result<std::unique_ptr<UblkDisk>> Create(DiskDevice* device, uint64_t owner);
  ~UblkDisk() override = default;  // the block device is removed

  // "/dev/ublkbN".
  std::string path() const { return ublk_->path(); }
  // Why the block device cannot go now (mounted, open), or empty.
  std::string Use() const;
  // Waits for the requests in flight and deletes the block device.
  Status Remove() { return ublk_->Remove(); }

  void Serve(platform::UblkDevice& ublk, const platform::UblkRequest& request) override;

 private:
  explicit UblkDisk(DiskDevice* device) : device_(device) {}

  DiskDevice* device_;
  std::unique_ptr<platform::UblkDevice> ublk_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_UBLK_DISK_H_
