#include "mounter/drive_list_model.h"

#include <QColor>

#include "mounter/window_texts.h"

namespace quensaria::mounter {

int DriveListModel::InitialWidth(int column) {
  static constexpr int kWidths[kColumnCount] = {80, 210, 65, 70, 160};
  return column >= 0 && column < kColumnCount ? kWidths[column] : 0;
}

void DriveListModel::SetDrives(std::vector<MountedDrive> drives) {
  beginResetModel();
  drives_ = std::move(drives);
  endResetModel();
}

int DriveListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(drives_.size());
}

int DriveListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant DriveListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const MountedDrive& row = drive(index.row());
  if (role == Qt::ForegroundRole) {
    return row.connected ? QVariant() : QVariant(QColor(Qt::gray));
  }
  if (role == Qt::ToolTipRole) {
    // A cut-off cell can be read whole.
    const QString text = Text(row, index.column());
    if (index.column() == kLocation && !text.isEmpty()) return text + "\n" + SourceText(row);
    return text.isEmpty() ? QVariant() : QVariant(text);
  }
  if (role != Qt::DisplayRole) return {};
  return Text(row, index.column());
}

QString DriveListModel::Text(const MountedDrive& row, int column) {
  switch (column) {
    case kDevice:
      return row.device;
    case kLocation:
      return row.location;
    case kCapacity:
      return row.capacity;
    case kAccess:
      return row.access;
    case kSource:
      return SourceText(row);
    default:
      return {};
  }
}

QVariant DriveListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static constexpr const char* kHeaders[kColumnCount] = {
      texts::kColumnDevice, texts::kColumnLocation, texts::kColumnCapacity, texts::kColumnAccess,
      texts::kColumnSource};
  return section >= 0 && section < kColumnCount ? QString::fromLatin1(kHeaders[section])
                                                : QVariant();
}

}  // namespace quensaria::mounter
