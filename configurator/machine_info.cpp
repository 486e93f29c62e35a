#include "configurator/machine_info.h"

namespace quensaria::configurator {

std::vector<std::string> MachineInfo::HostAddresses() { return {}; }
std::vector<DeviceChoice> MachineInfo::WholeDisks() { return {}; }
std::vector<DeviceChoice> MachineInfo::MountedPartitions() { return {}; }
std::optional<uint64_t> MachineInfo::SizeOf(const std::string&) { return std::nullopt; }

}  // namespace quensaria::configurator
