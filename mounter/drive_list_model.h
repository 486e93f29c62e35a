// DriveListModel: the mounted drives as the window's list shows them, one
// row per drive with the columns Device, Location (where its file system is
// mounted), Capacity, Access and Source (the server or the image; a network
// disk whose connection is down says so, in grey). MountManager makes the
// texts; every cell's tool tip is its whole text. GUI thread.
#ifndef QUENSARIA_MOUNTER_DRIVE_LIST_MODEL_H_
#define QUENSARIA_MOUNTER_DRIVE_LIST_MODEL_H_

#include <QAbstractTableModel>
#include <vector>

#include "mounter/mount_manager.h"

namespace quensaria::mounter {

class DriveListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kDevice, kLocation, kCapacity, kAccess, kSource, kColumnCount };
  // The widths the columns open with, in pixels.
  static int InitialWidth(int column);

  using QAbstractTableModel::QAbstractTableModel;

  // Replaces every row.
  void SetDrives(std::vector<MountedDrive> drives);
  const MountedDrive& drive(int row) const { return drives_.at(static_cast<size_t>(row)); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  static QString Text(const MountedDrive& row, int column);

  std::vector<MountedDrive> drives_;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_DRIVE_LIST_MODEL_H_
