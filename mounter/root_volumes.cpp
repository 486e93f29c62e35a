#include "mounter/root_volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "platform/errors.h"
#include "platform/loop_device.h"
#include "platform/unique_fd.h"
#include "platform/volume_mount.h"
#include "shared/win32_error.h"

namespace quensaria::mounter {
namespace {

QString NoRootExplanation() {
  return QStringLiteral(
      "The drive's file system can only be attached with root rights here: run the mounter as "
      "root, or as a desktop user with the UDisks2 service (package udisks2) running.");
}

}  // namespace

uint32_t RootVolumes::AttachBlockDevice(char letter, const std::string& disk,
                                        QString* explanation) {
  const std::optional<platform::VolumeLocation> volume = platform::ProbeVolume(disk);
  if (!volume) return 0;  // the disk itself is all there is to attach
  const std::string device =
      volume->partition == 0 ? disk : platform::PartitionDevice(disk, volume->partition);
  if (device.empty()) return ERROR_FILE_NOT_FOUND;
  const std::string directory = QFile::encodeName(RootMountPoint(letter, media_dir_)).toStdString();
  if (platform::IsMountPoint(directory)) return ERROR_BUSY;
  const Status mounted = platform::MountFileSystem(device, directory, volume->type,
                                                   platform::IsReadOnlyDevice(device));
  if (!mounted.ok()) {
    if (mounted.code() == ERROR_ACCESS_DENIED && explanation) *explanation = NoRootExplanation();
    return mounted.code();
  }
  return 0;
}

uint32_t RootVolumes::Attach(char letter, const DriveDisk& disk, QString* explanation) {
  if (!disk.blockDevice.isEmpty()) {
    return AttachBlockDevice(letter, QFile::encodeName(disk.blockDevice).toStdString(),
                             explanation);
  }
  const std::string file = QFile::encodeName(disk.deviceFile).toStdString();
  platform::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) return platform::Win32ErrorFromErrno(errno);
  const std::string directory = QFile::encodeName(RootMountPoint(letter, media_dir_)).toStdString();
  const std::optional<platform::VolumeLocation> volume = platform::ProbeVolume(file);
  if (volume && platform::IsMountPoint(directory)) return ERROR_BUSY;
  Result<std::string> loop = platform::AttachLoopDevice(fd.get(), volume ? volume->offset : 0,
                                                        volume ? volume->size : 0, false);
  if (!loop.ok()) {
    if (loop.status().code() == ERROR_ACCESS_DENIED && explanation) {
      *explanation = NoRootExplanation();
    }
    return loop.status().code();
  }
  if (!volume) return 0;
  const Status mounted = platform::MountFileSystem(*loop, directory, volume->type, false);
  if (!mounted.ok()) {
    (void)platform::DetachLoopDevice(*loop);
    if (mounted.code() == ERROR_ACCESS_DENIED && explanation) *explanation = NoRootExplanation();
    return mounted.code();
  }
  return 0;
}

namespace {

// Unmounts every file system on `device`, in case it was mounted twice.
uint32_t UnmountAll(const std::string& device) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0) return 0;
  for (std::string point = platform::MountPointOf(st.st_rdev); !point.empty();
       point = platform::MountPointOf(st.st_rdev)) {
    const Status unmounted = platform::UnmountFileSystem(point);
    if (!unmounted.ok()) return unmounted.code();
  }
  return 0;
}

}  // namespace

uint32_t RootVolumes::Detach(char /*letter*/, const DriveDisk& disk) {
  if (!disk.blockDevice.isEmpty()) {
    for (const std::string& device :
         platform::DiskAndPartitions(QFile::encodeName(disk.blockDevice).toStdString())) {
      if (const uint32_t error = UnmountAll(device); error != 0) return error;
    }
  }
  const std::string file = QFile::encodeName(disk.deviceFile).toStdString();
  for (const std::string& loop : platform::LoopDevicesBackedBy(file)) {
    if (const uint32_t error = UnmountAll(loop); error != 0) return error;
    const Status detached = platform::DetachLoopDevice(loop);
    if (!detached.ok()) return detached.code();
  }
  return 0;
}

}  // namespace quensaria::mounter
