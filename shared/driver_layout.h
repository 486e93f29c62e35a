// Where the Velmoran driver puts what its clients open, under its runtime
// folder: the device files in RUNTIME/Device/VelmoranEx (disks VelmoranExN,
// CD-ROMs VelmoranExCdN), the drive links in RUNTIME/DosDevices/Global/X:,
// and the users' own drive definitions in RUNTIME/DosDevices/X:. The driver,
// velmoran-ctl, the mounter and the tests all find them here.
#ifndef QUENSARIA_SHARED_DRIVER_LAYOUT_H_
#define QUENSARIA_SHARED_DRIVER_LAYOUT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quensaria {

inline constexpr char kDefaultDriverRuntimeDir[] = "/run/velmoran";

inline std::string DeviceDir(std::string_view runtime_dir) {
  return std::string(runtime_dir) + "/Device/VelmoranEx";
}

// "VelmoranEx3" or, for a CD-ROM, "VelmoranExCd3".
inline std::string DeviceName(bool cd_rom, uint32_t number) {
  return (cd_rom ? "VelmoranExCd" : "VelmoranEx") + std::to_string(number);
}

inline std::string DeviceFilePath(std::string_view runtime_dir, std::string_view name) {
  return DeviceDir(runtime_dir) + "/" + std::string(name);
}

// The users' drive definitions; the global links lie in its "Global".
inline std::string DriveDefinitionsDir(std::string_view runtime_dir) {
  return std::string(runtime_dir) + "/DosDevices";
}

inline std::string GlobalDriveLinksDir(std::string_view runtime_dir) {
  return DriveDefinitionsDir(runtime_dir) + "/Global";
}

// "X:", the name of drive X's link.
inline std::string DriveLinkName(char letter) { return std::string(1, letter) + ":"; }

}  // namespace quensaria

#endif  // QUENSARIA_SHARED_DRIVER_LAYOUT_H_
