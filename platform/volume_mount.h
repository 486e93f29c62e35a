// File systems on block devices: what is on a disk (libblkid), mount(2) and
// umount2(2), and where a device is mounted (the kernel's mount table).
// Mounting needs CAP_SYS_ADMIN. Any thread.
#ifndef QUENSARIA_PLATFORM_VOLUME_MOUNT_H_
#define QUENSARIA_PLATFORM_VOLUME_MOUNT_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/status.h"

namespace quensaria::platform {

// Where a file system lies on a disk: the whole disk (offset 0, size 0), or
// the first partition of its master boot record.
struct VolumeLocation {
  uint64_t offset = 0;  // bytes
  uint64_t size = 0;    // bytes; 0 = to the end
  std::string type;     // blkid's TYPE, such as "ext4" or "vfat"
  int partition = 0;    // the partition's number (its MBR entry, 1..4); 0: the whole disk
};

// The file system on `path` (a file or block device) or on its first
// partition; nothing when blkid recognises none.
std::optional<VolumeLocation> ProbeVolume(const std::string& path);

// True when this process holds CAP_SYS_ADMIN.
bool HasSysAdminCapability();

// Creates `directory` (and its parents) and mounts `device` there.
Status MountFileSystem(const std::string& device, const std::string& directory,
                       const std::string& type, bool read_only);
// umount2; a file system in use is ERROR_BUSY and stays mounted. The
// directory is removed afterwards when empty.
Status UnmountFileSystem(const std::string& directory);

// The kernel's device for partition `number` of the whole disk `disk`
// ("/dev/ublkb0", 1 -> "/dev/ublkb0p1"), from sysfs; empty when the kernel
// has none.
std::string PartitionDevice(const std::string& disk, int number);
// The whole disk `disk` and the devices of its partitions.
std::vector<std::string> DiskAndPartitions(const std::string& disk);
// True when block device `device` takes no writes (BLKROGET).
bool IsReadOnlyDevice(const std::string& device);

// The first mount point of block device `device` (major:minor), or empty.
std::string MountPointOf(dev_t device);
// True when `directory` is a mount point.
bool IsMountPoint(const std::string& directory);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_VOLUME_MOUNT_H_
