// Loop devices over files, made with the kernel's ioctls (no losetup): the
// block device that carries a drive's file system. Needs CAP_SYS_ADMIN.
// Any thread.
#ifndef QUENSARIA_PLATFORM_LOOP_DEVICE_H_
#define QUENSARIA_PLATFORM_LOOP_DEVICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "shared/status.h"

namespace quensaria::platform {

// Attaches a free loop device (LOOP_CTL_GET_FREE, LOOP_CONFIGURE) to the
// open file `backing_fd`, showing the `size_limit` bytes (0 = to the end)
// from `offset`, with direct I/O and 512-byte sectors. Returns "/dev/loopN";
// on failure nothing stays attached.
Result<std::string> AttachLoopDevice(int backing_fd, uint64_t offset, uint64_t size_limit,
                                     bool read_only);
// LOOP_CLR_FD on `device`.
Status DetachLoopDevice(const std::string& device);
// The loop devices ("/dev/loopN") whose backing file is `file`, from sysfs.
std::vector<std::string> LoopDevicesBackedBy(const std::string& file);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_LOOP_DEVICE_H_
