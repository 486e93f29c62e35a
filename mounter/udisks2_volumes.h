// UDisks2Volumes: the drive's volume made by UDisks2 for a desktop user,
// over the system bus (or the connection a test gives). On the disk's block
// device: Filesystem.Mount of UDisks2's object for the disk or its
// partition, and Filesystem.Unmount for the way back. Without one:
// Manager.LoopSetup with the device file's descriptor, Filesystem.Mount,
// and for the way back Filesystem.Unmount and Loop.Delete. The file system
// lands where UDisks2 mounts it. The connection's thread only.
#ifndef QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_
#define QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_

#include <QDBusConnection>
#include <QDBusMessage>
#include <vector>

#include "mounter/volumes.h"

namespace quensaria::mounter {

class UDisks2Volumes : public Volumes {
 public:
  explicit UDisks2Volumes(QDBusConnection connection = QDBusConnection::systemBus());

  Status Attach(char letter, const DriveDisk& disk) override;
  Status Detach(char letter, const DriveDisk& disk) override;

 private:
  QDBusMessage Call(const QString& path, const QString& interface, const QString& method,
                    const QList<QVariant>& arguments);
  Status AttachLoop(const QString& device_file);
  Status AttachBlockDevice(const QString& disk);
  Status DetachBlockDevice(const QString& disk);
  // UDisks2's objects for block device `disk`: the disk's own first, then
  // its partitions', each with its partition number (0: the disk) and
  // whether it has a file system. Empty, with *reply the failed call, when
  // UDisks2 cannot be asked.
  struct BlockObject {
    QString path;
    int partition = 0;
    bool filesystem = false;
  };
  std::vector<BlockObject> FindBlockObjects(const QString& disk, QDBusMessage* reply);
  // The loop object whose backing file is `device_file`, and whether it has
  // a file system; empty when UDisks2 knows none.
  QString FindLoopObject(const QString& device_file, bool* has_filesystem);

  QDBusConnection connection_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_UDISKS2_VOLUMES_H_
