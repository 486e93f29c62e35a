// UDisks2Volumes: the drive's volume made by UDisks2 for a desktop user,
// over the system bus (or the connection a test gives): Manager.LoopSetup
// with the device file's descriptor, Filesystem.Mount, and for the way back
// Filesystem.Unmount and Loop.Delete. The file system lands where UDisks2
// mounts it. The connection's thread only.
#ifndef QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_
#define QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_

#include <QDBusConnection>
#include <QDBusMessage>

#include "mounter/volumes.h"

namespace quensaria::mounter {

class UDisks2Volumes : public Volumes {
 public:
  explicit UDisks2Volumes(QDBusConnection connection = QDBusConnection::systemBus());

  uint32_t Attach(char letter, const QString& device_file, QString* explanation) override;
  uint32_t Detach(char letter, const QString& device_file) override;

 private:
  QDBusMessage Call(const QString& path, const QString& interface, const QString& method,
                    const QList<QVariant>& arguments);
  // The loop object whose backing file is `device_file`, and whether it has
  // a file system; empty when UDisks2 knows none.
  QString FindLoopObject(const QString& device_file, bool* has_filesystem);

  QDBusConnection connection_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_
