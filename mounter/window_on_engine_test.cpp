// The window on the real engine without a driver: what a user sees when
// the mount cannot reach a device, from the tool bar and from the tray, and
// the add-device dialog's answers becoming the next defaults.
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

#include "mounter/engine_window_adapter.h"
#include "mounter/main_window.h"
#include "mounter/user_prompts_for_testing.h"
#include "mounter/window_tests.h"

namespace quensaria::mounter {
namespace {

// The volume step is never reached without a driver.
class NoVolumes final : public Volumes {
 public:
  uint32_t Attach(char, const QString&, QString*) override { return 0; }
  uint32_t Detach(char, const QString&) override { return 0; }
};

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

class WindowOnEngineTest : public QObject {
  Q_OBJECT

 private slots:
  void MountWithoutADriverReportsTheErrorWhereTheFlowStarted() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    MounterSettings settings(
        SettingsPaths{dir.filePath("config"), dir.filePath("xdg"), dir.filePath("cache")});
    NoVolumes volumes;
    MountManager manager(settings, volumes, DriveLinks{dir.filePath("no-driver"), {}});
    EngineWindowAdapter engine(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"));
    ScriptedPrompts prompts;
    MainWindow window(engine, prompts, true);
    QCOMPARE(window.driveList()->model()->rowCount(), 0);

    QStringList offered;
    AnswerAddDevice(QStringLiteral("60123"), &offered);
    window.findChild<QAction*>("actionMount")->trigger();
    QCOMPARE(offered.size(), 23);  // D: .. Z:, none in use
    QCOMPARE(offered.first(), QStringLiteral("D:"));
    QCOMPARE(offered.last(), QStringLiteral("Z:"));
    const QString status = window.statusBar()->currentMessage();
    QVERIFY2(status.startsWith(QStringLiteral("Communication error: ")) &&
                 status.size() > QStringLiteral("Communication error: ").size(),
             qPrintable(status));
    QVERIFY(prompts.shown.isEmpty());
    QCOMPARE(settings.ReadAddDeviceDefaults().port, 60123u);

    window.statusBar()->clearMessage();
    offered.clear();
    AnswerAddDevice(QStringLiteral("60124"), &offered);
    window.RebuildTrayMenu();
    window.trayMenu()->findChild<QAction*>("trayMount")->trigger();
    QCOMPARE(prompts.shown.size(), 1);
    QVERIFY2(prompts.shown[0].startsWith(QStringLiteral(
                 "Velmoran has encountered an error while mounting drive, error message: ")),
             qPrintable(prompts.shown[0]));
    QCOMPARE(window.statusBar()->currentMessage(), QString());
    QVERIFY(window.trayMenu()->findChild<QMenu*>("trayUnmountMenu") == nullptr);
  }
};

}  // namespace

QObject* NewWindowOnEngineTest() { return new WindowOnEngineTest; }

}  // namespace quensaria::mounter

#include "window_on_engine_test.moc"
