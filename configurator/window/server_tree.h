// ServerTree: the tree of the "VFS Info" pane. One root "Local Services"
// (data -1) with one "%s:%d" entry per server in the service's order (data:
// the server handle), or the single entry "No Service" (data -2); started
// servers in red, the lines in blue. Choosing an entry emits entryChosen;
// a rebuild keeps the selected entry without emitting, selects the root
// (and emits) when nothing was selected, and leaves nothing selected when
// the selected server has gone. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_SERVER_TREE_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_SERVER_TREE_H_

#include <QTreeWidget>
#include <optional>
#include <vector>

#include "configurator/rules/list_rows.h"

namespace quensaria::configurator {

inline constexpr char kTreeRootText[] = "Local Services";
inline constexpr char kNoServiceText[] = "No Service";
inline constexpr qint64 kTreeRootData = -1;
inline constexpr qint64 kNoServiceData = -2;

class ServerTree : public QTreeWidget {
  Q_OBJECT

 public:
  explicit ServerTree(QWidget* parent = nullptr);

  void Rebuild(const std::vector<TreeEntry>& entries);
  // The selected entry's data, or nullopt.
  std::optional<qint64> SelectedData() const;
  QTreeWidgetItem* root() const { return root_; }
  // The entry with `data`, or null.
  QTreeWidgetItem* Find(qint64 entry) const;

 signals:
  void entryChosen(qint64 entry);

 protected:
  void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;

 private:
  void SelectionChanged();

  QTreeWidgetItem* root_;
  bool rebuilding_ = false;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_SERVER_TREE_H_
