// The standard disk, CD-ROM and storage device controls that every device
// answers at once, from its disk size and read-only flag alone: a fixed disk
// of 512-byte sectors that is its own single partition. The driver's own
// controls (mount, unmount, query) are not answered here.
#ifndef QUENSARIA_DRIVER_DISK_CONTROLS_H_
#define QUENSARIA_DRIVER_DISK_CONTROLS_H_

#include <cstdint>

#include "shared/device_control.h"

namespace quensaria::driver {

struct DiskControlState {
  uint64_t disk_size = 0;
  bool read_only = false;
};

// Sets block->status, block->information and the output in block->buffer.
// Codes not in the table answer STATUS_INVALID_DEVICE_REQUEST.
// REQUIRES: inputLength and outputLength are at most sizeof block->buffer.
void AnswerDiskControl(const DiskControlState& state, DeviceControlBlock* block);

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_DISK_CONTROLS_H_
