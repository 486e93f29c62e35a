// RootVolumes: the drive's volume made by the mounter itself, for a process
// with CAP_SYS_ADMIN: a loop device with the kernel's ioctls and the file
// system mounted with mount(2) at <media_dir>/X.
#ifndef QUENSARIA_MOUNTER_ROOT_VOLUMES_H_
#define QUENSARIA_MOUNTER_ROOT_VOLUMES_H_

#include "mounter/volumes.h"

namespace quensaria::mounter {

class RootVolumes : public Volumes {
 public:
  explicit RootVolumes(QString media_dir = QStringLiteral("/media/velmoran"))
      : media_dir_(std::move(media_dir)) {}

  uint32_t Attach(char letter, const QString& device_file, QString* explanation) override;
  uint32_t Detach(char letter, const QString& device_file) override;

 private:
  QString media_dir_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_ROOT_VOLUMES_H_
