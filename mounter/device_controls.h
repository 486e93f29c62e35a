// DeviceControls: how MountManager reaches the Velmoran driver: it opens a
// device file (or a drive-letter link to one) and sends the mount, unmount
// and query controls on it. The program's are the driver's own
// (DriverDeviceControls, through platform::DeviceControlClient); tests
// answer them in memory. Opening reports a Win32 error, each control the
// driver's NT status. One opened device per thread.
#ifndef QUENSARIA_MOUNTER_DEVICE_CONTROLS_H_
#define QUENSARIA_MOUNTER_DEVICE_CONTROLS_H_

#include <memory>
#include <string>

#include "shared/mount_record.h"
#include "shared/nt_status.h"
#include "shared/status.h"

namespace quensaria::mounter {

class DeviceControl {
 public:
  virtual ~DeviceControl() = default;
  virtual NtStatus Mount(const MountRecord& record) = 0;
  virtual NtStatus Unmount() = 0;
  virtual NtStatus Query(MountRecord* record) = 0;
  // The block device the mounted device is also served as, or empty.
  virtual NtStatus QueryBlockDevice(std::string* path) = 0;
};

class DeviceControls {
 public:
  virtual ~DeviceControls() = default;
  // Opens `path` read-write, or read-only (enough for the query).
  virtual Result<std::unique_ptr<DeviceControl>> Open(const std::string& path, bool write) = 0;
};

// The driver's devices; lives as long as the program.
DeviceControls& DriverDeviceControls();

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_DEVICE_CONTROLS_H_
