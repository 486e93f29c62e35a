#include "platform/block_device.h"

#include <blkid/blkid.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace quensaria::platform {
namespace {

struct GuidType {
  std::string_view guid;  // lower case
  uint8_t type;
};

constexpr GuidType kGuidTypes[] = {
    {"0fc63daf-8483-4772-8e79-3d69d8477de4", 0x83},  // Linux file system data
    {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", 0x82},  // Linux swap
    {"e6d6d379-f507-44c2-a23c-238f2a3df928", 0x8E},  // Linux LVM
    {"a19d880f-05fc-4d3b-a006-743f0f84911e", 0xFD},  // Linux RAID
    {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", 0x07},  // Microsoft basic data
    {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", 0xEF},  // EFI system
};

std::string SysfsEntry(uint32_t device_major, uint32_t device_minor) {
  return "/sys/dev/block/" + std::to_string(device_major) + ":" + std::to_string(device_minor);
}

}  // namespace

bool PlaceOfPartition(uint32_t device_major, uint32_t device_minor, PartitionPlace& place) {
  const std::string entry = SysfsEntry(device_major, device_minor);
  if (!IsPartition(device_major, device_minor)) return false;
  // "start" counts 512-byte sectors whatever the device's sector size; the
  // partition's entry sits in its disk's, whose "dev" is "major:minor".
  uint64_t start = 0;
  std::ifstream start_file(entry + "/start");
  if (!(start_file >> start)) return false;
  uint32_t disk_major = 0;
  uint32_t disk_minor = 0;
  char colon = 0;
  std::ifstream dev_file(entry + "/../dev");
  if (!(dev_file >> disk_major >> colon >> disk_minor) || colon != ':') return false;
  place.disk = makedev(disk_major, disk_minor);
  place.first_byte = start * 512;
  return true;
}

bool IsPartition(uint32_t device_major, uint32_t device_minor) {
  const std::string path = SysfsEntry(device_major, device_minor) + "/partition";
  return ::access(path.c_str(), F_OK) == 0;
}

uint8_t PartitionTypeFromText(const std::string& text) {
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
    return (*end == '\0' && value <= 0xFF) ? static_cast<uint8_t>(value) : 0;
  }
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const GuidType& row : kGuidTypes) {
    if (row.guid == lower) return row.type;
  }
  return 0;
}

uint8_t PartitionTypeByte(const std::string& path) {
  blkid_probe probe = blkid_new_probe_from_filename(path.c_str());
  if (probe == nullptr) return 0;
  blkid_probe_enable_superblocks(probe, 0);
  blkid_probe_enable_partitions(probe, 1);
  blkid_probe_set_partitions_flags(probe, BLKID_PARTS_ENTRY_DETAILS);
  uint8_t type = 0;
  const char* value = nullptr;
  if (blkid_do_safeprobe(probe) == 0 &&
      blkid_probe_lookup_value(probe, "PART_ENTRY_TYPE", &value, nullptr) == 0 && value) {
    type = PartitionTypeFromText(value);
  }
  blkid_free_probe(probe);
  return type;
}

}  // namespace quensaria::platform
