// The add-device, password, settings and about dialogs, driven as a user
// would, their boxes and file dialogs answered by ScriptedPrompts.
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
#include "mounter/settings_dialog.h"
#include "mounter/user_prompts_for_testing.h"
#include "mounter/window_tests.h"

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

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void PortFieldKeepsDigitsOnlyWithTheCaretAtTheEnd() {
    ScriptedPrompts prompts;
    AddDeviceDialog dialog({}, {'D'}, prompts);
    dialog.show();
    auto* port = Find<QLineEdit>(&dialog, "port");
    port->clear();
    QTest::keyClicks(port, "6a0b0");
    QCOMPARE(port->text(), QStringLiteral("600"));
    QCOMPARE(port->cursorPosition(), 3);
    // A letter typed in the middle goes too, and the caret moves to the end.
    port->setCursorPosition(1);
    QTest::keyClicks(port, "x");
    QCOMPARE(port->text(), QStringLiteral("600"));
    QCOMPARE(port->cursorPosition(), 3);
  }

  void SourceTypeShowsEitherTheServerOrThePath() {
    ScriptedPrompts prompts;
    AddDeviceDialog dialog({}, {'D'}, prompts);
    dialog.show();
    auto* address = Find<QLineEdit>(&dialog, "serverAddress");
    auto* port = Find<QLineEdit>(&dialog, "port");
    auto* path = Find<QLineEdit>(&dialog, "imagePath");
    auto* browse = Find<QPushButton>(&dialog, "browse");
    QVERIFY(Find<QRadioButton>(&dialog, "networkDisk")->isChecked());
    QVERIFY(address->isVisible() && port->isVisible());
    QVERIFY(!path->isVisible() && !browse->isVisible());
    QVERIFY(!Find<QRadioButton>(&dialog, "cdImage")->isVisible());

    QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
    QVERIFY(!address->isVisible() && !port->isVisible());
    QVERIFY(path->isVisible() && browse->isVisible());
    QTest::mouseClick(Find<QRadioButton>(&dialog, "networkDisk"), Qt::LeftButton);
    QVERIFY(address->isVisible() && !path->isVisible());
  }

  void OpensWithTheDefaultsAndTheFreeLetters() {
    ScriptedPrompts prompts;
    AddDeviceDefaults defaults;
    defaults.type = 1;
    defaults.ipAddress = 0x0A000005;
    defaults.port = 61000;
    defaults.fileName = QStringLiteral("/srv/last.img");
    AddDeviceDialog dialog(defaults, {'E', 'H', 'Z'}, prompts);
    dialog.show();
    QVERIFY(Find<QRadioButton>(&dialog, "diskImage")->isChecked());
    QVERIFY(Find<QLineEdit>(&dialog, "imagePath")->isVisible());
    QCOMPARE(Find<QLineEdit>(&dialog, "imagePath")->text(), defaults.fileName);
    QCOMPARE(Find<QLineEdit>(&dialog, "serverAddress")->text(), QStringLiteral("10.0.0.5"));
    QCOMPARE(Find<QLineEdit>(&dialog, "port")->text(), QStringLiteral("61000"));
    auto* letters = Find<QComboBox>(&dialog, "driveLetter");
    QCOMPARE(letters->count(), 3);
    QCOMPARE(letters->itemText(0), QStringLiteral("E:"));
    QCOMPARE(letters->itemText(2), QStringLiteral("Z:"));
    QCOMPARE(letters->currentText(), QStringLiteral("E:"));
  }

  void OkAnswersANetworkDisk() {
    ScriptedPrompts prompts;
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
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.answer().type, 0u);
    QCOMPARE(dialog.answer().ipAddress, 0xC0A8010Au);
    QCOMPARE(dialog.answer().port, 60001u);
    QCOMPARE(dialog.answer().driveLetter, 'K');
    QVERIFY(prompts.shown.isEmpty());
  }

  void OkAnswersADiskImageChosenWithTheFileDialog() {
    ScriptedPrompts prompts;
    prompts.file_names = {QString(), QStringLiteral("/srv/images/ten.img")};
    AddDeviceDialog dialog({}, {'F'}, prompts);
    dialog.show();
    QTest::mouseClick(Find<QRadioButton>(&dialog, "diskImage"), Qt::LeftButton);
    auto* path = Find<QLineEdit>(&dialog, "imagePath");
    QTest::keyClicks(path, "/typed.img");
    Find<QPushButton>(&dialog, "browse")->click();  // cancelled: the field stays
    QCOMPARE(path->text(), QStringLiteral("/typed.img"));
    Find<QPushButton>(&dialog, "browse")->click();
    QCOMPARE(path->text(), QStringLiteral("/srv/images/ten.img"));
    QCOMPARE(prompts.filters.value(0), QStringLiteral("Disk Image Files (*.img);;All Files (*.*)"));
    ClickOk(&dialog);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.answer().type, 1u);
    QCOMPARE(dialog.answer().fileName, QStringLiteral("/srv/images/ten.img"));
    QCOMPARE(dialog.answer().driveLetter, 'F');
    QCOMPARE(path->maxLength(), 260);
  }

  void OtherSourceTypesAskForATypeAndStayOpen() {
    ScriptedPrompts prompts;
    AddDeviceDefaults cd;
    cd.type = 2;  // the hidden CD image type
    AddDeviceDialog dialog(cd, {'D'}, prompts);
    dialog.show();
    QVERIFY(Find<QRadioButton>(&dialog, "cdImage")->isChecked());
    Find<QPushButton>(&dialog, "browse")->click();
    QCOMPARE(prompts.filters.value(0), QStringLiteral("CD Image Files (*.iso);;All Files (*.*)"));
    ClickOk(&dialog);
    QVERIFY(dialog.isVisible());
    QCOMPARE(prompts.shown, QStringList{QStringLiteral("Please select a source type !")});

    AddDeviceDefaults unknown;
    unknown.type = 7;  // a settings value no button stands for
    AddDeviceDialog none(unknown, {'D'}, prompts);
    none.show();
    ClickOk(&none);
    QVERIFY(none.isVisible());
    QCOMPARE(prompts.shown.size(), 2);
    QCOMPARE(prompts.shown.last(), QStringLiteral("Please select a source type !"));
  }

  void UnusableServerFieldsKeepTheDialogOpen() {
    ScriptedPrompts prompts;
    AddDeviceDialog dialog({}, {'D'}, prompts);
    dialog.show();
    auto* port = Find<QLineEdit>(&dialog, "port");
    port->selectAll();
    QTest::keyClicks(port, "70000");  // would wrap to 4464 in the record
    ClickOk(&dialog);
    QVERIFY(dialog.isVisible());
    port->selectAll();
    QTest::keyClicks(port, "65535");
    auto* address = Find<QLineEdit>(&dialog, "serverAddress");
    address->selectAll();
    QTest::keyClicks(address, "10.0.0");
    ClickOk(&dialog);
    QVERIFY(dialog.isVisible());
    address->end(false);
    QTest::keyClicks(address, ".9");
    ClickOk(&dialog);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.answer().port, 65535u);
    QCOMPARE(dialog.answer().ipAddress, 0x0A000009u);
  }

  void PasswordDialogStartsWithTheMaskedPlaceholder() {
    PasswordDialog dialog;
    dialog.show();
    auto* password = Find<QLineEdit>(&dialog, "password");
    QCOMPARE(password->text(), QStringLiteral("5820937164285039"));
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QVERIFY(!Find<QCheckBox>(&dialog, "savePassword")->isChecked());
    // The placeholder is selected: what the user types replaces it.
    password->setFocus();
    password->selectAll();
    QTest::keyClicks(password, "opensesame");
    Find<QCheckBox>(&dialog, "savePassword")->click();
    ClickOk(&dialog);
    QCOMPARE(dialog.password(), QStringLiteral("opensesame"));
    QVERIFY(dialog.savePassword());
  }

  void SettingsDialogHandsItsValuesToTheEngine() {
    ScriptedPrompts prompts;
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
    QVERIFY(Find<QCheckBox>(&dialog, "startAtLogOn")->isChecked());
    auto* folder = Find<QLineEdit>(&dialog, "tempFolder");
    QCOMPARE(folder->text(), QStringLiteral("/var/tmp/cache/"));
    auto* unused = Find<QCheckBox>(&dialog, "virtualWriteUnused");
    QVERIFY(!unused->isVisible());
    QCOMPARE(unused->text(), QStringLiteral("Network disks working with virtual write mode."));

    Find<QPushButton>(&dialog, "clearFolder")->click();
    QCOMPARE(folder->text(), QString());
    QTest::keyClicks(folder, "/nowhere");
    Find<QCheckBox>(&dialog, "startAtLogOn")->click();
    ClickOk(&dialog);
    QVERIFY(dialog.isVisible());  // refused: the message, and the dialog stays
    QCOMPARE(prompts.shown, QStringList{refusal});
    refusal.clear();
    ClickOk(&dialog);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(applied.size(), size_t{2});
    QCOMPARE(applied[1].first, false);
    QCOMPARE(applied[1].second, folder->text());
  }

  void AboutDialogNamesTheVersion() {
    AboutDialog dialog;
    QVERIFY(Find<QLabel>(&dialog, "productName")->text().endsWith(QStringLiteral(" V1.6")));
  }
};

}  // namespace

QObject* NewDialogsTest() { return new DialogsTest; }

}  // namespace quensaria::mounter

#include "dialogs_test.moc"
