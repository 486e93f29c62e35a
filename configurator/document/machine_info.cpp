#include "configurator/document/machine_info.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/mount_table.h"
#include "platform/source_file.h"
#include "shared/dotted_ipv4.h"

namespace quensaria::configurator {
namespace {

namespace fs = std::filesystem;

std::string ReadLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  return line;
}

// "238 GiB", "512 MiB".
std::string SizeText(uint64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  size_t unit = 0;
  double value = static_cast<double>(bytes);
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  std::ostringstream text;
  text.precision(value < 10 && unit > 0 ? 2 : 0);
  text << std::fixed << value << " " << units[unit];
  return text.str();
}

// 0 when the size cannot be read: the device is listed without one.
uint64_t SysfsBytes(const fs::path& block) {
  const std::string line = ReadLine(block / "size");
  uint64_t sectors = 0;
  const auto parsed = std::from_chars(line.data(), line.data() + line.size(), sectors);
  return parsed.ec == std::errc() ? sectors * 512 : 0;
}

bool Skipped(const std::string& name) {
  for (const char* prefix : {"loop", "ram", "zram", "sr", "fd"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> MachineInfo::HostAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
    if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
    const in_addr address = reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr;
    if ((ntohl(address.s_addr) >> 24) == 127) continue;  // loopback serves no other machine
    const DottedIpv4 text = FormatIpv4(address.s_addr);
    if (std::find(addresses.begin(), addresses.end(), text.c_str()) == addresses.end())
      addresses.emplace_back(text.c_str());
  }
  freeifaddrs(list);
  return addresses;
}

std::vector<DeviceChoice> MachineInfo::WholeDisks() {
  std::vector<DeviceChoice> disks;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/sys/block", error)) {
    const std::string name = entry.path().filename().string();
    const uint64_t bytes = SysfsBytes(entry.path());
    if (Skipped(name) || bytes == 0) continue;
    std::string text = name + "  " + SizeText(bytes);
    const std::string model = ReadLine(entry.path() / "device" / "model");
    if (!model.empty()) text += "  " + model;
    disks.push_back(DeviceChoice{"/dev/" + name, text});
  }
  std::sort(disks.begin(), disks.end(),
            [](const DeviceChoice& a, const DeviceChoice& b) { return a.path < b.path; });
  return disks;
}

std::vector<DeviceChoice> MachineInfo::MountedPartitions() {
  std::vector<DeviceChoice> partitions;
  std::set<std::string> seen;
  for (const platform::MountEntry& mount : platform::ReadMountTable()) {
    if (mount.source.rfind("/dev/", 0) != 0) continue;
    std::error_code error;
    const fs::path device = fs::canonical(mount.source, error);
    if (error) continue;
    const std::string name = device.filename().string();
    const fs::path sysfs = fs::path("/sys/class/block") / name;
    if (!fs::exists(sysfs / "partition", error) || !seen.insert(device.string()).second) continue;
    partitions.push_back(DeviceChoice{
        device.string(), name + "  " + mount.mount_point + "  " + SizeText(SysfsBytes(sysfs))});
  }
  std::sort(partitions.begin(), partitions.end(),
            [](const DeviceChoice& a, const DeviceChoice& b) { return a.path < b.path; });
  return partitions;
}

std::optional<uint64_t> MachineInfo::SizeOf(const std::string& path) {
  Result<platform::FileInfo> info = platform::StatPath(path);
  if (!info.ok() || info->type == platform::FileType::kOther) return std::nullopt;
  bool direct = false;
  Result<platform::UniqueFd> fd = platform::OpenUnbuffered(path, direct);
  if (!fd.ok()) return std::nullopt;
  Result<uint64_t> size = platform::SizeOf(fd->get());
  if (!size.ok()) return std::nullopt;
  return size.value();
}

}  // namespace quensaria::configurator
