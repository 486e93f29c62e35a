// Device-control requests of the Velmoran devices. A caller fills a
// DeviceControlBlock and issues the one Linux ioctl kDeviceControlIoctl on a
// device file; the driver answers with an NT status and an information count
// (bytes of output, or the request's own meaning). Control codes are the
// system's own numbers. Driver, client library and mounter share this file.
#ifndef QUENSARIA_SHARED_DEVICE_CONTROL_H_
#define QUENSARIA_SHARED_DEVICE_CONTROL_H_

#include <cstddef>
#include <cstdint>

namespace quensaria {

struct DeviceControlBlock {
  uint32_t code;          // control code, in
  uint32_t inputLength;   // bytes of input in buffer, in
  uint32_t outputLength;  // room for output in buffer, in
  uint32_t status;        // NT status, out
  uint32_t information;   // information count, out
  uint8_t buffer[4096];   // input in, output out
};
static_assert(sizeof(DeviceControlBlock) == 4116);

// _IOWR('V', 1, DeviceControlBlock), spelled out so that this header needs no
// system header: direction read|write (3) << 30, size << 16, type << 8, number.
inline constexpr unsigned long kDeviceControlIoctl =
    (3ul << 30) | (static_cast<unsigned long>(sizeof(DeviceControlBlock)) << 16) |
    (static_cast<unsigned long>('V') << 8) | 1ul;

// The driver's own requests (METHOD_BUFFERED, device type 0x8002).
inline constexpr uint32_t IOCTL_VDISK_MOUNT = 0x8002C000;
inline constexpr uint32_t IOCTL_VDISK_UNMOUNT = 0x8002C004;
inline constexpr uint32_t IOCTL_VDISK_QUERY = 0x80024008;
// Function 3, read access: the block device (/dev/ublkbN) that a mounted
// device is also served as, its path in the output (no NUL; information = its
// length, 0 when the device has none).
inline constexpr uint32_t IOCTL_VDISK_QUERY_BLOCK_DEVICE = 0x8002400C;

// Disk, CD-ROM and storage requests answered by every device.
inline constexpr uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
inline constexpr uint32_t IOCTL_CDROM_GET_DRIVE_GEOMETRY = 0x2404C;
inline constexpr uint32_t IOCTL_DISK_GET_LENGTH_INFO = 0x7405C;
inline constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO = 0x74004;
inline constexpr uint32_t IOCTL_DISK_GET_PARTITION_INFO_EX = 0x70048;
inline constexpr uint32_t IOCTL_DISK_SET_PARTITION_INFO = 0x7C008;
inline constexpr uint32_t IOCTL_DISK_IS_WRITABLE = 0x70024;
inline constexpr uint32_t IOCTL_DISK_VERIFY = 0x70014;
inline constexpr uint32_t IOCTL_DISK_PERFORMANCE = 0x70020;
inline constexpr uint32_t IOCTL_DISK_CHECK_VERIFY = 0x74800;
inline constexpr uint32_t IOCTL_DISK_MEDIA_REMOVAL = 0x74804;
inline constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY2 = 0x2D0800;
inline constexpr uint32_t IOCTL_STORAGE_CHECK_VERIFY = 0x2D4800;
inline constexpr uint32_t IOCTL_STORAGE_MEDIA_REMOVAL = 0x2D4804;
inline constexpr uint32_t IOCTL_CDROM_CHECK_VERIFY = 0x24800;
inline constexpr uint32_t IOCTL_CDROM_READ_TOC = 0x24000;

// Output record sizes of the disk requests.
inline constexpr uint32_t kDiskGeometrySize = 24;
inline constexpr uint32_t kPartitionInformationSize = 32;
inline constexpr uint32_t kPartitionInformationExSize = 144;
inline constexpr uint32_t kVerifyInformationSize = 16;
inline constexpr uint32_t kDiskPerformanceSize = 88;
inline constexpr uint32_t kCdromTocSize = 804;

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_DEVICE_CONTROL_H_
