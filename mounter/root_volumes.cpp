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

uint32_t RootVolumes::Attach(char letter, const QString& device_file, QString* explanation) {
  const std::string file = QFile::encodeName(device_file).toStdString();
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

uint32_t RootVolumes::Detach(char /*letter*/, const QString& device_file) {
  const std::string file = QFile::encodeName(device_file).toStdString();
  for (const std::string& loop : platform::LoopDevicesBackedBy(file)) {
    struct stat st;
    if (::stat(loop.c_str(), &st) == 0) {
      // Every mount of the loop device, in case it was mounted twice.
      for (std::string point = platform::MountPointOf(st.st_rdev); !point.empty();
           point = platform::MountPointOf(st.st_rdev)) {
        const Status unmounted = platform::UnmountFileSystem(point);
        if (!unmounted.ok()) return unmounted.code();
      }
    }
    const Status detached = platform::DetachLoopDevice(loop);
    if (!detached.ok()) return detached.code();
  }
  return 0;
}

}  // namespace quensaria::mounter
