#include "mounter/volumes.h"

#include <sys/stat.h>

#include <QFile>

#include "mounter/root_volumes.h"
#include "mounter/udisks2_volumes.h"
#include "platform/loop_device.h"
#include "platform/volume_mount.h"

namespace quensaria::mounter {

QString VolumeMountPoint(const DriveDisk& disk) {
  std::vector<std::string> devices;
  if (!disk.blockDevice.isEmpty()) {
    devices = platform::DiskAndPartitions(QFile::encodeName(disk.blockDevice).toStdString());
  }
  const std::vector<std::string> loops =
      platform::LoopDevicesBackedBy(QFile::encodeName(disk.deviceFile).toStdString());
  devices.insert(devices.end(), loops.begin(), loops.end());
  for (const std::string& device : devices) {
    struct stat st;
    if (::stat(device.c_str(), &st) != 0) continue;
    const std::string point = platform::MountPointOf(st.st_rdev);
    if (!point.empty()) return QFile::decodeName(point.c_str());
  }
  return QString();
}

QString VolumeLoopDevice(const QString& device_file) {
  const std::vector<std::string> loops =
      platform::LoopDevicesBackedBy(QFile::encodeName(device_file).toStdString());
  return loops.empty() ? QString() : QFile::decodeName(loops.front().c_str());
}

QString RootMountPoint(char letter, const QString& media_dir) {
  return media_dir + QLatin1Char('/') + QLatin1Char(letter);
}

std::unique_ptr<Volumes> CreateVolumes() {
  if (platform::HasSysAdminCapability()) return std::make_unique<RootVolumes>();
  return std::make_unique<UDisks2Volumes>();
}

}  // namespace quensaria::mounter
