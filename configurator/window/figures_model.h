// FiguresModel: the document's live figures as the figures pane's table:
// one row per server of the current list (every server, or the one whose
// clients are shown), the texts of FiguresTexts, numbers right-aligned,
// started servers in red as in the server list, each row's source path as
// the tool tip of its first cell. Rebuild copies the document's figures.
// GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_FIGURES_MODEL_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_FIGURES_MODEL_H_

#include <QAbstractTableModel>
#include <vector>

#include "configurator/rules/figures.h"

namespace quensaria::configurator {

class ServerDocument;

class FiguresModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit FiguresModel(QObject* parent = nullptr);

  void Rebuild(const ServerDocument& document);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<ServerFigures> figures_;
  std::vector<std::array<std::string, kFiguresColumns.size()>> texts_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_FIGURES_MODEL_H_
