// Block-device facts the disk sources need beyond the size: whether a device
// is a partition, and the MBR type byte of a partition (from libblkid).
#ifndef QUENSARIA_PLATFORM_BLOCK_DEVICE_H_
#define QUENSARIA_PLATFORM_BLOCK_DEVICE_H_

#include <cstdint>
#include <string>

namespace quensaria::platform {

// True when the device major:minor is a partition (its sysfs entry under
// /sys/dev/block has a "partition" attribute).
bool IsPartition(uint32_t device_major, uint32_t device_minor);

// Where a partition lies: on the whole disk numbered `disk` (a dev_t), from
// byte `first_byte`.
struct PartitionPlace {
  uint64_t disk = 0;
  uint64_t first_byte = 0;
};
// Fills `place` from sysfs when major:minor is a partition; false otherwise
// or when sysfs does not say.
bool PlaceOfPartition(uint32_t device_major, uint32_t device_minor, PartitionPlace& place);

// The type byte of the partition at `path` as an MBR entry states it. A GPT
// partition gets the MBR byte of its type GUID where one exists (Linux data
// 0x83, swap 0x82, LVM 0x8E, RAID 0xFD, Microsoft basic data 0x07, EFI
// system 0xEF); an unknown type, or a device libblkid cannot probe, gives 0.
uint8_t PartitionTypeByte(const std::string& path);

// Turns libblkid's PART_ENTRY_TYPE text ("0x83" or a GUID) into the byte.
uint8_t PartitionTypeFromText(const std::string& text);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_BLOCK_DEVICE_H_
