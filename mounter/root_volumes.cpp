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

// A loop or mount step that failed, for MountManager: a missing privilege
// is said as such; the platform's own message is for logs only.
Status StepFailed(const Status& step) {
  return Status(step.code(),
                step.code() == ERROR_ACCESS_DENIED ? NoRootExplanation().toStdString() : "");
}

}  // namespace

Status RootVolumes::AttachBlockDevice(char letter, const std::string& disk) {
  const std::optional<platform::VolumeLocation> volume = platform::ProbeVolume(disk);
  if (!volume) return Status::Ok();  // the disk itself is all there is to attach
  const std::string device =
      volume->partition == 0 ? disk : platform::PartitionDevice(disk, volume->partition);
  if (device.empty()) return Status(ERROR_FILE_NOT_FOUND, "");
  const std::string directory = QFile::encodeName(RootMountPoint(letter, media_dir_)).toStdString();
  if (platform::IsMountPoint(directory)) return Status(ERROR_BUSY, "");
  const Status mounted = platform::MountFileSystem(device, directory, volume->type,
                                                   platform::IsReadOnlyDevice(device));
  if (!mounted.ok()) return StepFailed(mounted);
  return Status::Ok();
}

Status RootVolumes::Attach(char letter, const DriveDisk& disk) {
  if (!disk.blockDevice.isEmpty()) {
    return AttachBlockDevice(letter, QFile::encodeName(disk.blockDevice).toStdString());
  }
  const std::string file = QFile::encodeName(disk.deviceFile).toStdString();
  platform::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) return Status(platform::Win32ErrorFromErrno(errno), "");
  const std::string directory = QFile::encodeName(RootMountPoint(letter, media_dir_)).toStdString();
  const std::optional<platform::VolumeLocation> volume = platform::ProbeVolume(file);
  if (volume && platform::IsMountPoint(directory)) return Status(ERROR_BUSY, "");
  Result<std::string> loop = platform::AttachLoopDevice(fd.get(), volume ? volume->offset : 0,
                                                        volume ? volume->size : 0, false);
  if (!loop.ok()) return StepFailed(loop.status());
  if (!volume) return Status::Ok();
  const Status mounted = platform::MountFileSystem(*loop, directory, volume->type, false);
  if (!mounted.ok()) {
    (void)platform::DetachLoopDevice(*loop);
    return StepFailed(mounted);
  }
  return Status::Ok();
}

namespace {

// Unmounts every file system on `device`, in case it was mounted twice.
Status UnmountAll(const std::string& device) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0) return Status::Ok();
  for (std::string point = platform::MountPointOf(st.st_rdev); !point.empty();
       point = platform::MountPointOf(st.st_rdev)) {
    const Status unmounted = platform::UnmountFileSystem(point);
    if (!unmounted.ok()) return Status(unmounted.code(), "");
  }
  return Status::Ok();
}

}  // namespace

Status RootVolumes::Detach(char /*letter*/, const DriveDisk& disk) {
  if (!disk.blockDevice.isEmpty()) {
    for (const std::string& device :
         platform::DiskAndPartitions(QFile::encodeName(disk.blockDevice).toStdString())) {
      if (Status unmounted = UnmountAll(device); !unmounted.ok()) return unmounted;
    }
  }
  const std::string file = QFile::encodeName(disk.deviceFile).toStdString();
  for (const std::string& loop : platform::LoopDevicesBackedBy(file)) {
    if (Status unmounted = UnmountAll(loop); !unmounted.ok()) return unmounted;
    const Status detached = platform::DetachLoopDevice(loop);
    if (!detached.ok()) return Status(detached.code(), "");
  }
  return Status::Ok();
}

}  // namespace quensaria::mounter
