// The window on the real MountManager without a driver: what a user sees when
// the mount cannot reach a device, from the tool bar and from the tray, and
// the add-device dialog's answers becoming the next defaults.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "mounter/driver_for_testing.h"
#include "mounter/flow_runner.h"
#include "mounter/main_window.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/widget_prompts.h"
#include "tests/qt_print_for_testing.h"

namespace quensaria::mounter {
namespace {

// Answers the add-device dialog with port `port` and its first letter.
void AnswerAddDevice(const QString& port, QStringList* offered) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [=] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    poll->stop();
    poll->deleteLater();
    auto* letters = dialog->findChild<QComboBox*>("driveLetter");
    for (int i = 0; i < letters->count(); ++i) offered->append(letters->itemText(i));
    dialog->findChild<QLineEdit*>("serverAddress")->setText(QStringLiteral("127.0.0.1"));
    dialog->findChild<QLineEdit*>("port")->setText(port);
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  poll->start(10);
}

TEST(WindowOnMountManagerTest, MountWithoutADriverReportsTheErrorWhereTheFlowStarted) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  MounterSettings settings(
      SettingsPaths{dir.filePath("config"), dir.filePath("xdg"), dir.filePath("cache")});
  FakeVolumes volumes;  // never reached without a driver
  // The driver's own device controls, over a folder where it never ran.
  MountManager manager(settings, volumes, DriveLinks{dir.filePath("no-driver"), {}});
  WidgetPrompts dialogs;
  RecordingPrompts prompts(false);
  prompts.dialogs = &dialogs;
  MainWindow window(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"), true, &prompts);
  ASSERT_EQ(window.driveList()->model()->rowCount(), 0);

  QStringList offered;
  AnswerAddDevice(QStringLiteral("60123"), &offered);
  window.findChild<QAction*>("actionMount")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.flowRunner()->threads() == 0; }, 20000));
  ASSERT_EQ(offered.size(), 23);  // D: .. Z:, none in use
  ASSERT_EQ(offered.first(), QStringLiteral("D:"));
  ASSERT_EQ(offered.last(), QStringLiteral("Z:"));
  // A cause on this machine, said as such: no "communication error".
  const QString status = prompts.status;
  ASSERT_TRUE(status.startsWith(QStringLiteral("Mount error: The Velmoran driver is not running")))
      << qPrintable(status);
  ASSERT_TRUE(prompts.messages.isEmpty());
  ASSERT_EQ(settings.ReadAddDeviceDefaults().port, 60123u);

  offered.clear();
  AnswerAddDevice(QStringLiteral("60124"), &offered);
  window.RebuildTrayMenu();
  window.trayMenu()->findChild<QAction*>("trayMount")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.flowRunner()->threads() == 0; }, 20000));
  ASSERT_EQ(prompts.messages.size(), 1);
  ASSERT_TRUE(prompts.messages[0].startsWith(
      QStringLiteral("Velmoran has encountered an error while mounting drive, error message: ")))
      << qPrintable(prompts.messages[0]);
  ASSERT_EQ(prompts.status_texts.size(), 1);  // the tool bar's only
  ASSERT_EQ(window.statusText(), QString());
  ASSERT_TRUE(window.trayMenu()->findChild<QMenu*>("trayUnmountMenu") == nullptr);
}

}  // namespace

}  // namespace quensaria::mounter
