// The mounter's window on the real engine, against the real quensaria and
// velmoran, as root: a network disk mounted through the add-device dialog
// (its password typed in the password dialog) shows as a row with its
// columns and its file system, and the tool bar's
// Unmount takes it away again. Offscreen; boxes answered by ScriptedPrompts.
#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "mounter/engine_window_adapter.h"
#include "mounter/main_window.h"
#include "mounter/root_volumes.h"
#include "mounter/user_prompts_for_testing.h"
#include "tests/program_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::mounter {
namespace {

using harness::CommandResult;
using harness::Daemon;
using harness::Quote;
using harness::Shell;
using harness::VelmoranProcess;
namespace fs = std::filesystem;

using testing::FirstLine;

// Answers the dialogs of a mount as they open: the add-device dialog with a
// network disk on 127.0.0.1:`port` as drive `letter`, the password dialog
// with `password` and the save box. Anything else is cancelled, so a test
// never hangs on a dialog it did not expect. Records what it answered.
class DialogAnswerer : public QObject {
 public:
  DialogAnswerer(int port, QString letter, QString password)
      : port_(port), letter_(std::move(letter)), password_(std::move(password)) {
    connect(&poll_, &QTimer::timeout, this, &DialogAnswerer::Answer);
    poll_.start(20);
  }
  QStringList answered;

 private:
  void Answer() {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    answered.append(dialog->objectName());
    if (dialog->objectName() == QStringLiteral("addDeviceDialog")) {
      dialog->findChild<QRadioButton*>("networkDisk")->click();
      dialog->findChild<QLineEdit*>("serverAddress")->setText(QStringLiteral("127.0.0.1"));
      dialog->findChild<QLineEdit*>("port")->setText(QString::number(port_));
      auto* letters = dialog->findChild<QComboBox*>("driveLetter");
      letters->setCurrentIndex(letters->findText(letter_));
      if (letters->currentIndex() < 0) return dialog->reject();
    } else if (dialog->objectName() == QStringLiteral("passwordDialog")) {
      dialog->findChild<QLineEdit*>("password")->setText(password_);
      dialog->findChild<QCheckBox*>("savePassword")->setChecked(true);
    } else {
      return dialog->reject();
    }
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  }

  QTimer poll_;
  int port_;
  QString letter_;
  QString password_;
};

class MounterWindowProgramTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<harness::ScratchDir> scratch_;
  std::unique_ptr<Daemon> service_;
  std::unique_ptr<VelmoranProcess> velmoran_;

  std::string Cli(const std::string& arguments) const {
    return std::string(LUDRANE_CLI_PATH) + " --runtime-dir " + Quote(*scratch_ / "qrun") + " " +
           arguments;
  }

 private slots:
  void init() {
    QVERIFY2(harness::VelmoranIsBuilt(), "velmoran is not built");
    const std::string missing = harness::MissingForDriver(/*loop=*/true);
    if (!missing.empty()) QSKIP(missing.c_str());
    scratch_ = std::make_unique<harness::ScratchDir>("mounter-window-program-test");
    fs::create_directories(*scratch_ / "state");
    fs::create_directories(*scratch_ / "qrun");
    const std::string cli = Cli("status");
    service_ = Daemon::Start({QUENSARIA_PATH, "--console", "--state-dir", *scratch_ / "state",
                              "--runtime-dir", *scratch_ / "qrun"},
                             [cli](const Daemon&) { return Shell(cli).code == 0; });
    QVERIFY(service_ && service_->running());
    velmoran_ = VelmoranProcess::Start(*scratch_ / "vrun");
    QVERIFY(velmoran_ && velmoran_->running());
  }

  void cleanup() {
    if (velmoran_) {
      // A failed test may leave the drive's file system and loop device behind.
      Shell("umount " + Quote(*scratch_ / "media/R") + " 2>/dev/null");
      Shell("for l in $(losetup -j " + Quote(velmoran_->DevicePath("VelmoranEx0")) +
            " -O NAME -n); do losetup -d $l; done");
      QCOMPARE(velmoran_->Stop(), 0);
      QCOMPARE(QString::fromStdString(harness::FaultsIn(velmoran_->Log())), QString());
    }
    if (service_) {
      QCOMPARE(service_->Stop(), 0);
      QCOMPARE(QString::fromStdString(harness::FaultsIn(service_->Log())), QString());
    }
    velmoran_.reset();
    service_.reset();
    scratch_.reset();
  }

  void MountThroughTheDialogThenUnmountFromTheToolBar() {
    fs::create_directories(*scratch_ / "content");
    QCOMPARE(Shell("echo 'from the server' > " + *scratch_ / "content/hello.txt").code, 0);
    const std::string image = *scratch_ / "export.img";
    QCOMPARE(Shell("mkfs.ext4 -q -F -d " + *scratch_ / "content" + " " + image + " 32M").code, 0);
    const int port = testing::FreePort();
    const CommandResult added =
        Shell(Cli("add-server " + Quote(image) + " --port " + std::to_string(port) +
                  " --password opensesame"));
    QVERIFY2(added.code == 0, added.output.c_str());
    const std::string server = FirstLine(added.output);
    QCOMPARE(Shell(Cli("add-client " + server + " 127.0.0.1 full")).code, 0);
    QCOMPARE(Shell(Cli("start-server " + server)).code, 0);

    MounterSettings settings(SettingsPaths{QString::fromStdString(*scratch_ / "config"),
                                           QString::fromStdString(*scratch_ / "xdg"),
                                           QString::fromStdString(*scratch_ / "cache")});
    RootVolumes volumes(QString::fromStdString(*scratch_ / "media"));
    MountManager manager(settings, volumes,
                         DriveLinks{QString::fromStdString(velmoran_->runtime_dir()), {}});
    EngineWindowAdapter engine(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"));
    ScriptedPrompts prompts;
    MainWindow window(engine, prompts, true);
    window.show();
    QTableView* list = window.driveList();
    QCOMPARE(list->model()->rowCount(), 0);

    DialogAnswerer answers(port, QStringLiteral("R:"), QStringLiteral("opensesame"));
    window.findChild<QAction*>("actionMount")->trigger();
    // No password is saved yet: the service refuses the empty digest and
    // the password dialog asks.
    QCOMPARE(answers.answered, (QStringList{"addDeviceDialog", "passwordDialog"}));
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Mount successfully"));
    QVERIFY(prompts.shown.isEmpty());
    QCOMPARE(list->model()->rowCount(), 1);
    const auto cell = [list](int column) { return list->model()->index(0, column).data().toString(); };
    QCOMPARE(cell(0), QStringLiteral("R:"));
    QCOMPARE(cell(1), QStringLiteral("127.0.0.1 : %1").arg(port));
    QCOMPARE(cell(2), QStringLiteral("32.00M"));
    QCOMPARE(cell(3), QStringLiteral("Full"));
    // The drive is usable at once, and activating its row opens it.
    const std::string media = *scratch_ / "media/R";
    QCOMPARE(QString::fromStdString(Shell("cat " + Quote(media + "/hello.txt")).output),
             QStringLiteral("from the server\n"));
    emit list->activated(list->model()->index(0, 0));
    QCOMPARE(prompts.opened, QStringList{QString::fromStdString(media)});

    list->selectRow(0);
    prompts.answers = {true};
    window.findChild<QAction*>("actionUnmount")->trigger();
    QCOMPARE(prompts.asked, QStringList{QStringLiteral("Do you want to unmount these devices?")});
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Unmount successfully"));
    QCOMPARE(list->model()->rowCount(), 0);
    QVERIFY(!fs::exists(fs::symlink_status(velmoran_->LinkPath('R'))));
    QCOMPARE(Shell("findmnt " + Quote(media)).code == 0, false);
    QCOMPARE(velmoran_->Ctl("query R:").code == 0, false);
  }
};

}  // namespace
}  // namespace quensaria::mounter

QTEST_MAIN(quensaria::mounter::MounterWindowProgramTest)

#include "mounter_window_program_test.moc"
