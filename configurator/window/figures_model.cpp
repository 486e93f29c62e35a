#include "configurator/window/figures_model.h"

#include <QColor>
#include <cstring>

#include "configurator/document/server_document.h"

namespace quensaria::configurator {
namespace {

constexpr int kNameColumn = 0;
constexpr int kStateColumn = static_cast<int>(kFiguresColumns.size()) - 1;

// Numbers right-aligned, names and states left, headings like their cells.
QVariant AlignmentOf(int column) {
  if (column == kNameColumn || column == kStateColumn) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
}

}  // namespace

FiguresModel::FiguresModel(QObject* parent) : QAbstractTableModel(parent) {}

void FiguresModel::Rebuild(const ServerDocument& document) {
  beginResetModel();
  figures_ = document.figures();
  texts_.clear();
  for (const ServerFigures& figures : figures_) texts_.push_back(FiguresTexts(figures));
  endResetModel();
}

int FiguresModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(figures_.size());
}

int FiguresModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(kFiguresColumns.size());
}

QVariant FiguresModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const ServerFigures& figures = figures_[index.row()];
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(texts_[index.row()][index.column()]);
    case Qt::ToolTipRole:
      if (index.column() != kNameColumn) return {};
      return QString::fromUtf8(
          figures.config.Source,
          static_cast<qsizetype>(strnlen(figures.config.Source, sizeof figures.config.Source)));
    case Qt::TextAlignmentRole:
      return AlignmentOf(index.column());
    case Qt::ForegroundRole:
      if (figures.read_ok && figures.stats.Running != 0) return QColor(255, 0, 0);
      return {};
    default:
      return {};
  }
}

QVariant FiguresModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (role == Qt::TextAlignmentRole) return AlignmentOf(section);
  if (role != Qt::DisplayRole) return QAbstractTableModel::headerData(section, orientation, role);
  return QString::fromUtf8(kFiguresColumns[section].text);
}

}  // namespace quensaria::configurator
