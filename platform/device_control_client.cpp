#include "platform/device_control_client.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/errors.h"
#include "shared/device_control.h"

namespace quensaria::platform {

Result<DeviceControlClient> DeviceControlClient::Open(const std::string& path, bool write) {
  // The path may be a link anyone who uses the devices made: a pipe or a
  // terminal there must not hold the caller, a device node is not even
  // opened (opening some does something), and no control goes to what is not
  // a device file (those are plain files).
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ErrnoStatus("open " + path, errno);
  if (!S_ISREG(st.st_mode)) return ErrnoStatus("open " + path + ": not a device file", ENODEV);
  UniqueFd fd(
      ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return ErrnoStatus("open " + path, errno);
  // What the name led to may have changed since.
  if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("stat " + path, errno);
  if (!S_ISREG(st.st_mode)) return ErrnoStatus("open " + path + ": not a device file", ENODEV);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return ErrnoStatus("fcntl " + path, errno);
  }
  return DeviceControlClient(std::move(fd));
}

NtStatus DeviceControlClient::Control(uint32_t code, std::span<const uint8_t> input,
                                      std::span<uint8_t> output, uint32_t* information) {
  if (information != nullptr) *information = 0;
  auto block = std::make_unique<DeviceControlBlock>();
  if (input.size() > sizeof block->buffer || output.size() > sizeof block->buffer) {
    return STATUS_INVALID_PARAMETER;
  }
  std::memset(block.get(), 0, sizeof *block);
  block->code = code;
  block->inputLength = static_cast<uint32_t>(input.size());
  block->outputLength = static_cast<uint32_t>(output.size());
  if (!input.empty()) std::memcpy(block->buffer, input.data(), input.size());
  // A mount's input holds a password digest: the freed heap keeps none.
  struct Wipe {
    DeviceControlBlock* block;
    ~Wipe() { explicit_bzero(block, sizeof *block); }
  } wipe{block.get()};
  if (::ioctl(fd_.get(), kDeviceControlIoctl, block.get()) != 0) return NtStatusFromErrno(errno);
  if (information != nullptr) *information = block->information;
  const size_t answered = std::min<size_t>(block->information, output.size());
  if (!output.empty()) std::memcpy(output.data(), block->buffer, answered);
  return block->status;
}

NtStatus DeviceControlClient::Mount(const MountRecord& record) {
  return Control(IOCTL_VDISK_MOUNT, {reinterpret_cast<const uint8_t*>(&record), sizeof record}, {});
}

NtStatus DeviceControlClient::Unmount() { return Control(IOCTL_VDISK_UNMOUNT, {}, {}); }

NtStatus DeviceControlClient::Query(MountRecord* record) {
  std::memset(record, 0, sizeof *record);
  return Control(IOCTL_VDISK_QUERY, {}, {reinterpret_cast<uint8_t*>(record), sizeof *record});
}

NtStatus DeviceControlClient::QueryBlockDevice(std::string* path) {
  path->clear();
  uint8_t output[256];
  uint32_t information = 0;
  const NtStatus status = Control(IOCTL_VDISK_QUERY_BLOCK_DEVICE, {}, output, &information);
  // A driver without block devices does not know the request.
  if (status == STATUS_INVALID_DEVICE_REQUEST) return STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    path->assign(reinterpret_cast<const char*>(output),
                 std::min<size_t>(information, sizeof output));
  }
  return status;
}

}  // namespace quensaria::platform
