#include "mounter/drive_texts.h"

#include <gtest/gtest.h>

#include <QTest>

#include "mounter/mount_manager.h"
#include "mounter/window_texts.h"
#include "tests/qt_print_for_testing.h"

namespace quensaria::mounter {
namespace {

// A row as the list has it, of a network disk or an image.
MountedDrive Row(char letter, uint32_t source_type, const char* source) {
  MountedDrive drive;
  drive.letter = letter;
  drive.query.sourceType = source_type;
  drive.source = QString::fromUtf8(source);
  return drive;
}

TEST(DriveTextsTest, TrayItemsShowTheLetterRightAlignedAndTheSource) {
  ASSERT_EQ(TrayUnmountItemText(Row('D', kSourceTypeNetwork, "10.0.0.5 : 60000")),
            QStringLiteral(" D: (10.0.0.5 : 60000)"));
  ASSERT_EQ(TrayUnmountItemText(Row('Z', kSourceTypeDiskImage, "/srv/images/disk.img")),
            QStringLiteral(" Z:(/srv/images/disk.img)"));
  ASSERT_EQ(TrayUnmountCommand('D'), 0x9044);
  ASSERT_EQ(TrayUnmountCommand('Z'), 0x905A);
}

TEST(DriveTextsTest, DigitsOnly) {
  const struct {
    const char* name;
    QString typed;
    QString kept;
  } cases[] = {
      {"letters between digits", "6a0b0", "600"},
      {"digits", "60000", "60000"},
      {"nothing left", "-+ x", ""},
      {"non-ASCII digits", QStringLiteral("6\u0661\uFF10"), "6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quensaria::mounter::DigitsOnly(c.typed), c.kept) << c.name;
  }
}

TEST(DriveTextsTest, Ipv4TextsRoundTripAndRefuseMalformedAddresses) {
  ASSERT_EQ(Ipv4Text(0), QStringLiteral("0.0.0.0"));
  ASSERT_EQ(Ipv4Text(0xC0A8010A), QStringLiteral("192.168.1.10"));
  ASSERT_EQ(Ipv4FromText("192.168.1.10"), std::optional<uint32_t>(0xC0A8010A));
  ASSERT_EQ(Ipv4FromText("255.255.255.255"), std::optional<uint32_t>(0xFFFFFFFF));
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "1.2.3.0004", "a.b.c.d"}) {
    ASSERT_TRUE(!Ipv4FromText(QLatin1String(bad))) << bad;
  }
}

TEST(DriveTextsTest, FileFiltersBecomeQtFilters) {
  ASSERT_EQ(QtFileFilter(QString::fromUtf8(texts::kImageFilter)),
            QStringLiteral("Disk Image Files (*.img);;All Files (*.*)"));
  ASSERT_EQ(QtFileFilter(QString::fromUtf8(texts::kCdImageFilter)),
            QStringLiteral("CD Image Files (*.iso);;All Files (*.*)"));
}

}  // namespace

}  // namespace quensaria::mounter
