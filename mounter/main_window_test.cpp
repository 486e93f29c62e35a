// The main window, tool bar, status bar and tray menu against
// FakeWindowEngine: which flow each control starts, with which rows, and
// where the flow's texts land.
#include "mounter/main_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <functional>

#include "mounter/drive_list_model.h"
#include "mounter/user_prompts_for_testing.h"
#include "mounter/window_engine_for_testing.h"
#include "mounter/window_tests.h"

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

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  FakeWindowEngine engine_;
  ScriptedPrompts prompts_;

  QAction* Action(MainWindow& window, const char* name) {
    auto* action = window.findChild<QAction*>(QLatin1String(name));
    if (action == nullptr) qFatal("no action %s", name);
    return action;
  }
  void SelectRows(MainWindow& window, std::initializer_list<int> rows) {
    QTableView* list = window.driveList();
    list->clearSelection();
    for (const int row : rows) {
      list->selectionModel()->select(list->model()->index(row, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }

 private slots:
  void init() {
    engine_ = FakeWindowEngine();
    prompts_ = ScriptedPrompts();
  }

  void ListShowsTheDrivesWithTheirColumns() {
    engine_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", true),
                      FakeImageDrive('H', "/srv/images/a.img", "0.00K")};
    MainWindow window(engine_, prompts_, true);
    QCOMPARE(window.windowTitle(), QStringLiteral("Velmoran Client Mounter"));
    QTableView* list = window.driveList();
    QCOMPARE(list->model()->rowCount(), 2);
    const QStringList headers{"Device", "Location", "Capacity", "Access"};
    const int widths[] = {80, 210, 65, 70};
    for (int c = 0; c < 4; ++c) {
      QCOMPARE(list->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
      // At least the fixed width, and wide enough for every text in it.
      QVERIFY(list->horizontalHeader()->sectionSize(c) >= widths[c]);
      QVERIFY(list->horizontalHeader()->sectionSize(c) >= static_cast<QAbstractItemView*>(list)->sizeHintForColumn(c));
    }
    QCOMPARE(Cell(list, 0, 0), QStringLiteral("D:"));
    QCOMPARE(Cell(list, 0, 1), QStringLiteral("10.0.0.5 : 60000"));
    QCOMPARE(Cell(list, 0, 2), QStringLiteral("1.50G"));
    QCOMPARE(Cell(list, 0, 3), QStringLiteral("VirtualWrite"));
    QCOMPARE(Cell(list, 1, 1), QStringLiteral("/srv/images/a.img"));
    QCOMPARE(Cell(list, 1, 3), QStringLiteral("Full"));
    QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
    QVERIFY(list->showGrid());
    QVERIFY(list->horizontalHeader()->sectionsMovable());

    // Refresh rescans: a drive that went is gone from the list.
    engine_.drives.pop_back();
    Action(window, "actionRefresh")->trigger();
    QCOMPARE(list->model()->rowCount(), 1);
  }

  void ToolBarHasTheButtonsInOrderWithTooltips() {
    MainWindow window(engine_, prompts_, true);
    auto* bar = window.findChild<QToolBar*>("toolBar");
    QStringList order;
    for (QAction* action : bar->actions()) {
      order.append(action->isSeparator() ? QStringLiteral("|") : action->objectName());
    }
    QCOMPARE(order, (QStringList{"actionMount", "actionUnmount", "actionRemount", "|",
                                 "actionRefresh", "|", "actionSettings", "|", "actionHide",
                                 "actionExit"}));
    QCOMPARE(Action(window, "actionMount")->toolTip(),
             QStringLiteral("挂载网络磁盘或虚拟镜像磁盘"));
    QCOMPARE(Action(window, "actionExit")->toolTip(), QStringLiteral("退出本程序"));
    for (QAction* action : bar->actions()) {
      if (action->isSeparator()) continue;
      QVERIFY2(!action->icon().isNull(), qPrintable(action->objectName()));
      QVERIFY2(!action->toolTip().isEmpty() && action->toolTip() != action->text(),
               qPrintable(action->objectName()));
    }
  }

  void TrayMenuListsMountedDrivesAndDropsTheSubmenuWithoutThem() {
    MainWindow window(engine_, prompts_, true);
    window.RebuildTrayMenu();
    QStringList entries;
    for (QAction* action : window.trayMenu()->actions()) {
      if (!action->isSeparator()) entries.append(action->objectName());
    }
    QCOMPARE(entries, (QStringList{"trayShowMainWindow", "trayMount", "traySettings",
                                   "trayExit"}));

    engine_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false),
                      FakeImageDrive('K', "/srv/k.img", "1.00M")};
    window.RebuildTrayMenu();
    auto* submenu = window.trayMenu()->findChild<QMenu*>("trayUnmountMenu");
    QVERIFY(submenu != nullptr);
    QCOMPARE(window.trayMenu()->actions().at(2), submenu->menuAction());
    QCOMPARE(submenu->actions().size(), 2);
    QCOMPARE(submenu->actions()[0]->text(), QStringLiteral(" D: (10.0.0.5 : 60000)"));
    QCOMPARE(submenu->actions()[0]->data().toInt(), 0x9000 + 'D');
    QCOMPARE(submenu->actions()[1]->text(), QStringLiteral(" K:(/srv/k.img)"));

    submenu->actions()[1]->trigger();
    QCOMPARE(engine_.unmounted, (std::vector<std::vector<char>>{{'K'}}));
    QCOMPARE(prompts_.shown, QStringList{engine_.result_text});  // a box, not the status bar

    engine_.drives.clear();
    window.RebuildTrayMenu();
    QVERIFY(window.trayMenu()->findChild<QMenu*>("trayUnmountMenu") == nullptr);
  }

  void ToolBarMountShowsItsResultInTheStatusBar() {
    MainWindow window(engine_, prompts_, true);
    engine_.result_text = QStringLiteral("Mount successfully");
    WhenModal([](QDialog* dialog) {
      QCOMPARE(dialog->objectName(), QStringLiteral("addDeviceDialog"));
      auto* port = dialog->findChild<QLineEdit*>("port");
      port->setText(QStringLiteral("61234"));
      dialog->findChild<QComboBox*>("driveLetter")->setCurrentIndex(1);
      ClickOk(dialog);
    });
    Action(window, "actionMount")->trigger();
    QCOMPARE(engine_.origins, std::vector<FlowOrigin>{FlowOrigin::kToolbar});
    QCOMPARE(engine_.answers.at(0).port, 61234u);
    QCOMPARE(engine_.answers.at(0).driveLetter, 'F');
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Mount successfully"));
    QVERIFY(prompts_.shown.isEmpty());
    QCOMPARE(window.driveList()->model()->rowCount(), 1);  // the flow refreshed the list
    QCOMPARE(Cell(window.driveList(), 0, 1), QStringLiteral("127.0.0.1 : 61234"));
  }

  void TrayMountShowsItsResultInABoxAndAsksForThePassword() {
    MainWindow window(engine_, prompts_, true);
    engine_.result_text = QStringLiteral("Mount success");
    engine_.ask_password = true;
    WhenModal([](QDialog* add) {
      ClickOk(add);
      WhenModal([](QDialog* password) {
        QCOMPARE(password->objectName(), QStringLiteral("passwordDialog"));
        ClickOk(password);
      });
    });
    window.RebuildTrayMenu();
    window.trayMenu()->findChild<QAction*>("trayMount")->trigger();
    QCOMPARE(engine_.origins, std::vector<FlowOrigin>{FlowOrigin::kTray});
    QCOMPARE(prompts_.shown, QStringList{QStringLiteral("Mount success")});
    QCOMPARE(window.statusBar()->currentMessage(), QString());
  }

  void CancelledMountShowsNothing() {
    MainWindow window(engine_, prompts_, true);
    WhenModal([](QDialog* dialog) { dialog->reject(); });
    Action(window, "actionMount")->trigger();
    QVERIFY(engine_.answers.empty());
    QCOMPARE(window.statusBar()->currentMessage(), QString());
    QVERIFY(prompts_.shown.isEmpty());
  }

  void UnmountAndRemountTakeTheSelectedRowsInListOrder() {
    engine_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false),
                      FakeImageDrive('G', "/srv/g.img", "1.00M"),
                      FakeImageDrive('M', "/srv/m.img", "1.00M")};
    MainWindow window(engine_, prompts_, true);
    const int scans = engine_.list_calls;
    Action(window, "actionUnmount")->trigger();  // nothing selected: only a rescan
    QVERIFY(engine_.unmounted.empty());
    QCOMPARE(engine_.list_calls, scans + 1);
    Action(window, "actionRemount")->trigger();
    QVERIFY(engine_.remounted.empty());

    SelectRows(window, {2, 0});
    prompts_.answers = {true};
    engine_.result_text = QStringLiteral("Unmount successfully");
    Action(window, "actionUnmount")->trigger();
    QCOMPARE(engine_.unmounted, (std::vector<std::vector<char>>{{'D', 'M'}}));
    QCOMPARE(prompts_.asked, QStringList{QStringLiteral("Do you want to unmount these devices?")});
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Unmount successfully"));

    SelectRows(window, {1});
    Action(window, "actionRemount")->trigger();
    QCOMPARE(engine_.remounted, (std::vector<std::vector<char>>{{'G'}}));
  }

  void ActivatingARowOpensItsMountPoint() {
    engine_.drives = {FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false)};
    MainWindow window(engine_, prompts_, true);
    emit window.driveList()->activated(window.driveList()->model()->index(0, 2));
    QCOMPARE(prompts_.opened, QStringList{QStringLiteral("/media/velmoran/D")});
  }

  void SettingsOpenWithTheEngineValuesAndReturnThem() {
    MainWindow window(engine_, prompts_, true);
    engine_.settings = {true, QStringLiteral("/tmp/vc/")};
    WhenModal([](QDialog* dialog) {
      QCOMPARE(dialog->objectName(), QStringLiteral("settingsDialog"));
      QCOMPARE(dialog->findChild<QLineEdit*>("tempFolder")->text(), QStringLiteral("/tmp/vc/"));
      ClickOk(dialog);
    });
    Action(window, "actionSettings")->trigger();
    QCOMPARE(engine_.accepted_settings.size(), size_t{1});
    QVERIFY(engine_.accepted_settings[0].startAtLogOn);
    QCOMPARE(engine_.accepted_settings[0].tempFolder, QStringLiteral("/tmp/vc/"));
  }

  void HidingGoesToTheTrayOrMinimisesWithoutOne() {
    {
      MainWindow window(engine_, prompts_, true);
      window.Start(StartMode::kHidden);
      QVERIFY(!window.isVisible());
      window.ToggleFromTray();
      QVERIFY(window.isVisible());
      window.ToggleFromTray();
      QVERIFY(!window.isVisible());
      window.Start(StartMode::kNormal);
      QVERIFY(window.isVisible());
      Action(window, "actionHide")->trigger();
      QVERIFY(!window.isVisible());
      window.ShowAndRaise();
      window.setWindowState(Qt::WindowMinimized);
      QTRY_VERIFY(!window.isVisible());
    }
    {
      MainWindow window(engine_, prompts_, false);
      window.Start(StartMode::kHidden);
      QVERIFY(window.isVisible());
      QVERIFY(window.isMinimized());
      window.ShowAndRaise();
      QVERIFY(!window.isMinimized());
      Action(window, "actionHide")->trigger();
      QVERIFY(window.isVisible());
      QVERIFY(window.isMinimized());
    }
  }

  void ExitFromToolBarTrayAndCloseEndsTheProgram() {
    MainWindow window(engine_, prompts_, true);
    QSignalSpy exits(&window, &MainWindow::exitRequested);
    Action(window, "actionExit")->trigger();
    window.trayMenu()->findChild<QAction*>("trayExit")->trigger();
    window.show();
    window.close();
    QCOMPARE(exits.count(), 3);
  }

  void AboutEntryShowsTheVersion() {
    MainWindow window(engine_, prompts_, true);
    bool seen = false;
    WhenModal([&seen](QDialog* dialog) {
      seen = dialog->objectName() == QStringLiteral("aboutDialog");
      dialog->accept();
    });
    Action(window, "actionAbout")->trigger();
    QVERIFY(seen);
  }
};

}  // namespace

QObject* NewMainWindowTest() { return new MainWindowTest; }

}  // namespace quensaria::mounter

#include "main_window_test.moc"
