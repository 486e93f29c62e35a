#include "driver/disk_controls.h"

#include <cstring>

#include "shared/bytes.h"
#include "shared/nt_status.h"
#include "shared/sector.h"

namespace quensaria::driver {
namespace {

constexpr uint32_t kFixedMedia = 12;
constexpr uint32_t kTracksPerCylinder = 2;
constexpr uint32_t kSectorsPerTrack = 32;
constexpr uint32_t kHiddenSectors = 1;

void Answer(DeviceControlBlock* block, NtStatus status, uint32_t information = 0) {
  block->status = status;
  block->information = information;
}

// Clears `size` bytes of output and returns them, or answers the buffer
// check's failure and returns null.
uint8_t* Output(DeviceControlBlock* block, uint32_t size,
                NtStatus too_small = STATUS_BUFFER_TOO_SMALL) {
  if (block->outputLength < size) {
    Answer(block, too_small);
    return nullptr;
  }
  std::memset(block->buffer, 0, size);
  return block->buffer;
}

void DriveGeometry(const DiskControlState& state, DeviceControlBlock* block) {
  uint8_t* out = Output(block, kDiskGeometrySize);
  if (out == nullptr) return;
  StoreLe64(out + 0, state.disk_size >> 15);  // 2 tracks x 32 sectors x 512 bytes
  StoreLe32(out + 8, kFixedMedia);
  StoreLe32(out + 12, kTracksPerCylinder);
  StoreLe32(out + 16, kSectorsPerTrack);
  StoreLe32(out + 20, static_cast<uint32_t>(kSectorSize));
  Answer(block, STATUS_SUCCESS, kDiskGeometrySize);
}

void LengthInfo(const DiskControlState& state, DeviceControlBlock* block) {
  uint8_t* out = Output(block, 8);
  if (out == nullptr) return;
  StoreLe64(out, state.disk_size);
  Answer(block, STATUS_SUCCESS, 8);
}

// PARTITION_INFORMATION: starting offset, length, hidden sectors, number,
// type, boot indicator, recognized, rewrite.
void PartitionInfo(const DiskControlState& state, DeviceControlBlock* block) {
  uint8_t* out = Output(block, kPartitionInformationSize);
  if (out == nullptr) return;
  StoreLe64(out + 8, state.disk_size);
  StoreLe32(out + 16, kHiddenSectors);
  Answer(block, STATUS_SUCCESS, kPartitionInformationSize);
}

// PARTITION_INFORMATION_EX: style (MBR), starting offset, length, number,
// rewrite, then the MBR part at 32: type, boot indicator, recognized, hidden
// sectors at 36.
void PartitionInfoEx(const DiskControlState& state, DeviceControlBlock* block) {
  uint8_t* out = Output(block, kPartitionInformationExSize);
  if (out == nullptr) return;
  StoreLe64(out + 16, state.disk_size);
  StoreLe32(out + 36, kHiddenSectors);
  Answer(block, STATUS_SUCCESS, kPartitionInformationExSize);
}

void SetPartitionInfo(const DiskControlState& state, DeviceControlBlock* block) {
  if (state.read_only) return Answer(block, STATUS_MEDIA_WRITE_PROTECTED);
  if (block->inputLength < 1) return Answer(block, STATUS_INVALID_PARAMETER);
  Answer(block, STATUS_SUCCESS);
}

// VERIFY_INFORMATION: starting offset (8 bytes), then the length to verify.
void Verify(DeviceControlBlock* block) {
  if (block->inputLength < kVerifyInformationSize) return Answer(block, STATUS_INVALID_PARAMETER);
  Answer(block, STATUS_SUCCESS, LoadLe32(block->buffer + 8));
}

// CDROM_TOC: length (2), first track, last track, then 100 track records of
// 8 bytes; track 1 is a data track (control nibble 4 in its second byte).
void ReadToc(DeviceControlBlock* block) {
  uint8_t* out = Output(block, kCdromTocSize);
  if (out == nullptr) return;
  out[2] = 1;
  out[3] = 1;
  out[4 + 1] = 0x04;
  Answer(block, STATUS_SUCCESS, kCdromTocSize);
}

}  // namespace

void AnswerDiskControl(const DiskControlState& state, DeviceControlBlock* block) {
  switch (block->code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
      return DriveGeometry(state, block);
    case IOCTL_DISK_GET_LENGTH_INFO:
      return LengthInfo(state, block);
    case IOCTL_DISK_GET_PARTITION_INFO:
      return PartitionInfo(state, block);
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      return PartitionInfoEx(state, block);
    case IOCTL_DISK_SET_PARTITION_INFO:
      return SetPartitionInfo(state, block);
    case IOCTL_DISK_IS_WRITABLE:
      return Answer(block, state.read_only ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS);
    case IOCTL_DISK_VERIFY:
      return Verify(block);
    case IOCTL_DISK_PERFORMANCE:
      if (Output(block, kDiskPerformanceSize, STATUS_INVALID_PARAMETER) == nullptr) return;
      return Answer(block, STATUS_SUCCESS, kDiskPerformanceSize);
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
    case IOCTL_CDROM_CHECK_VERIFY:
      return Answer(block, STATUS_SUCCESS);
    case IOCTL_CDROM_READ_TOC:
      return ReadToc(block);
    default:
      return Answer(block, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace quensaria::driver
