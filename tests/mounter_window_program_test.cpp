// The mounter's window on the real engine, against the real quensaria and
// velmoran, as root: a network disk mounted through the add-device dialog
// (its password typed in the password dialog) shows as a row with its
// columns and its file system, and the tool bar's
// Unmount takes it away again. Offscreen; boxes answered by ScriptedPrompts.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
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

#include "mounter/engine_window_adapter.h"
#include "mounter/main_window.h"
#include "mounter/root_volumes.h"
#include "mounter/user_prompts_for_testing.h"
#include "tests/qt_print_for_testing.h"
#include "tests/service_and_driver_for_testing.h"

namespace quensaria::mounter {
namespace {

using harness::Quote;
using harness::Shell;
namespace fs = std::filesystem;

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

class MounterWindowProgramTest : public harness::ServiceAndDriverTest {
 protected:
  MounterWindowProgramTest() : ServiceAndDriverTest("mounter-window-program-test") {}
  void TearDown() override {
    if (stack_.velmoran()) {
      // A failed test may leave the drive's file system and loop device behind.
      Shell("umount " + Quote(scratch_ / "media/R") + " 2>/dev/null");
      Shell("for l in $(losetup -j " + Quote(stack_.velmoran()->DevicePath("VelmoranEx0")) +
            " -O NAME -n); do losetup -d $l; done");
    }
    ServiceAndDriverTest::TearDown();
  }
};

TEST_F(MounterWindowProgramTest, MountThroughTheDialogThenUnmountFromTheToolBar) {
  fs::create_directories(scratch_ / "content");
  ASSERT_EQ(Shell("echo 'from the server' > " + scratch_ / "content/hello.txt").code, 0);
  const std::string image = scratch_ / "export.img";
  ASSERT_EQ(Shell("mkfs.ext4 -q -F -d " + scratch_ / "content" + " " + image + " 32M").code, 0);
  const int port = stack_.Export(image, "full", "--password opensesame");
  ASSERT_FALSE(HasFailure());

  MounterSettings settings(SettingsPaths{QString::fromStdString(scratch_ / "config"),
                                         QString::fromStdString(scratch_ / "xdg"),
                                         QString::fromStdString(scratch_ / "cache")});
  RootVolumes volumes(QString::fromStdString(scratch_ / "media"));
  MountManager manager(settings, volumes,
                       DriveLinks{QString::fromStdString(stack_.velmoran()->runtime_dir()), {}});
  EngineWindowAdapter engine(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"));
  ScriptedPrompts prompts;
  MainWindow window(engine, prompts, true);
  window.show();
  QTableView* list = window.driveList();
  ASSERT_EQ(list->model()->rowCount(), 0);

  DialogAnswerer answers(port, QStringLiteral("R:"), QStringLiteral("opensesame"));
  window.findChild<QAction*>("actionMount")->trigger();
  // No password is saved yet: the service refuses the empty digest and
  // the password dialog asks.
  ASSERT_EQ(answers.answered, (QStringList{"addDeviceDialog", "passwordDialog"}));
  ASSERT_EQ(window.statusBar()->currentMessage(), QStringLiteral("Mount successfully"));
  ASSERT_TRUE(prompts.shown.isEmpty());
  ASSERT_EQ(list->model()->rowCount(), 1);
  const auto cell = [list](int column) {
    return list->model()->index(0, column).data().toString();
  };
  ASSERT_EQ(cell(0), QStringLiteral("R:"));
  ASSERT_EQ(cell(1), QStringLiteral("127.0.0.1 : %1").arg(port));
  ASSERT_EQ(cell(2), QStringLiteral("32.00M"));
  ASSERT_EQ(cell(3), QStringLiteral("Full"));
  // The drive is usable at once, and activating its row opens it.
  const std::string media = scratch_ / "media/R";
  ASSERT_EQ(Shell("cat " + Quote(media + "/hello.txt")).output, "from the server\n");
  emit list->activated(list->model()->index(0, 0));
  ASSERT_EQ(prompts.opened, QStringList{QString::fromStdString(media)});

  list->selectRow(0);
  prompts.answers = {true};
  window.findChild<QAction*>("actionUnmount")->trigger();
  ASSERT_EQ(prompts.asked, QStringList{QStringLiteral("Do you want to unmount these devices?")});
  ASSERT_EQ(window.statusBar()->currentMessage(), QStringLiteral("Unmount successfully"));
  ASSERT_EQ(list->model()->rowCount(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(stack_.velmoran()->LinkPath('R'))));
  EXPECT_NE(Shell("findmnt " + Quote(media)).code, 0);
  EXPECT_NE(stack_.velmoran()->Ctl("query R:").code, 0);
}

}  // namespace
}  // namespace quensaria::mounter
