// The mounter's window on the real MountManager, against the real quensaria and
// velmoran, as root: a network disk mounted through the add-device dialog
// (its password typed in the password dialog) shows as a row with its
// columns and its file system, and the tool bar's
// Unmount takes it away again. Offscreen; boxes answered by RecordingPrompts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <filesystem>

#include "mounter/flow_runner.h"
#include "mounter/main_window.h"
#include "mounter/mount_manager.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/root_volumes.h"
#include "mounter/widget_prompts.h"
#include "platform/unique_fd.h"
#include "shared/password_digest.h"
#include "tests/program_for_testing.h"
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

// Waits until the flow a control started has ended, its thread too.
bool Idle(MainWindow& window) {
  return QTest::qWaitFor(
      [&] { return !window.flowRunning() && window.flowRunner()->threads() == 0; }, 60000);
}

class MounterWindowProgramTest : public harness::ServiceAndDriverTest {
 protected:
  void TearDown() override {
    if (stack_.velmoran()) {
      // A failed test may leave the drive's file system and loop device behind.
      Shell("umount " + Quote(scratch_.File("media/R")) + " 2>/dev/null");
      for (const char* device : {"VelmoranEx0", "VelmoranEx3"}) {
        Shell("for l in $(losetup -j " + Quote(stack_.velmoran()->DevicePath(device)) +
              " -O NAME -n); do losetup -d $l; done");
      }
    }
    ServiceAndDriverTest::TearDown();
  }
};

TEST_F(MounterWindowProgramTest, MountThroughTheDialogThenUnmountFromTheToolBar) {
  fs::create_directories(scratch_.File("content"));
  ASSERT_EQ(Shell("echo 'from the server' > " + scratch_.File("content/hello.txt")).code, 0);
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(Shell("mkfs.ext4 -q -F -d " + scratch_.File("content") + " " + image + " 32M").code, 0);
  const int port = stack_.Export(image, "full", "--password opensesame");
  ASSERT_FALSE(HasFailure());

  MounterSettings settings(SettingsPaths{QString::fromStdString(scratch_.File("config")),
                                         QString::fromStdString(scratch_.File("xdg")),
                                         QString::fromStdString(scratch_.File("cache"))});
  RootVolumes volumes(QString::fromStdString(scratch_.File("media")));
  MountManager manager(settings, volumes,
                       DriveLinks{QString::fromStdString(stack_.velmoran()->runtime_dir()), {}});
  WidgetPrompts dialogs;
  RecordingPrompts prompts(false);
  prompts.dialogs = &dialogs;
  MainWindow window(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"), true, &prompts);
  window.show();
  QTableView* list = window.driveList();
  ASSERT_EQ(list->model()->rowCount(), 0);

  DialogAnswerer answers(port, QStringLiteral("R:"), QStringLiteral("opensesame"));
  window.findChild<QAction*>("actionMount")->trigger();
  ASSERT_TRUE(Idle(window));
  // No password is saved yet: the service refuses the empty digest and
  // the password dialog asks.
  ASSERT_EQ(answers.answered, (QStringList{"addDeviceDialog", "passwordDialog"}));
  ASSERT_EQ(prompts.status, QStringLiteral("Mount successfully"));
  ASSERT_TRUE(prompts.messages.isEmpty());
  ASSERT_EQ(list->model()->rowCount(), 1);
  const auto cell = [list](int column) {
    return list->model()->index(0, column).data().toString();
  };
  const std::string media = scratch_.File("media/R");
  ASSERT_EQ(cell(0), QStringLiteral("R:"));
  ASSERT_EQ(cell(1), QString::fromStdString(media));
  ASSERT_EQ(cell(2), QStringLiteral("32.00M"));
  ASSERT_EQ(cell(3), QStringLiteral("Full"));
  ASSERT_EQ(cell(4), QStringLiteral("127.0.0.1 : %1").arg(port));
  // The drive is usable at once, and activating its row opens it.
  ASSERT_EQ(Shell("cat " + Quote(media + "/hello.txt")).output, "from the server\n");
  emit list->activated(list->model()->index(0, 0));
  ASSERT_EQ(prompts.opened, QStringList{QString::fromStdString(media)});

  list->selectRow(0);
  prompts.answers = {true};
  window.findChild<QAction*>("actionUnmount")->trigger();
  ASSERT_TRUE(Idle(window));
  ASSERT_EQ(prompts.questions,
            QStringList{QStringLiteral("Do you want to unmount these devices?")});
  ASSERT_EQ(prompts.status, QStringLiteral("Unmount successfully"));
  ASSERT_EQ(list->model()->rowCount(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(stack_.velmoran()->LinkPath('R'))));
  EXPECT_NE(Shell("findmnt " + Quote(media)).code, 0);
  EXPECT_NE(stack_.velmoran()->Ctl("query R:").code, 0);
}

// A server that accepts connections and never answers (a listening socket
// nobody accepts on: the kernel completes the connection, no reply comes).
// The window keeps running while the mount waits, shows it, and its cancel
// frees the window at once; the flow ends by itself once the server goes,
// and nothing of the mount is left or saved.
TEST_F(MounterWindowProgramTest, AMountWaitingForASilentServerCanBeCancelled) {
  const uint16_t port = static_cast<uint16_t>(testing::FreePort());
  platform::UniqueFd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent.get(), 4), 0);

  MounterSettings settings(SettingsPaths{QString::fromStdString(scratch_.File("config")),
                                         QString::fromStdString(scratch_.File("xdg")),
                                         QString::fromStdString(scratch_.File("cache"))});
  RootVolumes volumes(QString::fromStdString(scratch_.File("media")));
  MountManager manager(settings, volumes,
                       DriveLinks{QString::fromStdString(stack_.velmoran()->runtime_dir()), {}});
  WidgetPrompts dialogs;
  RecordingPrompts prompts(false);
  prompts.dialogs = &dialogs;
  MainWindow window(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"), true, &prompts);
  window.show();

  DialogAnswerer answers(port, QStringLiteral("S:"), QStringLiteral("unused"));
  window.findChild<QAction*>("actionMount")->trigger();
  auto* progress = window.findChild<QLabel*>("flowProgress");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return progress->text().startsWith(QStringLiteral("Mounting S: (127.0.0.1 : ")); },
      20000))
      << qPrintable(progress->text());
  ASSERT_EQ(answers.answered, QStringList{"addDeviceDialog"});

  // The event loop runs on while the driver waits for the server.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 20; }, 10000));
  window.findChild<QAction*>("actionRefresh")->trigger();
  ASSERT_FALSE(window.grab().isNull());
  ASSERT_TRUE(window.flowRunning());
  ASSERT_TRUE(window.findChild<QWidget*>("flowPane")->isVisible());
  ASSERT_FALSE(window.findChild<QAction*>("actionMount")->isEnabled());

  window.findChild<QToolButton*>("cancelFlow")->click();
  ASSERT_FALSE(window.flowRunning());
  ASSERT_EQ(window.statusText(), QStringLiteral("Mount cancelled."));
  ASSERT_TRUE(window.findChild<QAction*>("actionMount")->isEnabled());

  // The server goes; the driver gives up, and the flow ends with nothing left.
  silent.Reset();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.flowRunner()->threads() == 0; }, 60000));
  EXPECT_EQ(window.statusText(), QStringLiteral("Mount cancelled."));
  EXPECT_TRUE(prompts.messages.isEmpty());
  EXPECT_FALSE(fs::exists(fs::symlink_status(manager.links().DefinitionPath('S').toStdString())));
  EXPECT_NE(stack_.velmoran()->Ctl("query VelmoranEx0").code, 0);
  EXPECT_FALSE(settings.ReadDrive(0).has_value());
  EXPECT_EQ(window.driveList()->model()->rowCount(), 0);
}

// The log-on start ("-a") brings the saved drives back; one saved without
// its password asks for it.
TEST_F(MounterWindowProgramTest, TheLogOnStartMountsTheSavedDrivesAskingForAPassword) {
  fs::create_directories(scratch_.File("content"));
  ASSERT_EQ(Shell("echo 'saved' > " + scratch_.File("content/hello.txt")).code, 0);
  const std::string image = scratch_.File("saved.img");
  ASSERT_EQ(Shell("mkfs.ext4 -q -F -d " + scratch_.File("content") + " " + image + " 16M").code, 0);
  const int port = stack_.Export(image, "full", "--password opensesame");
  ASSERT_FALSE(HasFailure());

  MounterSettings settings(SettingsPaths{QString::fromStdString(scratch_.File("config")),
                                         QString::fromStdString(scratch_.File("xdg")),
                                         QString::fromStdString(scratch_.File("cache"))});
  RootVolumes volumes(QString::fromStdString(scratch_.File("media")));
  MountManager manager(settings, volumes,
                       DriveLinks{QString::fromStdString(stack_.velmoran()->runtime_dir()), {}});
  AddDeviceAnswer saved;
  saved.type = 0;
  saved.ipAddress = 0x7F000001;
  saved.port = static_cast<uint32_t>(port);
  saved.driveLetter = 'R';
  settings.WriteDrive(3, manager.BuildRecord(saved));  // no digest: it was not saved
  WidgetPrompts dialogs;
  RecordingPrompts prompts(false);
  prompts.dialogs = &dialogs;
  MainWindow window(manager, settings, QStringLiteral("/usr/bin/velmoran-mounter"), true, &prompts);
  DialogAnswerer answers(0, QStringLiteral("R:"), QStringLiteral("opensesame"));
  window.Start(StartMode::kHidden);
  ASSERT_FALSE(window.isVisible());
  ASSERT_TRUE(Idle(window));
  EXPECT_EQ(answers.answered, QStringList{"passwordDialog"});
  ASSERT_EQ(window.driveList()->model()->rowCount(), 1);
  EXPECT_EQ(prompts.status, QStringLiteral("Saved drives mounted: R:"));
  EXPECT_EQ(Shell("cat " + Quote(scratch_.File("media/R/hello.txt"))).output, "saved\n");
  EXPECT_EQ(stack_.velmoran()->Ctl("query VelmoranEx3").code, 0) << "on its own index";
  // Saved now (the box was ticked): the next log-on asks nothing.
  EXPECT_EQ(settings.ReadPassword(htonl(0x7F000001), htons(static_cast<uint16_t>(port))),
            PasswordDigest("opensesame"));
  EXPECT_TRUE(manager.UnmountDrive('R').ok());
}

}  // namespace
}  // namespace quensaria::mounter
