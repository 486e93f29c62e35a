// The add-device, password, settings and about dialogs, driven as a user
// would, their boxes and file dialogs answered by RecordingPrompts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "mounter/about_dialog.h"
#include "mounter/add_device_dialog.h"
#include "mounter/password_dialog.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/settings_dialog.h"
#include "tests/qt_print_for_testing.h"

namespace quensaria::mounter {
namespace {

template <typename T>
T* Find(QWidget* parent, const char* name) {
  T* child = parent->findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no child %s", name);
  return child;
}

void ClickOk(QDialog* dialog) {
  Find<QDialogButtonBox>(dialog, "")->button(QDialogButtonBox::Ok)->click();
}

TEST(DialogsTest, PortFieldKeepsDigitsOnlyWithTheCaretAtTheEnd) {
  RecordingPrompts prompts;
  AddDeviceDialog dialog({}, {'D'}, prompts);
  dialog.show();
  auto* port = Find<QLineEdit>(&dialog, "port");
  port->clear();
  QTest::keyClicks(port, "6a0b0");
  ASSERT_EQ(port->text(), QStringLiteral("600"));
  ASSERT_EQ(port->cursorPosition(), 3);
  // A letter typed in the middle goes too, and the caret moves to the end.
  port->setCursorPosition(1);
  QTest::keyClicks(port, "x");
  ASSERT_EQ(port->text(), QStringLiteral("600"));
  ASSERT_EQ(port->cursorPosition(), 3);
}

TEST(DialogsTest, SourceTypeShowsEitherTheServerOrThePath) {
  RecordingPrompts prompts;
  AddDeviceDialog dialog({}, {'D'}, prompts);
  dialog.show();
  auto* address = Find<QLineEdit>(&dialog, "serverAddress");
  auto* port = Find<QLineEdit>(&dialog, "port");
  auto* path = Find<QLineEdit>(&dialog, "imagePath");
  auto* browse = Find<QPushButton>(&dialog, "browse");
  ASSERT_TRUE(Find<QRadioButton>(&dialog, "networkDisk")->isChecked());
  ASSERT_TRUE(address->isVisible() && port->isVisible());
  ASSERT_TRUE(!path->isVisible() && !browse->isVisible());
  ASSERT_TRUE(!Find<QRadioButton>(&dialog, "cdImage")->isVisible());

  QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
  ASSERT_TRUE(!address->isVisible() && !port->isVisible());
  ASSERT_TRUE(path->isVisible() && browse->isVisible());
  QTest::mouseClick(Find<QRadioButton>(&dialog, "networkDisk"), Qt::LeftButton);
  ASSERT_TRUE(address->isVisible() && !path->isVisible());
}

TEST(DialogsTest, OpensWithTheDefaultsAndTheFreeLetters) {
  RecordingPrompts prompts;
  AddDeviceDefaults defaults;
  defaults.type = 1;
  defaults.ipAddress = 0x0A000005;
  defaults.port = 61000;
  defaults.fileName = QStringLiteral("/srv/last.img");
  AddDeviceDialog dialog(defaults, {'E', 'H', 'Z'}, prompts);
  dialog.show();
  ASSERT_TRUE(Find<QRadioButton>(&dialog, "diskImage")->isChecked());
  ASSERT_TRUE(Find<QLineEdit>(&dialog, "imagePath")->isVisible());
  ASSERT_EQ(Find<QLineEdit>(&dialog, "imagePath")->text(), defaults.fileName);
  ASSERT_EQ(Find<QLineEdit>(&dialog, "serverAddress")->text(), QStringLiteral("10.0.0.5"));
  ASSERT_EQ(Find<QLineEdit>(&dialog, "port")->text(), QStringLiteral("61000"));
  auto* letters = Find<QComboBox>(&dialog, "driveLetter");
  ASSERT_EQ(letters->count(), 3);
  ASSERT_EQ(letters->itemText(0), QStringLiteral("E:"));
  ASSERT_EQ(letters->itemText(2), QStringLiteral("Z:"));
  ASSERT_EQ(letters->currentText(), QStringLiteral("E:"));
}

TEST(DialogsTest, OkAnswersANetworkDisk) {
  RecordingPrompts prompts;
  AddDeviceDialog dialog({}, {'D', 'K'}, prompts);
  dialog.show();
  auto* address = Find<QLineEdit>(&dialog, "serverAddress");
  address->selectAll();
  QTest::keyClicks(address, "192.168.1.10");
  auto* port = Find<QLineEdit>(&dialog, "port");
  port->selectAll();
  QTest::keyClicks(port, "60001");
  Find<QComboBox>(&dialog, "driveLetter")->setCurrentIndex(1);
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_EQ(dialog.answer().type, 0u);
  ASSERT_EQ(dialog.answer().ipAddress, 0xC0A8010Au);
  ASSERT_EQ(dialog.answer().port, 60001u);
  ASSERT_EQ(dialog.answer().driveLetter, 'K');
  ASSERT_TRUE(prompts.messages.isEmpty());
}

TEST(DialogsTest, TheTlsBoxIsOfferedForANetworkDiskOpensAsLastTimeAndIsAnswered) {
  RecordingPrompts prompts;
  AddDeviceDefaults defaults;
  defaults.ipAddress = 0x0A000005;
  AddDeviceDialog dialog(defaults, {'D'}, prompts);
  dialog.show();
  auto* tls = Find<QCheckBox>(&dialog, "tls");
  ASSERT_TRUE(tls->isVisible());
  ASSERT_FALSE(tls->isChecked());
  QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
  ASSERT_FALSE(tls->isVisible());
  QTest::mouseClick(Find<QRadioButton>(&dialog, "networkDisk"), Qt::LeftButton);
  ASSERT_TRUE(tls->isVisible());
  // On its box, at the left: the row is wider than box and label.
  QTest::mouseClick(tls, Qt::LeftButton, {}, QPoint(8, tls->height() / 2));
  ASSERT_TRUE(tls->isChecked());
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_TRUE(dialog.answer().tls);

  // Ticked last time: ticked again; unticked by the user: answered so.
  defaults.tls = true;
  AddDeviceDialog again(defaults, {'D'}, prompts);
  again.show();
  auto* box = Find<QCheckBox>(&again, "tls");
  ASSERT_TRUE(box->isChecked());
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
  ClickOk(&again);
  ASSERT_EQ(again.result(), int(QDialog::Accepted));
  ASSERT_FALSE(again.answer().tls);
}

TEST(DialogsTest, OkAnswersADiskImageChosenWithTheFileDialog) {
  RecordingPrompts prompts;
  prompts.file_names = {QString(), QStringLiteral("/srv/images/ten.img")};
  AddDeviceDialog dialog({}, {'F'}, prompts);
  dialog.show();
  QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
  auto* path = Find<QLineEdit>(&dialog, "imagePath");
  QTest::keyClicks(path, "/typed.img");
  Find<QPushButton>(&dialog, "browse")->click();  // cancelled: the field stays
  ASSERT_EQ(path->text(), QStringLiteral("/typed.img"));
  Find<QPushButton>(&dialog, "browse")->click();
  ASSERT_EQ(path->text(), QStringLiteral("/srv/images/ten.img"));
  ASSERT_EQ(prompts.filters.value(0), QStringLiteral("Disk Image Files (*.img);;All Files (*.*)"));
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_EQ(dialog.answer().type, 1u);
  ASSERT_EQ(dialog.answer().fileName, QStringLiteral("/srv/images/ten.img"));
  ASSERT_EQ(dialog.answer().driveLetter, 'F');
  ASSERT_EQ(path->maxLength(), 260);
}

// A path longer than the field takes, chosen with the file dialog or
// opened with as the last one, is shown and answered whole, so that the
// mount refuses it instead of using another file's name.
TEST(DialogsTest, ALongImagePathIsKeptWholeNotCut) {
  const QString chosen = QStringLiteral("/srv/") + QString(290, QLatin1Char('c')) + ".img";
  RecordingPrompts prompts;
  prompts.file_names = {chosen};
  AddDeviceDialog dialog({}, {'F'}, prompts);
  dialog.show();
  QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
  Find<QPushButton>(&dialog, "browse")->click();
  EXPECT_EQ(Find<QLineEdit>(&dialog, "imagePath")->text().toStdString(), chosen.toStdString());
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  EXPECT_EQ(dialog.answer().fileName.toStdString(), chosen.toStdString());

  AddDeviceDefaults last;
  last.type = 1;
  last.fileName = chosen;
  AddDeviceDialog again(last, {'F'}, prompts);
  EXPECT_EQ(Find<QLineEdit>(&again, "imagePath")->text().toStdString(), chosen.toStdString());
}

// A disk image without a path is refused before it reaches the driver,
// which could only fail to find the file; the dialog stays open on the field.
TEST(DialogsTest, AnEmptyImagePathIsRefusedWithAMessage) {
  RecordingPrompts prompts;
  AddDeviceDialog dialog({}, {'F'}, prompts);
  dialog.show();
  QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
  auto* path = Find<QLineEdit>(&dialog, "imagePath");
  ASSERT_TRUE(path->text().isEmpty());
  ClickOk(&dialog);
  ASSERT_TRUE(dialog.isVisible());
  ASSERT_NE(dialog.result(), int(QDialog::Accepted));
  ASSERT_EQ(prompts.messages, QStringList{QStringLiteral("Please choose the disk image file.")});

  QTest::keyClicks(path, "/srv/images/ten.img");
  prompts.messages.clear();
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_TRUE(prompts.messages.isEmpty());
  ASSERT_EQ(dialog.answer().fileName, QStringLiteral("/srv/images/ten.img"));
}

TEST(DialogsTest, OtherSourceTypesAskForATypeAndStayOpen) {
  RecordingPrompts prompts;
  AddDeviceDefaults cd;
  cd.type = 2;  // the hidden CD image type
  AddDeviceDialog dialog(cd, {'D'}, prompts);
  dialog.show();
  ASSERT_TRUE(Find<QRadioButton>(&dialog, "cdImage")->isChecked());
  Find<QPushButton>(&dialog, "browse")->click();
  ASSERT_EQ(prompts.filters.value(0), QStringLiteral("CD Image Files (*.iso);;All Files (*.*)"));
  ClickOk(&dialog);
  ASSERT_TRUE(dialog.isVisible());
  ASSERT_EQ(prompts.messages, QStringList{QStringLiteral("Please select a source type !")});

  AddDeviceDefaults unknown;
  unknown.type = 7;  // a settings value no button stands for
  AddDeviceDialog none(unknown, {'D'}, prompts);
  none.show();
  ClickOk(&none);
  ASSERT_TRUE(none.isVisible());
  ASSERT_EQ(prompts.messages.size(), 2);
  ASSERT_EQ(prompts.messages.last(), QStringLiteral("Please select a source type !"));
}

// Port 0, a port above 65535, an empty port, an empty or half address: each
// refused with a message, the dialog open on the field.
TEST(DialogsTest, UnusableServerFieldsAreRefusedWithAMessage) {
  RecordingPrompts prompts;
  AddDeviceDialog dialog({}, {'D'}, prompts);
  dialog.show();
  auto* port = Find<QLineEdit>(&dialog, "port");
  auto* address = Find<QLineEdit>(&dialog, "serverAddress");
  address->setText(QStringLiteral("10.0.0.9"));
  const QString bad_port =
      QStringLiteral("Please enter the server's port: a number from 1 to 65535.");
  for (const char* typed : {"70000", "0", ""}) {  // 70000 would wrap to 4464 in the record
    prompts.messages.clear();
    port->selectAll();
    port->del();
    QTest::keyClicks(port, typed);
    ClickOk(&dialog);
    ASSERT_TRUE(dialog.isVisible()) << typed;
    ASSERT_EQ(prompts.messages, QStringList{bad_port}) << typed;
  }
  port->selectAll();
  QTest::keyClicks(port, "65535");
  for (const char* typed : {"10.0.0", "", "10.0.0.256"}) {
    prompts.messages.clear();
    address->selectAll();
    address->del();
    QTest::keyClicks(address, typed);
    ClickOk(&dialog);
    ASSERT_TRUE(dialog.isVisible()) << typed;
    ASSERT_EQ(prompts.messages.size(), 1) << typed;
    ASSERT_TRUE(
        prompts.messages[0].startsWith(QStringLiteral("Please enter the server's IPv4 address")));
  }
  // 0.0.0.0 reaches this machine itself, as the other servers' field says.
  for (const char* typed : {"0.0.0.0", "0.00.0.000"}) {
    prompts.messages.clear();
    address->selectAll();
    address->del();
    QTest::keyClicks(address, typed);
    ClickOk(&dialog);
    ASSERT_TRUE(dialog.isVisible()) << typed << " was taken for a server";
    ASSERT_EQ(prompts.messages,
              QStringList{QStringLiteral(
                  "Server address: 0.0.0.0 is no server. Please enter the server's IPv4 address, "
                  "such as 192.168.1.10.")})
        << typed;
  }
  address->selectAll();
  QTest::keyClicks(address, "10.0.0.9");
  prompts.messages.clear();
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_TRUE(prompts.messages.isEmpty());
  ASSERT_EQ(dialog.answer().port, 65535u);
  ASSERT_EQ(dialog.answer().ipAddress, 0x0A000009u);

  AddDeviceDialog no_letter({}, {}, prompts);
  no_letter.show();
  Find<QLineEdit>(&no_letter, "serverAddress")->setText(QStringLiteral("10.0.0.9"));
  ClickOk(&no_letter);
  ASSERT_TRUE(no_letter.isVisible());
  ASSERT_EQ(prompts.messages.last(), QStringLiteral("Every drive letter from D: to Z: is in use."));
}

TEST(DialogsTest, OtherServersAreAnsweredInOrderOrRefusedWithTheirFault) {
  RecordingPrompts prompts;
  AddDeviceDefaults defaults;
  defaults.ipAddress = 0x0A000005;  // 10.0.0.5
  defaults.port = 60000;
  defaults.moreServers = QStringLiteral("10.0.0.6:60000");
  AddDeviceDialog dialog(defaults, {'D'}, prompts);
  dialog.show();
  auto* more = Find<QLineEdit>(&dialog, "otherServers");
  ASSERT_EQ(more->text(), QStringLiteral("10.0.0.6:60000"));
  ASSERT_TRUE(more->isVisible());
  struct Bad {
    const char* typed;
    const char* says;
  };
  const Bad bad[] = {
      {"10.0.0.6", "give it as ADDRESS:PORT"},
      {"10.0.0.6:70000", "from 1 to 65535"},
      {"10.0.0.6:1 10.0.0.7:1 10.0.0.8:1", "at most 2 servers"},
      {"10.0.0.5:60000", "is the first server already"},
  };
  for (const Bad& b : bad) {
    prompts.messages.clear();
    more->setText(QString::fromLatin1(b.typed));
    ClickOk(&dialog);
    ASSERT_TRUE(dialog.isVisible()) << b.typed;
    ASSERT_EQ(prompts.messages.size(), 1) << b.typed;
    EXPECT_TRUE(prompts.messages[0].startsWith(QStringLiteral("Other servers: "))) << b.typed;
    EXPECT_TRUE(prompts.messages[0].contains(QLatin1String(b.says)))
        << prompts.messages[0].toStdString();
  }
  prompts.messages.clear();
  more->setText(QStringLiteral(" 10.0.0.7:60002,10.0.0.6:60001 "));
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_TRUE(prompts.messages.isEmpty());
  const std::vector<MountServer>& answered = dialog.answer().moreServers;
  ASSERT_EQ(answered.size(), 2u);
  EXPECT_EQ(ServerText(answered[0]), "10.0.0.7:60002");
  EXPECT_EQ(ServerText(answered[1]), "10.0.0.6:60001");
}

// The field starts empty (a text the user did not type is never sent as a
// password), masked, and the dialog says why it asks.
TEST(DialogsTest, PasswordDialogStartsEmptyAndSaysWhyItAsks) {
  PasswordDialog dialog(PasswordPrompt::kNeeded, QStringLiteral("10.0.0.5 : 60000"));
  dialog.show();
  auto* password = Find<QLineEdit>(&dialog, "password");
  ASSERT_EQ(password->text(), QString());
  ASSERT_EQ(password->echoMode(), QLineEdit::Password);
  ASSERT_TRUE(!Find<QCheckBox>(&dialog, "savePassword")->isChecked());
  ASSERT_EQ(Find<QLabel>(&dialog, "passwordResource")->text(), QStringLiteral("10.0.0.5 : 60000"));
  const QString needed = Find<QLabel>(&dialog, "passwordPrompt")->text();
  // OK untouched answers the empty password.
  ClickOk(&dialog);
  ASSERT_EQ(dialog.password(), QString());

  PasswordDialog again(PasswordPrompt::kRefused, QStringLiteral("10.0.0.5 : 60000"));
  again.show();
  ASSERT_EQ(Find<QLabel>(&again, "passwordPrompt")->text(),
            QStringLiteral("密码未被接受，请重新输入："));
  PasswordDialog saved(PasswordPrompt::kSavedRefused, QStringLiteral("10.0.0.5 : 60000"));
  ASSERT_NE(Find<QLabel>(&saved, "passwordPrompt")->text(), needed);
  auto* typed = Find<QLineEdit>(&again, "password");
  typed->setFocus();
  QTest::keyClicks(typed, "opensesame");
  Find<QCheckBox>(&again, "savePassword")->click();
  ClickOk(&again);
  ASSERT_EQ(again.password(), QStringLiteral("opensesame"));
  ASSERT_TRUE(again.savePassword());
}

TEST(DialogsTest, SettingsDialogHandsItsValuesToTheSettings) {
  RecordingPrompts prompts;
  std::vector<std::pair<bool, QString>> applied;
  QString refusal = QStringLiteral("Path not exist or the path specified is invalid.");
  SettingsDialog dialog(
      true, QStringLiteral("/var/tmp/cache/"),
      [&](bool start, const QString& folder) {
        applied.emplace_back(start, folder);
        return refusal;
      },
      prompts);
  dialog.show();
  ASSERT_TRUE(Find<QCheckBox>(&dialog, "startAtLogOn")->isChecked());
  auto* folder = Find<QLineEdit>(&dialog, "tempFolder");
  ASSERT_EQ(folder->text(), QStringLiteral("/var/tmp/cache/"));
  auto* unused = Find<QCheckBox>(&dialog, "virtualWriteUnused");
  ASSERT_TRUE(!unused->isVisible());
  ASSERT_EQ(unused->text(), QStringLiteral("Network disks working with virtual write mode."));

  Find<QPushButton>(&dialog, "clearFolder")->click();
  ASSERT_EQ(folder->text(), QString());
  QTest::keyClicks(folder, "/nowhere");
  Find<QCheckBox>(&dialog, "startAtLogOn")->click();
  ClickOk(&dialog);
  ASSERT_TRUE(dialog.isVisible());  // refused: the message, and the dialog stays
  ASSERT_EQ(prompts.messages, QStringList{refusal});
  refusal.clear();
  ClickOk(&dialog);
  ASSERT_EQ(dialog.result(), int(QDialog::Accepted));
  ASSERT_EQ(applied.size(), size_t{2});
  ASSERT_EQ(applied[1].first, false);
  ASSERT_EQ(applied[1].second, folder->text());
}

TEST(DialogsTest, AboutDialogNamesTheVersion) {
  AboutDialog dialog;
  ASSERT_TRUE(Find<QLabel>(&dialog, "productName")->text().endsWith(QStringLiteral(" V1.6")));
}

}  // namespace

}  // namespace quensaria::mounter
