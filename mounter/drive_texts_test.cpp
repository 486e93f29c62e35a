#include "mounter/drive_texts.h"

#include <QTest>

#include "mounter/window_engine_for_testing.h"
#include "mounter/window_tests.h"
#include "mounter/window_texts.h"

namespace quensaria::mounter {
namespace {

class DriveTextsTest : public QObject {
  Q_OBJECT

 private slots:
  void TrayItemsShowTheLetterRightAlignedAndTheSource() {
    QCOMPARE(TrayUnmountItemText(FakeNetworkDrive('D', "10.0.0.5", 60000, "1.50G", false)),
             QStringLiteral(" D: (10.0.0.5 : 60000)"));
    QCOMPARE(TrayUnmountItemText(FakeImageDrive('Z', "/srv/images/disk.img", "8.00M")),
             QStringLiteral(" Z:(/srv/images/disk.img)"));
    QCOMPARE(TrayUnmountCommand('D'), 0x9044);
    QCOMPARE(TrayUnmountCommand('Z'), 0x905A);
  }

  void DigitsOnly_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("letters between digits") << "6a0b0" << "600";
    QTest::newRow("digits") << "60000" << "60000";
    QTest::newRow("nothing left") << "-+ x" << "";
    QTest::newRow("non-ASCII digits") << QStringLiteral("6\u0661\uFF10") << "6";
  }
  void DigitsOnly() {
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QCOMPARE(quensaria::mounter::DigitsOnly(typed), kept);
  }

  void Ipv4TextsRoundTripAndRefuseMalformedAddresses() {
    QCOMPARE(Ipv4Text(0), QStringLiteral("0.0.0.0"));
    QCOMPARE(Ipv4Text(0xC0A8010A), QStringLiteral("192.168.1.10"));
    QCOMPARE(Ipv4FromText("192.168.1.10"), std::optional<uint32_t>(0xC0A8010A));
    QCOMPARE(Ipv4FromText("255.255.255.255"), std::optional<uint32_t>(0xFFFFFFFF));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ",
                            "1.2.3.0004", "a.b.c.d"}) {
      QVERIFY2(!Ipv4FromText(QLatin1String(bad)), bad);
    }
  }

  void FileFiltersBecomeQtFilters() {
    QCOMPARE(QtFileFilter(QString::fromUtf8(texts::kImageFilter)),
             QStringLiteral("Disk Image Files (*.img);;All Files (*.*)"));
    QCOMPARE(QtFileFilter(QString::fromUtf8(texts::kCdImageFilter)),
             QStringLiteral("CD Image Files (*.iso);;All Files (*.*)"));
  }
};

}  // namespace

QObject* NewDriveTextsTest() { return new DriveTextsTest; }

}  // namespace quensaria::mounter

#include "drive_texts_test.moc"
