#include "mounter/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>

#include "mounter/about_dialog.h"
#include "mounter/drive_list_model.h"
#include "mounter/drive_texts.h"
#include "mounter/flow_runner.h"
#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/settings_dialog.h"
#include "mounter/single_instance.h"
#include "mounter/status_line.h"
#include "mounter/widget_prompts.h"
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

MainWindow::MainWindow(MountManager& manager, MounterSettings& settings, QString program_path,
                       bool tray_available, UserPrompts* prompts, QWidget* parent)
    : QMainWindow(parent),
      manager_(manager),
      settings_(settings),
      program_path_(std::move(program_path)),
      tray_available_(tray_available),
      prompts_(prompts) {
  InitWindowResources();
  setObjectName("mainWindow");
  setWindowTitle(QString::fromLatin1(kMounterTitle));
  setWindowIcon(Icon("velmoran-mounter"));
  if (prompts_ == nullptr) {
    own_prompts_ = std::make_unique<WidgetPrompts>(this);
    prompts_ = own_prompts_.get();
  }
  runner_ = std::make_unique<FlowRunner>(*prompts_);
  connect(runner_.get(), &FlowRunner::listChanged, this, &MainWindow::Refresh);
  connect(runner_.get(), &FlowRunner::busyChanged, this, &MainWindow::FlowBusyChanged);
  connect(runner_.get(), &FlowRunner::flowEnded, this, [this](bool cancelled) {
    // A flow given up has finished in the background: show what it left.
    if (cancelled) Refresh();
  });

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
  BuildStatusBar();
  if (own_prompts_) own_prompts_->SetStatusLine(status_line_);
  BuildTray();
  Refresh();
  // Wide enough for every column as it opens, the Source column included.
  const int columns = list_->horizontalHeader()->length() + 2 * list_->frameWidth() +
                      list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
  resize(std::max(500, columns), 320);
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
  mount_ = mount;
  unmount_ = unmount;
  remount_ = remount;
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
    RunFlow([this, letters](UserPrompts& p) { manager_.UnmountSelected(p, letters); },
            Utf8(texts::kUnmountCancelled));
  });
  connect(remount, &QAction::triggered, this, [this] {
    const std::vector<char> letters = SelectedLetters();
    if (letters.empty()) return;
    RunFlow([this, letters](UserPrompts& p) { manager_.RemountSelected(p, letters); },
            Utf8(texts::kRemountCancelled));
  });
  connect(refresh, &QAction::triggered, this, &MainWindow::Refresh);
  connect(settings, &QAction::triggered, this, &MainWindow::OpenSettings);
  connect(hide, &QAction::triggered, this, &MainWindow::HideWindow);
  connect(exit, &QAction::triggered, this, &MainWindow::exitRequested);
}

void MainWindow::BuildStatusBar() {
  statusBar()->setObjectName("statusBar");
  status_line_ = new StatusLine;
  statusBar()->addWidget(status_line_, 1);
  // What a running flow waits for, and the way to stop waiting.
  busy_pane_ = new QWidget;
  busy_pane_->setObjectName("flowPane");
  auto* layout = new QHBoxLayout(busy_pane_);
  layout->setContentsMargins(0, 0, 0, 0);
  progress_label_ = new QLabel;
  progress_label_->setObjectName("flowProgress");
  auto* bar = new QProgressBar;
  bar->setRange(0, 0);  // no end known: it only shows that something runs
  bar->setMaximumWidth(60);
  bar->setMaximumHeight(progress_label_->fontMetrics().height());
  bar->setTextVisible(false);
  auto* cancel = new QToolButton;
  cancel->setObjectName("cancelFlow");
  cancel->setText(Utf8(texts::kCancelFlow));
  cancel->setToolTip(Utf8(texts::kCancelFlowTip));
  connect(cancel, &QToolButton::clicked, this, &MainWindow::CancelFlow);
  layout->addWidget(progress_label_);
  layout->addWidget(bar);
  layout->addWidget(cancel);
  statusBar()->addPermanentWidget(busy_pane_);
  busy_pane_->hide();
  // Shown once the flow waits for something (not while its dialogs are
  // open), until it ends or is cancelled.
  connect(runner_.get(), &FlowRunner::progressChanged, this, [this](const QString& text) {
    if (!runner_->busy()) return;
    progress_label_->setText(
        progress_label_->fontMetrics().elidedText(text, Qt::ElideMiddle, width() / 2));
    progress_label_->setToolTip(text);
    busy_pane_->show();
  });
}

void MainWindow::ShowStatus(const QString& text) { status_line_->SetMessage(text); }

QString MainWindow::statusText() const { return status_line_->message(); }

bool MainWindow::flowRunning() const { return runner_->busy(); }

void MainWindow::RunFlow(std::function<void(UserPrompts&)> flow, const QString& cancelled_text) {
  if (runner_->busy()) return;
  // A result of earlier is no longer the news.
  ShowStatus(QString());
  cancelled_text_ = cancelled_text;
  runner_->Start(std::move(flow));
}

void MainWindow::CancelFlow() {
  if (!runner_->busy()) return;
  runner_->Cancel();
  ShowStatus(cancelled_text_);
}

void MainWindow::FlowBusyChanged(bool busy) {
  for (QAction* action : {mount_, unmount_, remount_}) action->setEnabled(!busy);
  if (!busy) busy_pane_->hide();
  // Not at once: a flow started from a tray item gets here inside that
  // item's click, and the rebuild deletes the item and its submenu.
  QTimer::singleShot(0, this, &MainWindow::RebuildTrayMenu);
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
  const bool idle = runner_ == nullptr || !runner_->busy();
  QAction* mount = tray_menu_->addAction(Icon("mount"), Utf8(texts::kTrayMount));
  mount->setObjectName("trayMount");
  mount->setEnabled(idle);
  connect(mount, &QAction::triggered, this,
          [this] { MountFrom(static_cast<int>(FlowOrigin::kTray)); });

  const std::vector<MountedDrive> drives = manager_.ListDrives();
  if (!drives.empty()) {
    QMenu* unmount = tray_menu_->addMenu(Icon("unmount"), Utf8(texts::kTrayUnmount));
    unmount_menu_ = unmount;
    unmount->setObjectName("trayUnmountMenu");
    unmount->menuAction()->setObjectName("trayUnmount");
    unmount->setEnabled(idle);
    for (const MountedDrive& drive : drives) {
      QAction* item = unmount->addAction(TrayUnmountItemText(drive));
      item->setData(TrayUnmountCommand(drive.letter));
      const char letter = drive.letter;
      connect(item, &QAction::triggered, this, [this, letter] {
        RunFlow([this, letter](UserPrompts& p) { manager_.UnmountFromTray(p, letter); },
                Utf8(texts::kUnmountCancelled));
      });
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
    return;
  }
  if (!tray_available_) showMinimized();
  // The log-on start: the saved drives come back, as "-automount" brings
  // them (50 passes 3 s apart), but ending once all are there, and with the
  // password asked for.
  RunFlow(
      [this](UserPrompts& p) {
        (void)manager_.MountSavedDrives(&p, 50, std::chrono::milliseconds(3000));
      },
      Utf8(texts::kSavedDrivesCancelled));
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
  model_->SetDrives(manager_.ListDrives());
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
  const auto from = static_cast<FlowOrigin>(origin);
  RunFlow([this, from](UserPrompts& p) { manager_.AddAndMount(p, from); },
          Utf8(texts::kMountCancelled));
}

void MainWindow::OpenSettings() {
  const SettingsDialogValues values = OpenSettingsDialog(settings_, program_path_);
  SettingsDialog dialog(
      values.startAtLogOn, values.tempFolder,
      [this](bool start_at_log_on, const QString& folder) {
        return AcceptSettingsDialog(settings_, program_path_,
                                    SettingsDialogValues{start_at_log_on, folder});
      },
      *prompts_, this);
  // OK writes the entry again and says when it fails; a cancel would leave
  // the failed repair unsaid and the entry starting the old program.
  if (dialog.exec() != QDialog::Accepted && !values.logOnEntryRepaired) {
    prompts_->Message(QStringLiteral("The log-on entry %1 could not be written.")
                          .arg(settings_.LogOnEntryPath()));
  }
}

void MainWindow::OpenAbout() {
  AboutDialog dialog(this);
  dialog.exec();
}

void MainWindow::OpenSelectedDrive(const QModelIndex& index) {
  if (!index.isValid()) return;
  const MountedDrive& drive = model_->drive(index.row());
  if (!drive.mountPoint.isEmpty()) prompts_->OpenInFileManager(drive.mountPoint);
}

void MainWindow::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::DoubleClick) ToggleFromTray();
}

}  // namespace quensaria::mounter
