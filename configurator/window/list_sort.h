// The order of the list view's rows when the user sorts by a column: cell
// texts compare case-insensitively; the address column of a client list
// compares addresses octet by octet (10.0.0.9 before 10.0.0.10) with
// "Any Address" (0) after every address. Models give each cell's key under
// kSortRole; rows move whole, so each keeps its handle. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_LIST_SORT_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_LIST_SORT_H_

#include <QSortFilterProxyModel>
#include <QVariant>
#include <cstdint>

namespace quensaria::configurator {

inline constexpr int kSortRole = Qt::UserRole + 1;

// The key of a client address held in network byte order.
qulonglong ClientAddressSortKey(uint32_t network_address);

// Numbers compare as numbers, anything else as text ignoring case.
bool SortLess(const QVariant& left, const QVariant& right);

// Sorts by kSortRole; the first click on a header sorts ascending, the next
// one on the same header descending. ClearSort returns to the model's order.
class ListSortProxy : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ListSortProxy(QObject* parent = nullptr);

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void ClearSort() { sort(-1, Qt::AscendingOrder); }

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_LIST_SORT_H_
