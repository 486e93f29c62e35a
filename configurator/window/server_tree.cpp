#include "configurator/window/server_tree.h"

#include <QHeaderView>
#include <QPainter>

#include "configurator/window/ludrane_resources.h"

namespace quensaria::configurator {
namespace {

constexpr int kDataRole = Qt::UserRole;
const QColor kLineColor(0, 0, 255);

}  // namespace

ServerTree::ServerTree(QWidget* parent) : QTreeWidget(parent), root_(new QTreeWidgetItem) {
  LoadLudraneResources();
  setObjectName(QStringLiteral("serverTree"));
  setHeaderHidden(true);
  setColumnCount(1);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setIconSize(QSize(16, 16));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setContextMenuPolicy(Qt::CustomContextMenu);
  root_->setText(0, QString::fromLatin1(kTreeRootText));
  root_->setData(0, kDataRole, kTreeRootData);
  root_->setIcon(0, QIcon(QStringLiteral(":/icons/ludrane-16.png")));
  addTopLevelItem(root_);
  connect(this, &QTreeWidget::itemSelectionChanged, this, &ServerTree::SelectionChanged);
}

void ServerTree::Rebuild(const std::vector<TreeEntry>& entries) {
  const std::optional<qint64> before = SelectedData();
  rebuilding_ = true;
  clearSelection();
  qDeleteAll(root_->takeChildren());
  const QIcon server_icon(QStringLiteral(":/icons/server.png"));
  for (const TreeEntry& entry : entries) {
    auto* item = new QTreeWidgetItem(root_, QStringList{QString::fromStdString(entry.text)});
    item->setData(0, kDataRole, static_cast<qint64>(entry.handle));
    item->setIcon(0, server_icon);
    if (entry.started) item->setForeground(0, QColor(255, 0, 0));
  }
  if (entries.empty()) {
    auto* item = new QTreeWidgetItem(root_, QStringList{QString::fromLatin1(kNoServiceText)});
    item->setData(0, kDataRole, kNoServiceData);
  }
  root_->setExpanded(true);
  QTreeWidgetItem* again = before ? Find(*before) : nullptr;
  if (again != nullptr) {
    setCurrentItem(again);
  } else {
    // The selected server has gone: its (empty) list stays shown and
    // nothing in the tree claims it.
    selectionModel()->clear();
  }
  rebuilding_ = false;
  if (!before) setCurrentItem(root_);  // shows the server list
}

std::optional<qint64> ServerTree::SelectedData() const {
  const QList<QTreeWidgetItem*> items = selectedItems();
  if (items.isEmpty()) return std::nullopt;
  return items.first()->data(0, kDataRole).toLongLong();
}

QTreeWidgetItem* ServerTree::Find(qint64 entry) const {
  if (entry == kTreeRootData) return root_;
  for (int i = 0; i < root_->childCount(); ++i) {
    if (root_->child(i)->data(0, kDataRole).toLongLong() == entry) return root_->child(i);
  }
  return nullptr;
}

void ServerTree::SelectionChanged() {
  if (rebuilding_) return;
  const std::optional<qint64> entry = SelectedData();
  if (entry) emit entryChosen(*entry);
}

void ServerTree::drawBranches(QPainter* painter, const QRect& rect,
                              const QModelIndex& index) const {
  if (!index.parent().isValid()) return;  // the root has no line of its own
  const int x = rect.right() - indentation() / 2;
  const int middle = rect.center().y();
  const bool last = index.row() == model()->rowCount(index.parent()) - 1;
  painter->save();
  painter->setPen(QPen(kLineColor, 1, Qt::DotLine));
  painter->drawLine(x, rect.top(), x, last ? middle : rect.bottom());
  painter->drawLine(x, middle, rect.right(), middle);
  painter->restore();
}

}  // namespace quensaria::configurator
