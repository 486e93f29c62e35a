#include "configurator/window/list_model.h"

#include <QColor>

#include "configurator/document/server_document.h"
#include "configurator/window/list_sort.h"
#include "configurator/window/ludrane_resources.h"

namespace quensaria::configurator {
namespace {

constexpr int kAddressColumn = 0;  // of a client list

}  // namespace

ListModel::ListModel(QObject* parent)
    : QAbstractTableModel(parent),
      server_icon_((LoadLudraneResources(), QIcon(QStringLiteral(":/icons/server.png")))),
      client_icon_((LoadLudraneResources(), QIcon(QStringLiteral(":/icons/client.png")))) {}

void ListModel::Rebuild(const ServerDocument& document) {
  beginResetModel();
  showing_servers_ = document.showing_servers();
  servers_ = document.server_rows();
  clients_ = document.client_rows();
  endResetModel();
}

Handle ListModel::HandleAt(int row) const {
  if (row < 0 || row >= rowCount()) return 0;
  return showing_servers_ ? servers_[row].handle : clients_[row].handle;
}

int ListModel::ColumnWidth(int column) const {
  if (column < 0 || column >= columnCount()) return 0;
  return showing_servers_ ? kServerColumns[column].width : kClientColumns[column].width;
}

int ListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(showing_servers_ ? servers_.size() : clients_.size());
}

int ListModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(showing_servers_ ? kServerColumns.size() : kClientColumns.size());
}

QString ListModel::Text(int row, int column) const {
  const std::string& text =
      showing_servers_ ? servers_[row].texts[column] : clients_[row].texts[column];
  return QString::fromStdString(text);
}

bool ListModel::Highlighted(int row) const {
  return showing_servers_ ? servers_[row].started() : clients_[row].online();
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const int row = index.row(), column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:  // a long path is cut short in its column
      return Text(row, column);
    case Qt::DecorationRole:
      if (column != 0) return {};
      return showing_servers_ ? server_icon_ : client_icon_;
    case Qt::ForegroundRole:
      if (Highlighted(row)) return QColor(255, 0, 0);
      return {};
    case kSortRole:
      if (!showing_servers_ && column == kAddressColumn)
        return ClientAddressSortKey(clients_[row].entry.address);
      return Text(row, column);
    case kHandleRole:
      return HandleAt(row);
    default:
      return {};
  }
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= columnCount()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return QString::fromUtf8(showing_servers_ ? kServerColumns[section].text
                                            : kClientColumns[section].text);
}

}  // namespace quensaria::configurator
