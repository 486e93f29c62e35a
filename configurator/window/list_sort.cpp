#include "configurator/window/list_sort.h"

#include <cstring>

namespace quensaria::configurator {

qulonglong ClientAddressSortKey(uint32_t network_address) {
  if (network_address == 0) return qulonglong{1} << 32;
  uint8_t octets[4];  // a.b.c.d as they stand in memory
  std::memcpy(octets, &network_address, sizeof octets);
  return (qulonglong{octets[0]} << 24) | (qulonglong{octets[1]} << 16) |
         (qulonglong{octets[2]} << 8) | octets[3];
}

bool SortLess(const QVariant& left, const QVariant& right) {
  const bool numbers =
      left.typeId() == QMetaType::ULongLong && right.typeId() == QMetaType::ULongLong;
  if (numbers) return left.toULongLong() < right.toULongLong();
  return QString::compare(left.toString(), right.toString(), Qt::CaseInsensitive) < 0;
}

ListSortProxy::ListSortProxy(QObject* parent) : QSortFilterProxyModel(parent) {
  setSortRole(kSortRole);
  setDynamicSortFilter(false);
}

QVariant ListSortProxy::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role == Qt::InitialSortOrderRole) return static_cast<int>(Qt::AscendingOrder);
  return QSortFilterProxyModel::headerData(section, orientation, role);
}

bool ListSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  return SortLess(left.data(kSortRole), right.data(kSortRole));
}

}  // namespace quensaria::configurator
