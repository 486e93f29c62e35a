// The main window, tool bar, status bar and tray menu on the real
// MountManager over FakeDriver and FakeVolumes: which flow each control
// starts, with which rows, and where the flow's texts land. Boxes and texts
// go to RecordingPrompts; the add-device and password dialogs are the real
// ones, filled in as they open.
#include "mounter/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>
#include <memory>

#include "mounter/drive_list_model.h"
#include "mounter/driver_for_testing.h"
#include "mounter/flow_runner.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/widget_prompts.h"
#include "tests/qt_print_for_testing.h"

namespace quensaria::mounter {
namespace {

// Runs `answer` on the next modal dialog once it is open.
void WhenModal(std::function<void(QDialog*)> answer) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      answer(dialog);
    }
  });
  poll->start(10);
}

void ClickOk(QDialog* dialog) {
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}

QString Cell(const QTableView* list, int row, int column) {
  return list->model()->index(row, column).data().toString();
}

// Answers the next question box with Yes.
void AnswerYes() {
  WhenModal([](QDialog* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    ASSERT_TRUE(box != nullptr);
    box->button(QMessageBox::Yes)->click();
  });
}

constexpr char kProgram[] = "/usr/bin/velmoran-mounter";

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    prompts_.dialogs = &dialogs_;
    // The add-device dialog opens on a server, as after an earlier mount:
    // its first default, 0.0.0.0, is refused.
    AddDeviceDefaults defaults;
    defaults.ipAddress = 0x7F000001;
    mounter_.settings.WriteAddDeviceDefaults(defaults);
  }

  MounterForTesting mounter_;
  FakeDriver& driver_ = mounter_.driver;
  RecordingPrompts prompts_{false};
  WidgetPrompts dialogs_;

  // The window on the test's prompts (null: on its own).
  std::unique_ptr<MainWindow> Open(bool tray_available = true) {
    return OpenOn(&prompts_, tray_available);
  }
  std::unique_ptr<MainWindow> OpenOn(UserPrompts* prompts, bool tray_available = true) {
    return std::make_unique<MainWindow>(mounter_.manager, mounter_.settings,
                                        QString::fromLatin1(kProgram), tray_available, prompts);
  }
  // A drive mounted as the user had it (behind the window's back).
  void Mount(int index, const MountRecord& record) {
    const Status mounted =
        mounter_.manager.MountOnDevice(index, record, static_cast<char>(record.driveLetter));
    ASSERT_TRUE(mounted.ok()) << mounted.message();
  }

  QAction* Action(MainWindow& window, const char* name) {
    auto* action = window.findChild<QAction*>(QLatin1String(name));
    if (action == nullptr) qFatal("no action %s", name);
    return action;
  }
  // Waits until the flow a control started has ended.
  static bool Idle(MainWindow& window) {
    return QTest::qWaitFor(
        [&] { return !window.flowRunning() && window.flowRunner()->threads() == 0; }, 20000);
  }
  void SelectRows(MainWindow& window, std::initializer_list<int> rows) {
    QTableView* list = window.driveList();
    list->clearSelection();
    for (const int row : rows) {
      list->selectionModel()->select(list->model()->index(row, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
};

TEST_F(MainWindowTest, ListShowsTheDrivesWithTheirColumns) {
  ServerConnection server;
  ASSERT_TRUE(server.up());
  Mount(0, NetworkRecord('D', "127.0.0.1", server.port(), uint64_t{3} << 29, true));
  Mount(1, ImageRecord('H', "/srv/images/a.img", 0));
  const QString source = QStringLiteral("127.0.0.1 : %1").arg(server.port());
  auto window = Open();
  ASSERT_EQ(window->windowTitle(), QStringLiteral("Velmoran Client Mounter"));
  QTableView* list = window->driveList();
  ASSERT_EQ(list->model()->rowCount(), 2);
  const QStringList headers{"Device", "Location", "Capacity", "Access", "Source"};
  const int widths[] = {80, 210, 65, 70, 160};
  ASSERT_EQ(list->model()->columnCount(), 5);
  for (int c = 0; c < 5; ++c) {
    ASSERT_EQ(list->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
    // At least the fixed width, and wide enough for every text in it.
    ASSERT_TRUE(list->horizontalHeader()->sectionSize(c) >= widths[c]);
    ASSERT_TRUE(list->horizontalHeader()->sectionSize(c) >=
                static_cast<QAbstractItemView*>(list)->sizeHintForColumn(c));
  }
  ASSERT_EQ(Cell(list, 0, 0), QStringLiteral("D:"));
  // Location: where the file system is; Source: the server or the image.
  ASSERT_EQ(Cell(list, 0, 1), QStringLiteral("/media/velmoran/D"));
  ASSERT_EQ(Cell(list, 0, 2), QStringLiteral("1.50G"));
  ASSERT_EQ(Cell(list, 0, 3), QStringLiteral("VirtualWrite"));
  ASSERT_EQ(Cell(list, 0, 4), source);
  ASSERT_EQ(Cell(list, 1, 1), QStringLiteral("/media/velmoran/H"));
  ASSERT_EQ(Cell(list, 1, 2), QStringLiteral("0.00K"));
  ASSERT_EQ(Cell(list, 1, 3), QStringLiteral("Full"));
  ASSERT_EQ(Cell(list, 1, 4), QStringLiteral("/srv/images/a.img"));
  // The location's tool tip names the source too.
  ASSERT_EQ(list->model()->index(0, 1).data(Qt::ToolTipRole).toString(),
            QStringLiteral("/media/velmoran/D\n") + source);
  ASSERT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  ASSERT_TRUE(list->showGrid());
  ASSERT_TRUE(list->horizontalHeader()->sectionsMovable());

  // Refresh rescans: a drive that went is gone from the list; one whose
  // connection is down says so, greyed.
  ASSERT_TRUE(mounter_.manager.UnmountDrive('H').ok());
  server.Close();
  Action(*window, "actionRefresh")->trigger();
  ASSERT_EQ(list->model()->rowCount(), 1);
  ASSERT_EQ(Cell(list, 0, 4), source + QStringLiteral(" (disconnected)"));
  ASSERT_EQ(list->model()->index(0, 4).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::gray));
}

TEST_F(MainWindowTest, ToolBarHasTheButtonsInOrderWithTooltips) {
  auto window = Open();
  auto* bar = window->findChild<QToolBar*>("toolBar");
  QStringList order;
  for (QAction* action : bar->actions()) {
    order.append(action->isSeparator() ? QStringLiteral("|") : action->objectName());
  }
  ASSERT_EQ(order,
            (QStringList{"actionMount", "actionUnmount", "actionRemount", "|", "actionRefresh", "|",
                         "actionSettings", "|", "actionHide", "actionExit"}));
  ASSERT_EQ(Action(*window, "actionMount")->toolTip(),
            QStringLiteral("挂载网络磁盘或虚拟镜像磁盘"));
  ASSERT_EQ(Action(*window, "actionExit")->toolTip(), QStringLiteral("退出本程序"));
  for (QAction* action : bar->actions()) {
    if (action->isSeparator()) continue;
    ASSERT_TRUE(!action->icon().isNull()) << qPrintable(action->objectName());
    ASSERT_TRUE(!action->toolTip().isEmpty() && action->toolTip() != action->text())
        << qPrintable(action->objectName());
  }
}

TEST_F(MainWindowTest, TrayMenuListsMountedDrivesAndDropsTheSubmenuWithoutThem) {
  auto window = Open();
  window->RebuildTrayMenu();
  QStringList entries;
  for (QAction* action : window->trayMenu()->actions()) {
    if (!action->isSeparator()) entries.append(action->objectName());
  }
  ASSERT_EQ(entries, (QStringList{"trayShowMainWindow", "trayMount", "traySettings", "trayExit"}));

  Mount(0, NetworkRecord('D', "10.0.0.5", 60000, uint64_t{3} << 29, false));
  Mount(1, ImageRecord('K', "/srv/k.img", uint64_t{1} << 20));
  window->RebuildTrayMenu();
  auto* submenu = window->trayMenu()->findChild<QMenu*>("trayUnmountMenu");
  ASSERT_TRUE(submenu != nullptr);
  ASSERT_EQ(window->trayMenu()->actions().at(2), submenu->menuAction());
  ASSERT_EQ(submenu->actions().size(), 2);
  ASSERT_EQ(submenu->actions()[0]->text(), QStringLiteral(" D: (10.0.0.5 : 60000)"));
  ASSERT_EQ(submenu->actions()[0]->data().toInt(), 0x9000 + 'D');
  ASSERT_EQ(submenu->actions()[1]->text(), QStringLiteral(" K:(/srv/k.img)"));

  submenu->actions()[1]->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.unmounts(), std::vector<char>{'K'});
  ASSERT_EQ(prompts_.messages, QStringList{"Unmount success"});  // a box, not the status bar
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_EQ(window->driveList()->model()->rowCount(), 1);  // the flow refreshed the list

  ASSERT_TRUE(mounter_.manager.UnmountDrive('D').ok());
  window->RebuildTrayMenu();
  ASSERT_TRUE(window->trayMenu()->findChild<QMenu*>("trayUnmountMenu") == nullptr);
}

// A tray item's flow rebuilds the tray menu; the item and its submenu must
// outlive the click that is still being handled in them (a real click then
// wrote into the freed submenu).
TEST_F(MainWindowTest, ATrayItemsMenuOutlivesTheClickThatStartsItsFlow) {
  auto window = Open();
  Mount(1, ImageRecord('K', "/srv/k.img", uint64_t{1} << 20));
  window->RebuildTrayMenu();
  QPointer<QMenu> submenu = window->trayMenu()->findChild<QMenu*>("trayUnmountMenu");
  ASSERT_TRUE(submenu != nullptr);
  QPointer<QAction> item = submenu->actions()[0];
  item->trigger();
  EXPECT_FALSE(submenu.isNull()) << "the submenu was deleted inside its own item's signal";
  EXPECT_FALSE(item.isNull()) << "the item was deleted inside its own signal";
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.unmounts(), std::vector<char>{'K'});

  QPointer<QAction> mount = window->trayMenu()->findChild<QAction*>("trayMount");
  ASSERT_TRUE(mount != nullptr);
  mount->trigger();  // the add-device dialog is cancelled
  EXPECT_FALSE(mount.isNull()) << "the mount item was deleted inside its own signal";
  ASSERT_TRUE(Idle(*window));
}

TEST_F(MainWindowTest, ToolBarMountShowsItsResultInTheStatusBar) {
  ServerConnection server;
  ASSERT_TRUE(server.up());
  auto window = Open();
  const QString port = QString::number(server.port());
  WhenModal([port](QDialog* dialog) {
    ASSERT_EQ(dialog->objectName(), QStringLiteral("addDeviceDialog"));
    dialog->findChild<QLineEdit*>("serverAddress")->setText(QStringLiteral("127.0.0.1"));
    dialog->findChild<QLineEdit*>("port")->setText(port);
    dialog->findChild<QComboBox*>("driveLetter")->setCurrentIndex(1);
    ClickOk(dialog);
  });
  Action(*window, "actionMount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.mounts(), std::vector<char>{'E'});
  // The second letter offered (D: is the first), with the port typed.
  const Result<MountRecord> mounted = mounter_.manager.QueryDrive('E');
  ASSERT_TRUE(mounted.ok());
  ASSERT_EQ(ntohs(mounted->serverPort), server.port());
  ASSERT_EQ(prompts_.status_texts, QStringList{QStringLiteral("Mount successfully")});
  ASSERT_TRUE(prompts_.messages.isEmpty());
  ASSERT_EQ(window->driveList()->model()->rowCount(), 1);  // the flow refreshed the list
  ASSERT_EQ(Cell(window->driveList(), 0, 0), QStringLiteral("E:"));
  ASSERT_EQ(Cell(window->driveList(), 0, 4), QStringLiteral("127.0.0.1 : ") + port);
}

// Without prompts of its own the window shows the flows' texts itself.
TEST_F(MainWindowTest, OnItsOwnPromptsAFlowsTextLandsInTheStatusBar) {
  Mount(0, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20));
  auto window = OpenOn(nullptr);
  SelectRows(*window, {0});
  AnswerYes();  // the remount's question, in a box of the window's own
  Action(*window, "actionRemount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.unmounts(), std::vector<char>{'G'});
  ASSERT_EQ(driver_.mounts(), (std::vector<char>{'G', 'G'}));
  ASSERT_EQ(window->statusText(), QStringLiteral("Remount successfully"));
}

TEST_F(MainWindowTest, TrayMountShowsItsResultInABoxAndAsksForThePassword) {
  driver_.RequirePassword("secret");
  auto window = Open();
  WhenModal([](QDialog* add) {
    ClickOk(add);
    WhenModal([](QDialog* password) {
      ASSERT_EQ(password->objectName(), QStringLiteral("passwordDialog"));
      password->findChild<QLineEdit*>("password")->setText(QStringLiteral("secret"));
      ClickOk(password);
    });
  });
  window->RebuildTrayMenu();
  window->trayMenu()->findChild<QAction*>("trayMount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(prompts_.messages, QStringList{QStringLiteral("Mount success")});
  ASSERT_EQ(prompts_.password_reasons, std::vector<PasswordPrompt>{PasswordPrompt::kNeeded});
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_EQ(window->statusText(), QString());
  ASSERT_EQ(driver_.mounts().size(), size_t{1});
}

TEST_F(MainWindowTest, CancelledMountShowsNothing) {
  auto window = Open();
  WhenModal([](QDialog* dialog) { dialog->reject(); });
  Action(*window, "actionMount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_TRUE(driver_.mounts().empty());
  ASSERT_EQ(window->statusText(), QString());
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_TRUE(prompts_.messages.isEmpty());
}

TEST_F(MainWindowTest, UnmountAndRemountTakeTheSelectedRowsInListOrder) {
  Mount(0, NetworkRecord('D', "10.0.0.5", 60000, uint64_t{3} << 29, false));
  Mount(1, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20));
  Mount(2, ImageRecord('M', "/srv/m.img", uint64_t{1} << 20));
  auto window = Open();
  ASSERT_EQ(window->driveList()->model()->rowCount(), 3);
  // Nothing selected: unmount only rescans (and finds a drive mounted
  // meanwhile), remount does nothing.
  Mount(3, ImageRecord('P', "/srv/p.img", uint64_t{1} << 20));
  Action(*window, "actionUnmount")->trigger();
  ASSERT_EQ(window->driveList()->model()->rowCount(), 4);
  Action(*window, "actionRemount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_TRUE(driver_.unmounts().empty());
  ASSERT_TRUE(prompts_.questions.isEmpty());

  SelectRows(*window, {2, 0});
  prompts_.answers = {true};
  Action(*window, "actionUnmount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.unmounts(), (std::vector<char>{'D', 'M'}));
  ASSERT_EQ(prompts_.questions,
            QStringList{QStringLiteral("Do you want to unmount these devices?")});
  ASSERT_EQ(prompts_.status, QStringLiteral("Unmount successfully"));
  ASSERT_EQ(window->driveList()->model()->rowCount(), 2);
  ASSERT_EQ(Cell(window->driveList(), 0, 0), QStringLiteral("G:"));

  SelectRows(*window, {0});
  prompts_.answers = {true};
  Action(*window, "actionRemount")->trigger();
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(driver_.unmounts(), (std::vector<char>{'D', 'M', 'G'}));
  ASSERT_EQ(driver_.mounts(), (std::vector<char>{'D', 'G', 'M', 'P', 'G'}));
  ASSERT_EQ(prompts_.status, QStringLiteral("Remount successfully"));
}

TEST_F(MainWindowTest, ActivatingARowOpensItsMountPoint) {
  Mount(0, NetworkRecord('D', "10.0.0.5", 60000, uint64_t{3} << 29, false));
  auto window = Open();
  emit window->driveList()->activated(window->driveList()->model()->index(0, 2));
  ASSERT_EQ(prompts_.opened, QStringList{QStringLiteral("/media/velmoran/D")});
}

TEST_F(MainWindowTest, SettingsOpenWithTheSavedValuesAndStoreTheAnswers) {
  const QString saved = QString::fromStdString(mounter_.dir.File("vc")) + QLatin1Char('/');
  const QString chosen = QString::fromStdString(mounter_.dir.File("other")) + QLatin1Char('/');
  ASSERT_TRUE(QDir().mkpath(saved));
  mounter_.settings.SetTempFolder(saved);
  ASSERT_TRUE(mounter_.settings.WriteLogOnEntry(QString::fromLatin1(kProgram)));
  auto window = Open();
  WhenModal([&](QDialog* dialog) {
    ASSERT_EQ(dialog->objectName(), QStringLiteral("settingsDialog"));
    ASSERT_EQ(dialog->findChild<QLineEdit*>("tempFolder")->text(), saved);
    dialog->findChild<QLineEdit*>("tempFolder")->setText(chosen);
    ClickOk(dialog);
  });
  Action(*window, "actionSettings")->trigger();
  ASSERT_EQ(mounter_.settings.GetTempFolder(), chosen);
  ASSERT_TRUE(QFileInfo(chosen).isDir());  // made for the caches
  ASSERT_TRUE(mounter_.settings.HasLogOnEntry());
}

TEST_F(MainWindowTest, SettingsCancelledAfterAFailedRepairOfTheLogOnEntrySayIt) {
  // A folder in the entry's place: the entry is there but cannot be rewritten.
  ASSERT_TRUE(QDir().mkpath(mounter_.settings.LogOnEntryPath()));
  ASSERT_TRUE(mounter_.settings.HasLogOnEntry());
  auto window = Open();
  WhenModal([](QDialog* dialog) { dialog->reject(); });
  Action(*window, "actionSettings")->trigger();
  ASSERT_EQ(prompts_.messages,
            QStringList{QStringLiteral("The log-on entry %1 could not be written.")
                            .arg(mounter_.settings.LogOnEntryPath())});

  // A repair that works says nothing.
  prompts_.messages.clear();
  ASSERT_TRUE(QDir(mounter_.settings.LogOnEntryPath()).removeRecursively());
  ASSERT_TRUE(mounter_.settings.WriteLogOnEntry(QStringLiteral("/opt/old/velmoran-mounter")));
  WhenModal([](QDialog* dialog) { dialog->reject(); });
  Action(*window, "actionSettings")->trigger();
  ASSERT_EQ(prompts_.messages, QStringList{});
}

TEST_F(MainWindowTest, HidingGoesToTheTrayOrMinimisesWithoutOne) {
  mounter_.settings.WriteDrive(0, ImageRecord('S', "/srv/s.img", uint64_t{1} << 20));
  {
    auto window = Open();
    window->Start(StartMode::kHidden);
    ASSERT_TRUE(!window->isVisible());
    // The log-on start brings the saved drives back.
    ASSERT_TRUE(Idle(*window));
    ASSERT_EQ(driver_.mounts(), std::vector<char>{'S'});
    ASSERT_TRUE(mounter_.manager.QueryDrive('S').ok());
    window->ToggleFromTray();
    ASSERT_TRUE(window->isVisible());
    window->ToggleFromTray();
    ASSERT_TRUE(!window->isVisible());
    ASSERT_TRUE(mounter_.manager.UnmountDrive('S').ok());
    window->Start(StartMode::kNormal);
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(Idle(*window));
    ASSERT_EQ(driver_.mounts().size(), size_t{1});  // a normal start leaves them
    Action(*window, "actionHide")->trigger();
    ASSERT_TRUE(!window->isVisible());
    window->ShowAndRaise();
    window->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }));
  }
  {
    auto window = Open(false);
    window->Start(StartMode::kHidden);
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(window->isMinimized());
    ASSERT_TRUE(Idle(*window));
    ASSERT_EQ(driver_.mounts(), (std::vector<char>{'S', 'S'}));
    window->ShowAndRaise();
    ASSERT_TRUE(!window->isMinimized());
    Action(*window, "actionHide")->trigger();
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(window->isMinimized());
  }
}

TEST_F(MainWindowTest, ExitFromToolBarTrayAndCloseEndsTheProgram) {
  auto window = Open();
  QSignalSpy exits(window.get(), &MainWindow::exitRequested);
  Action(*window, "actionExit")->trigger();
  window->trayMenu()->findChild<QAction*>("trayExit")->trigger();
  window->show();
  window->close();
  ASSERT_EQ(exits.count(), 3);
}

// A mount that waits in the driver: the window's event loop runs on, the
// status bar says what is under way with a cancel button, the other flows
// are off, and cancel frees the window at once; the flow ends by itself
// once the driver answers, takes the mount back and shows nothing more.
TEST_F(MainWindowTest, AWaitingMountLeavesTheWindowResponsiveAndCanBeCancelled) {
  auto window = Open();
  window->show();
  driver_.HoldNextMount();
  WhenModal([](QDialog* dialog) { ClickOk(dialog); });
  Action(*window, "actionMount")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return driver_.Holding(); }, 20000));

  // The loop keeps running: timers fire, the list refreshes, the window paints.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 5; }, 5000));
  Mount(5, ImageRecord('K', "/srv/k.img", uint64_t{1} << 20));
  Action(*window, "actionRefresh")->trigger();
  ASSERT_EQ(window->driveList()->model()->rowCount(), 1);  // K:, not the mount under way
  ASSERT_TRUE(window->flowRunning());
  auto* pane = window->findChild<QWidget*>("flowPane");
  ASSERT_TRUE(pane != nullptr && pane->isVisible());
  const QString progress = window->findChild<QLabel*>("flowProgress")->toolTip();
  ASSERT_TRUE(progress.startsWith(QStringLiteral("Mounting D: (")) && progress.endsWith("..."))
      << qPrintable(progress);
  ASSERT_FALSE(Action(*window, "actionMount")->isEnabled());
  ASSERT_FALSE(Action(*window, "actionUnmount")->isEnabled());
  ASSERT_FALSE(Action(*window, "actionRemount")->isEnabled());
  window->RebuildTrayMenu();
  ASSERT_FALSE(window->trayMenu()->findChild<QAction*>("trayMount")->isEnabled());

  window->findChild<QToolButton*>("cancelFlow")->click();
  ASSERT_FALSE(window->flowRunning());
  ASSERT_FALSE(pane->isVisible());
  ASSERT_EQ(window->statusText(), QStringLiteral("Mount cancelled."));
  ASSERT_TRUE(Action(*window, "actionMount")->isEnabled());
  ASSERT_EQ(window->flowRunner()->threads(), size_t{1});  // still in the "driver"

  // The driver answers: the flow sees it was cancelled, takes the mount
  // back, saves and shows nothing.
  driver_.Release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->flowRunner()->threads() == 0; }, 20000));
  ASSERT_EQ(driver_.mounts(), (std::vector<char>{'K', 'D'}));
  ASSERT_EQ(driver_.unmounts(), std::vector<char>{'D'});
  ASSERT_FALSE(mounter_.manager.QueryDrive('D').ok());
  ASSERT_FALSE(mounter_.settings.ReadDrive(0).has_value());
  ASSERT_EQ(window->statusText(), QStringLiteral("Mount cancelled."));
  ASSERT_TRUE(prompts_.messages.isEmpty());
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_EQ(window->driveList()->model()->rowCount(), 1);
}

// The status bar never cuts a message off unreadably, and a new flow
// clears an old error.
TEST_F(MainWindowTest, StatusTextsAreWholeInTheirToolTipAndOldErrorsGo) {
  auto window = Open();
  window->show();
  const QString long_text = QStringLiteral("Unmount error: ") + QString(300, QLatin1Char('x'));
  window->ShowStatus(long_text);
  auto* line = window->findChild<QLabel*>("statusLine");
  ASSERT_TRUE(line != nullptr);
  ASSERT_EQ(line->toolTip(), long_text);
  ASSERT_TRUE(line->text().size() < long_text.size());
  ASSERT_TRUE(line->text().endsWith(QChar(0x2026)));  // "..."
  ASSERT_EQ(window->statusText(), long_text);
  WhenModal([](QDialog* dialog) { ClickOk(dialog); });
  window->RebuildTrayMenu();
  window->trayMenu()->findChild<QAction*>("trayMount")->trigger();  // succeeds in a box
  ASSERT_TRUE(Idle(*window));
  ASSERT_EQ(prompts_.messages, QStringList{QStringLiteral("Mount success")});
  ASSERT_EQ(window->statusText(), QString());
}

TEST_F(MainWindowTest, AboutEntryShowsTheVersion) {
  auto window = Open();
  bool seen = false;
  WhenModal([&seen](QDialog* dialog) {
    seen = dialog->objectName() == QStringLiteral("aboutDialog");
    dialog->accept();
  });
  Action(*window, "actionAbout")->trigger();
  ASSERT_TRUE(seen);
}

}  // namespace

}  // namespace quensaria::mounter
