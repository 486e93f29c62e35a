#include "configurator/window/main_window.h"

#include <QDockWidget>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "configurator/document/server_document.h"
#include "configurator/widgets/widget_prompts.h"
#include "configurator/window/figures_model.h"
#include "configurator/window/list_model.h"
#include "configurator/window/list_sort.h"
#include "configurator/window/ludrane_resources.h"
#include "configurator/window/server_tree.h"

namespace quensaria::configurator {

MainWindow::MainWindow(ManagementOperations& ops, ConfiguratorDefaults& defaults,
                       MachineInfo& machine, UserPrompts* prompts, QWidget* parent)
    : QMainWindow(parent), prompts_(prompts), document_(std::make_unique<ServerDocument>(ops)) {
  LoadLudraneResources();
  setObjectName(QStringLiteral("mainWindow"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/ludrane-48.png")));
  BuildStatusBar();
  if (prompts_ == nullptr) {
    own_prompts_ = std::make_unique<WidgetPrompts>(this, statusBar());
    prompts_ = own_prompts_.get();
  }
  runner_ = std::make_unique<CommandRunner>(*document_, *prompts_, defaults, machine);
  BuildPanes();
  BuildActions();
  BuildMenus();
  BuildToolBar();

  connect(document_.get(), &ServerDocument::listChanged, this, &MainWindow::ListChanged);
  connect(document_.get(), &ServerDocument::treeChanged, this,
          [this] { tree_->Rebuild(document_->tree_entries()); });
  connect(tree_, &ServerTree::entryChosen, this, &MainWindow::TreeChosen);
  connect(runner_.get(), &CommandRunner::selectAllRequested, list_view_, &QTableView::selectAll);
  connect(list_view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &MainWindow::UpdateCommandStates);

  // The view's first update and the tree's first build (which selects the
  // root and shows the server list again).
  document_->ShowServerList();
  document_->StartRefreshTimer();
  document_->RefreshTree();

  idle_probe_ = std::make_unique<IdleProbe>(*document_);
  connect(idle_probe_.get(), &IdleProbe::probed, this, &MainWindow::ApplyProbe);
  ApplyProbe(false);
  resize(900, 560);
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildPanes() {
  model_ = new ListModel(this);
  proxy_ = new ListSortProxy(this);
  proxy_->setSourceModel(model_);

  list_view_ = new QTableView;
  list_view_->setObjectName(QStringLiteral("listView"));
  list_view_->setModel(proxy_);
  list_view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_view_->setShowGrid(true);
  list_view_->setWordWrap(false);
  list_view_->setTextElideMode(Qt::ElideMiddle);  // a long path keeps its file name in view
  list_view_->setIconSize(QSize(16, 16));
  list_view_->setAlternatingRowColors(true);  // odd rows, when not selected
  QPalette palette = list_view_->palette();
  palette.setColor(QPalette::AlternateBase, QColor(240, 245, 255));
  list_view_->setPalette(palette);
  list_view_->verticalHeader()->hide();
  list_view_->verticalHeader()->setDefaultSectionSize(list_view_->fontMetrics().height() + 6);
  list_view_->horizontalHeader()->setSortIndicatorShown(true);
  list_view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  list_view_->horizontalHeader()->setHighlightSections(false);
  list_view_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_view_->setSortingEnabled(true);
  list_view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    SelectForContextMenu(list_view_->indexAt(at));
    BuildListMenu()->exec(list_view_->viewport()->mapToGlobal(at));
  });
  setCentralWidget(list_view_);

  tree_ = new ServerTree;
  connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QTreeWidgetItem* item = tree_->itemAt(at);
    if (item == nullptr) return;
    tree_->setCurrentItem(item);  // the menu is about the entry under the mouse
    BuildTreeMenu()->exec(tree_->viewport()->mapToGlobal(at));
  });
  auto* holder = new QWidget;
  auto* layout = new QVBoxLayout(holder);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(tree_);
  auto* dock = new QDockWidget(QString::fromLatin1(kDockTitle), this);
  dock->setObjectName(QStringLiteral("vfsInfo"));
  dock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
  dock->setWidget(holder);
  addDockWidget(Qt::LeftDockWidgetArea, dock);
  resizeDocks({dock}, {210}, Qt::Horizontal);
  BuildFiguresPane();
}

void MainWindow::BuildFiguresPane() {
  figures_model_ = new FiguresModel(this);
  figures_view_ = new QTableView;
  figures_view_->setObjectName(QStringLiteral("figuresView"));
  figures_view_->setModel(figures_model_);
  figures_view_->setSelectionMode(QAbstractItemView::NoSelection);
  figures_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  figures_view_->setWordWrap(false);
  figures_view_->setAlternatingRowColors(true);
  QPalette palette = figures_view_->palette();
  palette.setColor(QPalette::AlternateBase, QColor(240, 245, 255));
  figures_view_->setPalette(palette);
  figures_view_->verticalHeader()->hide();
  figures_view_->verticalHeader()->setDefaultSectionSize(figures_view_->fontMetrics().height() + 6);
  figures_view_->horizontalHeader()->setHighlightSections(false);
  for (int column = 0; column < static_cast<int>(kFiguresColumns.size()); ++column) {
    figures_view_->setColumnWidth(column, kFiguresColumns[column].width);
  }
  figures_note_ = new QLabel(QString::fromUtf8(kNoFiguresText));
  figures_note_->setObjectName(QStringLiteral("figuresNote"));
  figures_note_->hide();
  auto* holder = new QWidget;
  auto* layout = new QVBoxLayout(holder);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(figures_note_);
  layout->addWidget(figures_view_);
  figures_dock_ = new QDockWidget(QString::fromUtf8(kFiguresTitle), this);
  figures_dock_->setObjectName(QStringLiteral("liveFigures"));
  figures_dock_->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable |
                             QDockWidget::DockWidgetClosable);
  figures_dock_->setWidget(holder);
  addDockWidget(Qt::BottomDockWidgetArea, figures_dock_);
  resizeDocks({figures_dock_}, {140}, Qt::Vertical);
}

void MainWindow::BuildStatusBar() {
  auto* pane = new QWidget;
  auto* layout = new QHBoxLayout(pane);
  layout->setContentsMargins(2, 0, 2, 0);
  layout->setSpacing(4);
  connection_icon_ = new QLabel;
  connection_text_ = new QLabel;
  connection_text_->setObjectName(QStringLiteral("connectionPane"));
  layout->addWidget(connection_icon_);
  layout->addWidget(connection_text_, 1);
  // Pane 0 is the status bar's own message area.
  statusBar()->addPermanentWidget(pane);
  // 150 pixels, or what the longer text needs in a larger font.
  const int text_width = std::max(
      connection_text_->fontMetrics().horizontalAdvance(QString::fromLatin1(kConnectedText)),
      connection_text_->fontMetrics().horizontalAdvance(QString::fromLatin1(kNotConnectedText)));
  pane->setFixedWidth(std::max(kConnectionPaneWidth, 16 + 4 + text_width + 8));
}

void MainWindow::ListChanged() {
  model_->Rebuild(*document_);
  figures_model_->Rebuild(*document_);
  figures_note_->setVisible(!document_->figures_kept());
  figures_view_->setVisible(document_->figures_kept());
  // A rebuild shows the service's order again.
  list_view_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  proxy_->ClearSort();
  for (int column = 0; column < model_->columnCount(); ++column) {
    list_view_->setColumnWidth(column, model_->ColumnWidth(column));
  }
  UpdateCommandStates();
}

void MainWindow::TreeChosen(qint64 entry) {
  if (entry == kTreeRootData) {
    setWindowTitle(QString::fromLatin1(kServicesListTitle));
    document_->ShowServerList();
    return;
  }
  setWindowTitle(QString::fromLatin1(kClientsListTitle));
  if (entry < 0) {
    document_->ShowServerList();  // "No Service"
  } else {
    document_->ShowClients(static_cast<Handle>(entry));
  }
}

void MainWindow::ProbeService() { ApplyProbe(document_->Probe()); }

void MainWindow::ApplyProbe(bool connected) {
  UpdateCommandStates();
  if (shown_connected_ == connected) return;  // the probe runs on every idle pass
  shown_connected_ = connected;
  const QString icon = connected ? QStringLiteral(":/icons/connected.png")
                                 : QStringLiteral(":/icons/disconnected.png");
  connection_icon_->setPixmap(QPixmap(icon));
  connection_text_->setText(QString::fromLatin1(connected ? kConnectedText : kNotConnectedText));
}

void MainWindow::SelectForContextMenu(const QModelIndex& at) {
  QItemSelectionModel* selection = list_view_->selectionModel();
  if (!at.isValid()) {
    selection->clearSelection();  // a click beside the rows chooses none
  } else if (!selection->isRowSelected(at.row(), QModelIndex())) {
    // A row outside the selection becomes the selection; within it, the
    // selection stays, so a menu can act on several rows.
    selection->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }
  UpdateCommandStates();
}

Selection MainWindow::SelectedRows() const {
  Selection selection;
  const QItemSelectionModel* selected = list_view_->selectionModel();
  for (int row = 0; row < proxy_->rowCount(); ++row) {
    if (selected->isRowSelected(row, QModelIndex())) {
      selection.handles.push_back(proxy_->index(row, 0).data(kHandleRole).toUInt());
    }
  }
  return selection;
}

}  // namespace quensaria::configurator
