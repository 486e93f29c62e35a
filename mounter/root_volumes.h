// RootVolumes: the drive's volume made by the mounter itself, for a process
// with CAP_SYS_ADMIN: the file system mounted with mount(2) at <media_dir>/X,
// on the disk's block device or partition, or else on a loop device made
// with the kernel's ioctls.
#ifndef QUENSARIA_MOUNTER_ROOT_VOLUMES_H_
#define QUENSARIA_MOUNTER_ROOT_VOLUMES_H_

#include "mounter/volumes.h"

namespace quensaria::mounter {

class RootVolumes : public Volumes {
 public:
  explicit RootVolumes(QString media_dir = QStringLiteral("/media/velmoran"))
      : media_dir_(std::move(media_dir)) {}

  Status Attach(char letter, const DriveDisk& disk) override;
  Status Detach(char letter, const DriveDisk& disk) override;

 private:
  Status AttachBlockDevice(char letter, const std::string& disk);
  QString media_dir_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_ROOT_VOLUMES_H_
