// MachineInfo: what the create-server dialog asks of this machine: its own
// IPv4 addresses, its whole disks and mounted partitions (the device lists),
// and the size of a file or device. The default implementation reads the
// real machine (/sys/block, /proc/self/mountinfo, getifaddrs); tests derive
// their own. Failures give empty lists or nullopt.
#ifndef QUENSARIA_CONFIGURATOR_DOCUMENT_MACHINE_INFO_H_
#define QUENSARIA_CONFIGURATOR_DOCUMENT_MACHINE_INFO_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quensaria::configurator {

// One entry of a device list: what is sent as Source, and what is shown.
struct DeviceChoice {
  std::string path;  // "/dev/sda", "/dev/nvme0n1p2"
  std::string text;  // "sda  238 GiB  Samsung SSD 860" / "sda1  on /home  100 GiB"
};

class MachineInfo {
 public:
  virtual ~MachineInfo() = default;
  // Dotted-decimal IPv4 addresses of this machine, in interface order.
  virtual std::vector<std::string> HostAddresses();
  // Whole disks (loop, ram and zram devices left out), by name.
  virtual std::vector<DeviceChoice> WholeDisks();
  // Block-device partitions that are mounted, by name.
  virtual std::vector<DeviceChoice> MountedPartitions();
  // Bytes of a block device or regular file.
  virtual std::optional<uint64_t> SizeOf(const std::string& path);
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_DOCUMENT_MACHINE_INFO_H_
