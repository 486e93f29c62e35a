// DeviceControlClient: the caller's side of a Velmoran device's controls. It
// opens a device file (or a drive-letter link to one) and sends requests
// through the one ioctl kDeviceControlIoctl. Opening reports a Win32 error
// (Status); every request reports the driver's NT status, and an ioctl the
// kernel refuses (not a Velmoran device file) its errno as an NT status.
// Used by the mounter and by velmoran-ctl; one object per thread.
#ifndef QUENSARIA_PLATFORM_DEVICE_CONTROL_CLIENT_H_
#define QUENSARIA_PLATFORM_DEVICE_CONTROL_CLIENT_H_

#include <cstdint>
#include <span>
#include <string>

#include "platform/unique_fd.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"
#include "shared/status.h"

namespace quensaria::platform {

class DeviceControlClient {
 public:
  // Opens `path` read-write, or read-only when `write` is false (enough for
  // the query).
  static Result<DeviceControlClient> Open(const std::string& path, bool write = true);

  // Sends `code` with `input`; up to output.size() bytes of the answer are
  // copied to `output`, and the driver's information count to *information
  // (may be null). Inputs and outputs are limited to the block's 4096 bytes:
  // a longer one is STATUS_INVALID_PARAMETER without a request.
  NtStatus Control(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                   uint32_t* information = nullptr);

  NtStatus Mount(const MountRecord& record);
  NtStatus Unmount();
  NtStatus Query(MountRecord* record);
  // The block device the mounted device is also served as ("/dev/ublkb0"),
  // or empty when it has none (or the driver offers none).
  NtStatus QueryBlockDevice(std::string* path);

  int fd() const { return fd_.get(); }

 private:
  explicit DeviceControlClient(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_DEVICE_CONTROL_CLIENT_H_
