// Who uses a block device: the check before a disk is taken away under its
// users. Any thread; needs root to see every process.
#ifndef QUENSARIA_PLATFORM_BLOCK_DEVICE_USERS_H_
#define QUENSARIA_PLATFORM_BLOCK_DEVICE_USERS_H_

#include <string>

namespace quensaria::platform {

// Why the whole disk `path` ("/dev/ublkb0") is in use, or empty when it is
// not: a mounted file system or another exclusive holder (swap, device
// mapper, mkfs) on it or on one of its partitions, a loop device over it,
// or a process (not this one) with it or a partition open.
std::string BlockDeviceUse(const std::string& path);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_BLOCK_DEVICE_USERS_H_
