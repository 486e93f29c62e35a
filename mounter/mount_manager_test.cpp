#include "mounter/mount_manager.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <cstring>

#include "platform/scratch_dir_for_testing.h"
#include "shared/win32_error.h"
#include "shared/win32_error_text.h"

namespace quensaria::mounter {
namespace {

class NoVolumes : public Volumes {
 public:
  uint32_t Attach(char, const DriveDisk&, QString*) override { return 0; }
  uint32_t Detach(char, const DriveDisk&) override { return 0; }
};

class MountManagerTest : public ::testing::Test {
 protected:
  MountManagerTest()
      : settings_(SettingsPaths{QString::fromStdString(dir_.File("config")),
                                QString::fromStdString(dir_.File("xdg")),
                                QString::fromStdString(dir_.File("cache"))}),
        manager_(settings_, volumes_, DriveLinks{QString::fromStdString(dir_.File("run")), {}}) {}

  static std::u16string Field(const char16_t* field) { return std::u16string(field); }

  testing::ScratchDir dir_;
  MounterSettings settings_;
  NoVolumes volumes_;
  MountManager manager_;
};

TEST_F(MountManagerTest, NetworkRecordCarriesAddressPortAndCachePath) {
  const QString own = QString::fromStdString(dir_.File("Velmoran"));
  QDir().mkpath(own);
  settings_.SetTempFolder(own);
  AddDeviceAnswer answer;
  answer.type = 0;
  answer.ipAddress = 0xC0A8010A;  // 192.168.1.10
  answer.port = 60000;
  answer.driveLetter = 'K';
  const MountRecord record = manager_.BuildRecord(answer);
  EXPECT_EQ(record.sourceType, kSourceTypeNetwork);
  EXPECT_EQ(record.virtualWrite, 1);
  EXPECT_EQ(record.networkMarker, 1);
  EXPECT_EQ(record.readOnly, 0);
  EXPECT_EQ(record.imageSize, 0u);
  EXPECT_EQ(record.driveLetter, 'K');
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  EXPECT_EQ(bytes[16], 192);
  EXPECT_EQ(bytes[19], 10);
  EXPECT_EQ(bytes[20], 0xEA);
  EXPECT_EQ(bytes[21], 0x60);
  EXPECT_EQ(Field(record.cachePath),
            (QStringLiteral("\\??\\") + own + "/a01a8c060ea.dat").toStdU16String());
  EXPECT_EQ(record.sourceName[0], 0);
  for (uint8_t b : record.passwordDigest) EXPECT_EQ(b, 0);
}

TEST_F(MountManagerTest, ImageRecordsNameTheFileAndPickTheDeviceKind) {
  AddDeviceAnswer answer;
  answer.type = 1;
  answer.fileName = "/srv/images/disk.img";
  answer.driveLetter = 'E';
  MountRecord record = manager_.BuildRecord(answer);
  EXPECT_EQ(record.sourceType, kSourceTypeDiskImage);
  EXPECT_EQ(record.virtualWrite, 0);
  EXPECT_EQ(record.networkMarker, 0);
  EXPECT_EQ(record.serverAddress, 0u);
  EXPECT_EQ(record.serverPort, 0);
  EXPECT_EQ(record.cachePath[0], 0);
  EXPECT_EQ(Field(record.sourceName), u"\\??\\/srv/images/disk.img");

  answer.type = 2;
  record = manager_.BuildRecord(answer);
  EXPECT_EQ(record.sourceType, kSourceTypeCdImage);
  const DriveLinks& links = manager_.links();
  EXPECT_TRUE(links.DevicePath(3, kSourceTypeCdImage).endsWith("/Device/VelmoranEx/VelmoranExCd3"));
  EXPECT_TRUE(links.DevicePath(3, kSourceTypeDiskImage).endsWith("/Device/VelmoranEx/VelmoranEx3"));
  EXPECT_TRUE(links.DefinitionPath('E').endsWith("/run/DosDevices/E:"));
  EXPECT_TRUE(links.GlobalLinkPath('E').endsWith("/run/DosDevices/Global/E:"));
}

TEST_F(MountManagerTest, CapacityTexts) {
  EXPECT_EQ(CapacityText(800), "0.00K");
  EXPECT_EQ(CapacityText(1023), "0.00K");
  EXPECT_EQ(CapacityText(1024), "1.00K");
  EXPECT_EQ(CapacityText(uint64_t{1} << 20), "1.00M");
  EXPECT_EQ(CapacityText(uint64_t{3} << 29), "1.50G");
  EXPECT_EQ(CapacityText(uint64_t{5} << 40), "5.00T");
}

TEST_F(MountManagerTest, ResultTextsByOrigin) {
  EXPECT_EQ(manager_.MountResultText(0, FlowOrigin::kToolbar), "Mount successfully");
  EXPECT_EQ(manager_.MountResultText(0, FlowOrigin::kTray), "Mount success");
  for (FlowOrigin origin : {FlowOrigin::kToolbar, FlowOrigin::kTray}) {
    EXPECT_EQ(manager_.MountResultText(kNoFreeDevice, origin),
              "The maximum number of drives are mounted!");
    EXPECT_EQ(manager_.MountResultText(kCancelled, origin), "");
  }
  EXPECT_EQ(manager_.MountResultText(86, FlowOrigin::kToolbar),
            "Communication error: The specified network password is not correct.");
  EXPECT_EQ(manager_.MountResultText(170, FlowOrigin::kTray),
            "Velmoran has encountered an error while mounting drive, error message: The "
            "requested resource is in use.");
}

TEST(Win32ErrorTextTest, KnownNumbersHaveTheirSystemTexts) {
  EXPECT_EQ(Win32ErrorText(ERROR_SERVICE_ALREADY_RUNNING),
            "An instance of the service is already running.");
  EXPECT_EQ(Win32ErrorText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(Win32ErrorText(ERROR_CONNECTION_REFUSED),
            "The remote computer refused the network connection.");
  EXPECT_EQ(Win32ErrorText(ERROR_NOT_READY), "The device is not ready.");
  EXPECT_EQ(Win32ErrorText(424242), "");
}

TEST_F(MountManagerTest, WithoutTheDriverNothingIsLeftBehind) {
  // The definitions folder exists but no device files: the definition is made,
  // the drive cannot be opened, and the definition goes again.
  QDir().mkpath(manager_.links().runtimeDir + "/DosDevices/Global");
  MountRecord record;
  std::memset(&record, 0, sizeof record);
  EXPECT_EQ(manager_.MountOnDevice(0, record, 'G'), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(QFileInfo(manager_.links().DefinitionPath('G')).isSymLink());
  EXPECT_EQ(manager_.lastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(manager_.MountResultText(ERROR_FILE_NOT_FOUND, FlowOrigin::kToolbar)
                  .startsWith("Communication error: The Velmoran driver is not running"))
      << manager_.MountResultText(ERROR_FILE_NOT_FOUND, FlowOrigin::kToolbar).toStdString();
  EXPECT_EQ(manager_.ListDrives().size(), 0u);
  EXPECT_EQ(manager_.FreeDriveLetters().size(), 23u);
  MountRecord out;
  EXPECT_EQ(manager_.QueryDrive('G', &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(manager_.UnmountDrive('G'), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace quensaria::mounter
