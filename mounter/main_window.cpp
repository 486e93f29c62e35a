#include "mounter/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <algorithm>

#include "mounter/about_dialog.h"
#include "mounter/drive_list_model.h"
#include "mounter/drive_texts.h"
#include "mounter/settings_dialog.h"
#include "mounter/single_instance.h"
#include "mounter/user_prompts.h"
#include "mounter/widget_mount_dialogs.h"
#include "mounter/window_engine.h"
#include "mounter/window_texts.h"

// The icons live in this library's resources; a static library's
// resources are registered by hand.
static void InitWindowResources() { Q_INIT_RESOURCE(mounter_window); }

namespace quensaria::mounter {

namespace {

QString Utf8(const char* text) { return QString::fromUtf8(text); }

QIcon Icon(const char* name) {
  return QIcon(QStringLiteral(":/mounter/icons/%1.svg").arg(QLatin1String(name)));
}

QAction* MakeAction(QObject* parent, const char* object_name, const char* icon, const char* label,
                    const char* tip) {
  auto* action = new QAction(Icon(icon), Utf8(label), parent);
  action->setObjectName(QLatin1String(object_name));
  if (tip != nullptr) action->setToolTip(Utf8(tip));
  return action;
}

}  // namespace

MainWindow::MainWindow(WindowEngine& engine, UserPrompts& prompts, bool tray_available,
                       QWidget* parent)
    : QMainWindow(parent), engine_(engine), prompts_(prompts), tray_available_(tray_available) {
  InitWindowResources();
  setObjectName("mainWindow");
  setWindowTitle(QString::fromLatin1(kMounterTitle));
  setWindowIcon(Icon("velmoran-mounter"));
  dialogs_ = std::make_unique<WidgetMountDialogs>(
      this, engine_, prompts_, [this](const QString& text) { statusBar()->showMessage(text); },
      [this] { Refresh(); });

  model_ = new DriveListModel(this);
  list_ = new QTableView;
  list_->setObjectName("driveList");
  list_->setModel(model_);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setShowGrid(true);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 8);
  list_->horizontalHeader()->setSectionsMovable(true);
  list_->horizontalHeader()->setHighlightSections(false);
  list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  for (int c = 0; c < DriveListModel::kColumnCount; ++c) {
    list_->setColumnWidth(c, DriveListModel::InitialWidth(c));
  }
  setCentralWidget(list_);
  connect(list_, &QAbstractItemView::activated, this, &MainWindow::OpenSelectedDrive);

  BuildToolBar();
  QMenu* help = menuBar()->addMenu(Utf8(texts::kHelpMenu));
  QAction* about = help->addAction(Icon("velmoran-mounter"), Utf8(texts::kAboutEntry));
  about->setObjectName("actionAbout");
  connect(about, &QAction::triggered, this, &MainWindow::OpenAbout);
  statusBar()->setObjectName("statusBar");
  BuildTray();
  resize(500, 320);
  Refresh();
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildToolBar() {
  QToolBar* bar = addToolBar(QString());
  bar->setObjectName("toolBar");
  bar->setMovable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  bar->setIconSize(QSize(32, 32));
  QAction* mount = MakeAction(this, "actionMount", "mount", texts::kMount, texts::kMountTip);
  QAction* unmount =
      MakeAction(this, "actionUnmount", "unmount", texts::kUnmount, texts::kUnmountTip);
  QAction* remount =
      MakeAction(this, "actionRemount", "remount", texts::kRemount, texts::kRemountTip);
  QAction* refresh =
      MakeAction(this, "actionRefresh", "refresh", texts::kRefresh, texts::kRefreshTip);
  QAction* settings =
      MakeAction(this, "actionSettings", "settings", texts::kSettings, texts::kSettingsTip);
  QAction* hide = MakeAction(this, "actionHide", "hide", texts::kHide, texts::kHideTip);
  QAction* exit = MakeAction(this, "actionExit", "exit", texts::kExit, texts::kExitTip);
  bar->addAction(mount);
  bar->addAction(unmount);
  bar->addAction(remount);
  bar->addSeparator();
  bar->addAction(refresh);
  bar->addSeparator();
  bar->addAction(settings);
  bar->addSeparator();
  bar->addAction(hide);
  bar->addAction(exit);

  connect(mount, &QAction::triggered, this,
          [this] { MountFrom(static_cast<int>(FlowOrigin::kToolbar)); });
  connect(unmount, &QAction::triggered, this, [this] {
    const std::vector<char> letters = SelectedLetters();
    if (letters.empty()) {
      Refresh();  // nothing chosen: the list is only rescanned
      return;
    }
    engine_.UnmountSelected(*dialogs_, letters);
  });
  connect(remount, &QAction::triggered, this, [this] {
    const std::vector<char> letters = SelectedLetters();
    if (!letters.empty()) engine_.RemountSelected(*dialogs_, letters);
  });
  connect(refresh, &QAction::triggered, this, &MainWindow::Refresh);
  connect(settings, &QAction::triggered, this, &MainWindow::OpenSettings);
  connect(hide, &QAction::triggered, this, &MainWindow::HideWindow);
  connect(exit, &QAction::triggered, this, &MainWindow::exitRequested);
}

void MainWindow::BuildTray() {
  tray_ = new QSystemTrayIcon(Icon("velmoran-mounter"), this);
  tray_->setObjectName("trayIcon");
  tray_->setToolTip(Utf8(texts::kTrayTip));
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("trayMenu");
  tray_->setContextMenu(tray_menu_);
  connect(tray_menu_, &QMenu::aboutToShow, this, &MainWindow::RebuildTrayMenu);
  connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayActivated);
  RebuildTrayMenu();
  if (tray_available_) tray_->show();
}

void MainWindow::RebuildTrayMenu() {
  tray_menu_->clear();
  delete unmount_menu_;  // clear() leaves submenus alive
  unmount_menu_ = nullptr;
  QAction* show = tray_menu_->addAction(Icon("velmoran-mounter"), Utf8(texts::kShowMainWindow));
  show->setObjectName("trayShowMainWindow");
  tray_menu_->setDefaultAction(show);
  connect(show, &QAction::triggered, this, &MainWindow::ShowAndRaise);
  QAction* mount = tray_menu_->addAction(Icon("mount"), Utf8(texts::kTrayMount));
  mount->setObjectName("trayMount");
  connect(mount, &QAction::triggered, this,
          [this] { MountFrom(static_cast<int>(FlowOrigin::kTray)); });

  const std::vector<MountedDrive> drives = engine_.ListDrives();
  if (!drives.empty()) {
    QMenu* unmount = tray_menu_->addMenu(Icon("unmount"), Utf8(texts::kTrayUnmount));
    unmount_menu_ = unmount;
    unmount->setObjectName("trayUnmountMenu");
    unmount->menuAction()->setObjectName("trayUnmount");
    for (const MountedDrive& drive : drives) {
      QAction* item = unmount->addAction(TrayUnmountItemText(drive));
      item->setData(TrayUnmountCommand(drive.letter));
      const char letter = drive.letter;
      connect(item, &QAction::triggered, this,
              [this, letter] { engine_.UnmountFromTray(*dialogs_, letter); });
    }
  }
  QAction* settings = tray_menu_->addAction(Icon("settings"), Utf8(texts::kTraySettings));
  settings->setObjectName("traySettings");
  connect(settings, &QAction::triggered, this, &MainWindow::OpenSettings);
  tray_menu_->addSeparator();
  QAction* exit = tray_menu_->addAction(Icon("exit"), Utf8(texts::kTrayExit));
  exit->setObjectName("trayExit");
  connect(exit, &QAction::triggered, this, &MainWindow::exitRequested);
}

void MainWindow::Start(StartMode mode) {
  if (mode != StartMode::kHidden) {
    show();
  } else if (!tray_available_) {
    showMinimized();
  }
}

void MainWindow::ShowAndRaise() {
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::ToggleFromTray() {
  if (isVisible() && !isMinimized()) {
    HideWindow();
  } else {
    ShowAndRaise();
  }
}

void MainWindow::HideWindow() {
  if (tray_available_) {
    hide();
  } else {
    showMinimized();
  }
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimising leaves only the tray icon, where there is a tray.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_available_) {
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) hide();
    });
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit exitRequested();
}

void MainWindow::Refresh() {
  model_->SetDrives(engine_.ListDrives());
  // The columns open at their fixed widths; one whose texts would be cut
  // off in this font widens to fit them (never narrows a user's choice).
  for (int c = 0; c < DriveListModel::kColumnCount; ++c) {
    const int needed = std::max(static_cast<QAbstractItemView*>(list_)->sizeHintForColumn(c),
                                list_->horizontalHeader()->sectionSizeHint(c));
    if (list_->columnWidth(c) < needed) list_->setColumnWidth(c, needed);
  }
}

std::vector<char> MainWindow::SelectedLetters() const {
  QModelIndexList rows = list_->selectionModel()->selectedRows();
  // The flows take the rows in list order, whatever order they were picked.
  std::sort(rows.begin(), rows.end(), [this](const QModelIndex& a, const QModelIndex& b) {
    return list_->verticalHeader()->visualIndex(a.row()) <
           list_->verticalHeader()->visualIndex(b.row());
  });
  std::vector<char> letters;
  for (const QModelIndex& row : rows) letters.push_back(model_->drive(row.row()).letter);
  return letters;
}

void MainWindow::MountFrom(int origin) {
  engine_.AddAndMount(*dialogs_, static_cast<FlowOrigin>(origin));
}

void MainWindow::OpenSettings() {
  const SettingsDialogValues values = engine_.OpenSettings();
  SettingsDialog dialog(
      values.startAtLogOn, values.tempFolder,
      [this](bool start_at_log_on, const QString& folder) {
        return engine_.AcceptSettings(SettingsDialogValues{start_at_log_on, folder});
      },
      prompts_, this);
  dialog.exec();
}

void MainWindow::OpenAbout() {
  AboutDialog dialog(this);
  dialog.exec();
}

void MainWindow::OpenSelectedDrive(const QModelIndex& index) {
  if (!index.isValid()) return;
  const MountedDrive& drive = model_->drive(index.row());
  if (!drive.mountPoint.isEmpty()) prompts_.OpenInFileManager(drive.mountPoint);
}

void MainWindow::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::DoubleClick) ToggleFromTray();
}

}  // namespace quensaria::mounter
