// Volumes: Linux's part of a drive, the file system on a mounted device.
// After the driver has mounted a device, Attach mounts the file system blkid
// recognises on the disk or its first partition: on the block device the
// driver serves the disk as (/dev/ublkbN and its partitions, where the
// kernel has ublk), else on a loop device (direct I/O) it puts over the
// device file. Detach undoes it. Two ways: as root (or with CAP_SYS_ADMIN)
// the mounter does it itself (RootVolumes); as a desktop user UDisks2 does
// it (UDisks2Volumes). Every call leaves nothing behind when it fails.
// Called from the flow's thread.
#ifndef QUENSARIA_MOUNTER_VOLUMES_H_
#define QUENSARIA_MOUNTER_VOLUMES_H_

#include <QString>
#include <cstdint>
#include <memory>

#include "shared/status.h"

namespace quensaria::mounter {

// The mounted device a drive's volume lives on.
struct DriveDisk {
  QString deviceFile;   // the driver's device file
  QString blockDevice;  // "/dev/ublkbN" where the driver serves one, else empty
};

// The mount point of the file system on `disk`'s block device or one of its
// partitions, or on the loop device over its device file, read from the
// kernel's tables; empty when there is none. Works for volumes made either
// way.
QString VolumeMountPoint(const DriveDisk& disk);

class Volumes {
 public:
  virtual ~Volumes() = default;

  // Attaches drive `letter`'s volume on `disk` (already mounted by the
  // driver). A disk without a recognised file system gets the loop device
  // only (or nothing, on a block device). Ok, or a Win32 error with nothing
  // left attached; its message is one sentence for the user when the cause
  // is a missing privilege or service, else empty.
  virtual Status Attach(char letter, const DriveDisk& disk) = 0;

  // Unmounts the file system and detaches the loop device over the device
  // file. A file system in use is ERROR_BUSY (170) and stays mounted; a
  // drive without a volume is Ok (one whose volume the kernel still shows,
  // but that cannot be undone, is not). Its failures have no message.
  virtual Status Detach(char letter, const DriveDisk& disk) = 0;

  // Where the file system on `disk` is mounted (VolumeMountPoint), or empty.
  virtual QString MountPoint(const DriveDisk& disk) const { return VolumeMountPoint(disk); }
};

// The loop device over `device_file` ("/dev/loop3"), or empty: where a
// drive without a mounted file system is.
QString VolumeLoopDevice(const QString& device_file);

// "/media/velmoran/X", where RootVolumes mounts drive X.
QString RootMountPoint(char letter, const QString& media_dir = QStringLiteral("/media/velmoran"));

// The way this process can take: RootVolumes with CAP_SYS_ADMIN, otherwise
// UDisks2Volumes on the system bus.
std::unique_ptr<Volumes> CreateVolumes();

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_VOLUMES_H_
