// ListModel: the rows of the document's current list (the server list or
// one server's clients) as a table for the list view: the cell texts, the
// server or client icon in the first column, red text for started servers
// and online clients, each row's handle under kHandleRole and its sort keys
// under kSortRole. Rebuild copies the document's rows, in the service's
// order. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_LIST_MODEL_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_LIST_MODEL_H_

#include <QAbstractTableModel>
#include <QIcon>
#include <vector>

#include "configurator/rules/list_rows.h"

namespace quensaria::configurator {

class ServerDocument;

inline constexpr int kHandleRole = Qt::UserRole + 2;

class ListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ListModel(QObject* parent = nullptr);

  // Takes the document's current list.
  void Rebuild(const ServerDocument& document);

  bool showing_servers() const { return showing_servers_; }
  Handle HandleAt(int row) const;
  // The columns' screen widths in pixels.
  int ColumnWidth(int column) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  QString Text(int row, int column) const;
  bool Highlighted(int row) const;

  bool showing_servers_ = true;
  std::vector<ServerRow> servers_;
  std::vector<ClientRow> clients_;
  QIcon server_icon_, client_icon_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_LIST_MODEL_H_
