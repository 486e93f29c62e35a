// The main window, tool bar, status bar and tray menu against
// RecordingLogic: which flow each control starts, with which rows, and
// where the flow's texts land. Boxes and texts go to RecordingPrompts; the
// add-device and password dialogs are the real ones, filled in as they open.
#include "mounter/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <functional>

#include "mounter/drive_list_model.h"
#include "mounter/flow_runner.h"
#include "mounter/mounter_logic_for_testing.h"
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

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() { prompts_.dialogs = &dialogs_; }

  RecordingLogic logic_;
  RecordingPrompts prompts_{false};
  WidgetPrompts dialogs_;

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
  logic_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", true),
                   FakeImageDrive('H', "/srv/images/a.img", "0.00K")};
  MainWindow window(logic_, true, &prompts_);
  ASSERT_EQ(window.windowTitle(), QStringLiteral("Velmoran Client Mounter"));
  QTableView* list = window.driveList();
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
  ASSERT_EQ(Cell(list, 0, 4), QStringLiteral("10.0.0.5 : 60000"));
  ASSERT_EQ(Cell(list, 1, 1), QStringLiteral("/media/velmoran/H"));
  ASSERT_EQ(Cell(list, 1, 3), QStringLiteral("Full"));
  ASSERT_EQ(Cell(list, 1, 4), QStringLiteral("/srv/images/a.img"));
  // The location's tool tip names the source too.
  ASSERT_EQ(list->model()->index(0, 1).data(Qt::ToolTipRole).toString(),
            QStringLiteral("/media/velmoran/D\n10.0.0.5 : 60000"));
  ASSERT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  ASSERT_TRUE(list->showGrid());
  ASSERT_TRUE(list->horizontalHeader()->sectionsMovable());

  // Refresh rescans: a drive that went is gone from the list; one whose
  // connection is down says so, greyed.
  logic_.drives.pop_back();
  logic_.drives[0].connected = false;
  Action(window, "actionRefresh")->trigger();
  ASSERT_EQ(list->model()->rowCount(), 1);
  ASSERT_EQ(Cell(list, 0, 4), QStringLiteral("10.0.0.5 : 60000 (disconnected)"));
  ASSERT_EQ(list->model()->index(0, 4).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::gray));
}

TEST_F(MainWindowTest, ToolBarHasTheButtonsInOrderWithTooltips) {
  MainWindow window(logic_, true, &prompts_);
  auto* bar = window.findChild<QToolBar*>("toolBar");
  QStringList order;
  for (QAction* action : bar->actions()) {
    order.append(action->isSeparator() ? QStringLiteral("|") : action->objectName());
  }
  ASSERT_EQ(order,
            (QStringList{"actionMount", "actionUnmount", "actionRemount", "|", "actionRefresh", "|",
                         "actionSettings", "|", "actionHide", "actionExit"}));
  ASSERT_EQ(Action(window, "actionMount")->toolTip(), QStringLiteral("挂载网络磁盘或虚拟镜像磁盘"));
  ASSERT_EQ(Action(window, "actionExit")->toolTip(), QStringLiteral("退出本程序"));
  for (QAction* action : bar->actions()) {
    if (action->isSeparator()) continue;
    ASSERT_TRUE(!action->icon().isNull()) << qPrintable(action->objectName());
    ASSERT_TRUE(!action->toolTip().isEmpty() && action->toolTip() != action->text())
        << qPrintable(action->objectName());
  }
}

TEST_F(MainWindowTest, TrayMenuListsMountedDrivesAndDropsTheSubmenuWithoutThem) {
  MainWindow window(logic_, true, &prompts_);
  window.RebuildTrayMenu();
  QStringList entries;
  for (QAction* action : window.trayMenu()->actions()) {
    if (!action->isSeparator()) entries.append(action->objectName());
  }
  ASSERT_EQ(entries, (QStringList{"trayShowMainWindow", "trayMount", "traySettings", "trayExit"}));

  logic_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false),
                   FakeImageDrive('K', "/srv/k.img", "1.00M")};
  window.RebuildTrayMenu();
  auto* submenu = window.trayMenu()->findChild<QMenu*>("trayUnmountMenu");
  ASSERT_TRUE(submenu != nullptr);
  ASSERT_EQ(window.trayMenu()->actions().at(2), submenu->menuAction());
  ASSERT_EQ(submenu->actions().size(), 2);
  ASSERT_EQ(submenu->actions()[0]->text(), QStringLiteral(" D: (10.0.0.5 : 60000)"));
  ASSERT_EQ(submenu->actions()[0]->data().toInt(), 0x9000 + 'D');
  ASSERT_EQ(submenu->actions()[1]->text(), QStringLiteral(" K:(/srv/k.img)"));

  submenu->actions()[1]->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.unmounted, (std::vector<std::vector<char>>{{'K'}}));
  ASSERT_EQ(prompts_.messages, QStringList{logic_.result_text});  // a box, not the status bar

  logic_.drives.clear();
  window.RebuildTrayMenu();
  ASSERT_TRUE(window.trayMenu()->findChild<QMenu*>("trayUnmountMenu") == nullptr);
}

TEST_F(MainWindowTest, ToolBarMountShowsItsResultInTheStatusBar) {
  MainWindow window(logic_, true, &prompts_);
  logic_.result_text = QStringLiteral("Mount successfully");
  WhenModal([](QDialog* dialog) {
    ASSERT_EQ(dialog->objectName(), QStringLiteral("addDeviceDialog"));
    auto* port = dialog->findChild<QLineEdit*>("port");
    port->setText(QStringLiteral("61234"));
    dialog->findChild<QComboBox*>("driveLetter")->setCurrentIndex(1);
    ClickOk(dialog);
  });
  Action(window, "actionMount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.origins, std::vector<FlowOrigin>{FlowOrigin::kToolbar});
  ASSERT_EQ(logic_.answers.at(0).port, 61234u);
  ASSERT_EQ(logic_.answers.at(0).driveLetter, 'F');
  ASSERT_EQ(prompts_.status_texts, QStringList{QStringLiteral("Mount successfully")});
  ASSERT_TRUE(prompts_.messages.isEmpty());
  ASSERT_EQ(window.driveList()->model()->rowCount(), 1);  // the flow refreshed the list
  ASSERT_EQ(Cell(window.driveList(), 0, 4), QStringLiteral("127.0.0.1 : 61234"));
}

// Without prompts of its own the window shows the flows' texts itself.
TEST_F(MainWindowTest, OnItsOwnPromptsAFlowsTextLandsInTheStatusBar) {
  logic_.drives = {FakeImageDrive('G', "/srv/g.img", "1.00M")};
  MainWindow window(logic_, true);
  logic_.result_text = QStringLiteral("Remount successfully");
  SelectRows(window, {0});
  Action(window, "actionRemount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.remounted, (std::vector<std::vector<char>>{{'G'}}));
  ASSERT_EQ(window.statusText(), QStringLiteral("Remount successfully"));
}

TEST_F(MainWindowTest, TrayMountShowsItsResultInABoxAndAsksForThePassword) {
  MainWindow window(logic_, true, &prompts_);
  logic_.result_text = QStringLiteral("Mount success");
  logic_.ask_password = true;
  WhenModal([](QDialog* add) {
    ClickOk(add);
    WhenModal([](QDialog* password) {
      ASSERT_EQ(password->objectName(), QStringLiteral("passwordDialog"));
      ClickOk(password);
    });
  });
  window.RebuildTrayMenu();
  window.trayMenu()->findChild<QAction*>("trayMount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.origins, std::vector<FlowOrigin>{FlowOrigin::kTray});
  ASSERT_EQ(prompts_.messages, QStringList{QStringLiteral("Mount success")});
  ASSERT_EQ(prompts_.password_reasons.size(), size_t{1});
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_EQ(window.statusText(), QString());
}

TEST_F(MainWindowTest, CancelledMountShowsNothing) {
  MainWindow window(logic_, true, &prompts_);
  WhenModal([](QDialog* dialog) { dialog->reject(); });
  Action(window, "actionMount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_TRUE(logic_.answers.empty());
  ASSERT_EQ(window.statusText(), QString());
  ASSERT_TRUE(prompts_.status_texts.isEmpty());
  ASSERT_TRUE(prompts_.messages.isEmpty());
}

TEST_F(MainWindowTest, UnmountAndRemountTakeTheSelectedRowsInListOrder) {
  logic_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false),
                   FakeImageDrive('G', "/srv/g.img", "1.00M"),
                   FakeImageDrive('M', "/srv/m.img", "1.00M")};
  MainWindow window(logic_, true, &prompts_);
  const int scans = logic_.list_calls;
  Action(window, "actionUnmount")->trigger();  // nothing selected: only a rescan
  ASSERT_TRUE(logic_.unmounted.empty());
  ASSERT_EQ(logic_.list_calls, scans + 1);
  Action(window, "actionRemount")->trigger();
  ASSERT_TRUE(logic_.remounted.empty());

  SelectRows(window, {2, 0});
  prompts_.answers = {true};
  logic_.result_text = QStringLiteral("Unmount successfully");
  Action(window, "actionUnmount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.unmounted, (std::vector<std::vector<char>>{{'D', 'M'}}));
  ASSERT_EQ(prompts_.questions,
            QStringList{QStringLiteral("Do you want to unmount these devices?")});
  ASSERT_EQ(prompts_.status, QStringLiteral("Unmount successfully"));

  SelectRows(window, {1});
  Action(window, "actionRemount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(logic_.remounted, (std::vector<std::vector<char>>{{'G'}}));
}

TEST_F(MainWindowTest, ActivatingARowOpensItsMountPoint) {
  logic_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false)};
  MainWindow window(logic_, true, &prompts_);
  emit window.driveList()->activated(window.driveList()->model()->index(0, 2));
  ASSERT_EQ(prompts_.opened, QStringList{QStringLiteral("/media/velmoran/D")});
}

TEST_F(MainWindowTest, SettingsOpenWithTheSavedValuesAndReturnThem) {
  MainWindow window(logic_, true, &prompts_);
  logic_.settings = {true, QStringLiteral("/tmp/vc/")};
  WhenModal([](QDialog* dialog) {
    ASSERT_EQ(dialog->objectName(), QStringLiteral("settingsDialog"));
    ASSERT_EQ(dialog->findChild<QLineEdit*>("tempFolder")->text(), QStringLiteral("/tmp/vc/"));
    ClickOk(dialog);
  });
  Action(window, "actionSettings")->trigger();
  ASSERT_EQ(logic_.accepted_settings.size(), size_t{1});
  ASSERT_TRUE(logic_.accepted_settings[0].startAtLogOn);
  ASSERT_EQ(logic_.accepted_settings[0].tempFolder, QStringLiteral("/tmp/vc/"));
}

TEST_F(MainWindowTest, HidingGoesToTheTrayOrMinimisesWithoutOne) {
  {
    MainWindow window(logic_, true, &prompts_);
    window.Start(StartMode::kHidden);
    ASSERT_TRUE(!window.isVisible());
    // The log-on start brings the saved drives back.
    ASSERT_TRUE(Idle(window));
    ASSERT_EQ(logic_.saved_drive_runs.load(), 1);
    window.ToggleFromTray();
    ASSERT_TRUE(window.isVisible());
    window.ToggleFromTray();
    ASSERT_TRUE(!window.isVisible());
    window.Start(StartMode::kNormal);
    ASSERT_TRUE(window.isVisible());
    ASSERT_TRUE(Idle(window));
    ASSERT_EQ(logic_.saved_drive_runs.load(), 1);  // a normal start leaves them
    Action(window, "actionHide")->trigger();
    ASSERT_TRUE(!window.isVisible());
    window.ShowAndRaise();
    window.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }));
  }
  {
    MainWindow window(logic_, false, &prompts_);
    window.Start(StartMode::kHidden);
    ASSERT_TRUE(window.isVisible());
    ASSERT_TRUE(window.isMinimized());
    ASSERT_TRUE(Idle(window));
    window.ShowAndRaise();
    ASSERT_TRUE(!window.isMinimized());
    Action(window, "actionHide")->trigger();
    ASSERT_TRUE(window.isVisible());
    ASSERT_TRUE(window.isMinimized());
  }
}

TEST_F(MainWindowTest, ExitFromToolBarTrayAndCloseEndsTheProgram) {
  MainWindow window(logic_, true, &prompts_);
  QSignalSpy exits(&window, &MainWindow::exitRequested);
  Action(window, "actionExit")->trigger();
  window.trayMenu()->findChild<QAction*>("trayExit")->trigger();
  window.show();
  window.close();
  ASSERT_EQ(exits.count(), 3);
}

// A mount that waits in the driver: the window's event loop runs on, the
// status bar says what is under way with a cancel button, the other flows
// are off, and cancel frees the window at once; the flow ends by itself
// once the driver answers, and shows nothing more.
TEST_F(MainWindowTest, AWaitingMountLeavesTheWindowResponsiveAndCanBeCancelled) {
  MainWindow window(logic_, true, &prompts_);
  window.show();
  logic_.HoldMounts();
  WhenModal([](QDialog* dialog) { ClickOk(dialog); });
  Action(window, "actionMount")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return logic_.HeldNow(); }, 20000));

  // The loop keeps running: timers fire, the list refreshes, the window paints.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 5; }, 5000));
  const int scans = logic_.list_calls;
  Action(window, "actionRefresh")->trigger();
  ASSERT_EQ(logic_.list_calls, scans + 1);
  ASSERT_TRUE(window.flowRunning());
  auto* pane = window.findChild<QWidget*>("flowPane");
  ASSERT_TRUE(pane != nullptr && pane->isVisible());
  ASSERT_EQ(window.findChild<QLabel*>("flowProgress")->text(), QStringLiteral("Mounting..."));
  ASSERT_FALSE(Action(window, "actionMount")->isEnabled());
  ASSERT_FALSE(Action(window, "actionUnmount")->isEnabled());
  ASSERT_FALSE(Action(window, "actionRemount")->isEnabled());
  window.RebuildTrayMenu();
  ASSERT_FALSE(window.trayMenu()->findChild<QAction*>("trayMount")->isEnabled());

  window.findChild<QToolButton*>("cancelFlow")->click();
  ASSERT_FALSE(window.flowRunning());
  ASSERT_FALSE(pane->isVisible());
  ASSERT_EQ(window.statusText(), QStringLiteral("Mount cancelled."));
  ASSERT_TRUE(Action(window, "actionMount")->isEnabled());
  ASSERT_EQ(window.flowRunner()->threads(), size_t{1});  // still in the "driver"

  // The driver answers: the flow sees it was cancelled, shows nothing.
  logic_.Release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.flowRunner()->threads() == 0; }, 20000));
  ASSERT_EQ(logic_.cancelled_mounts.load(), 1);
  ASSERT_EQ(window.statusText(), QStringLiteral("Mount cancelled."));
  ASSERT_TRUE(prompts_.messages.isEmpty());
  ASSERT_EQ(window.driveList()->model()->rowCount(), 0);
}

// The status bar never cuts a message off unreadably, and a new flow
// clears an old error.
TEST_F(MainWindowTest, StatusTextsAreWholeInTheirToolTipAndOldErrorsGo) {
  MainWindow window(logic_, true, &prompts_);
  window.show();
  const QString long_text = QStringLiteral("Unmount error: ") + QString(300, QLatin1Char('x'));
  window.ShowStatus(long_text);
  auto* line = window.findChild<QLabel*>("statusLine");
  ASSERT_TRUE(line != nullptr);
  ASSERT_EQ(line->toolTip(), long_text);
  ASSERT_TRUE(line->text().size() < long_text.size());
  ASSERT_TRUE(line->text().endsWith(QChar(0x2026)));  // "..."
  ASSERT_EQ(window.statusText(), long_text);
  logic_.result_text = QString();
  WhenModal([](QDialog* dialog) { ClickOk(dialog); });
  window.RebuildTrayMenu();
  window.trayMenu()->findChild<QAction*>("trayMount")->trigger();  // succeeds in a box
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(window.statusText(), QString());
}

TEST_F(MainWindowTest, AboutEntryShowsTheVersion) {
  MainWindow window(logic_, true, &prompts_);
  bool seen = false;
  WhenModal([&seen](QDialog* dialog) {
    seen = dialog->objectName() == QStringLiteral("aboutDialog");
    dialog->accept();
  });
  Action(window, "actionAbout")->trigger();
  ASSERT_TRUE(seen);
}

}  // namespace

}  // namespace quensaria::mounter
