#include "mounter/auto_mount.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QSettings>

#include "mounter/driver_for_testing.h"
#include "platform/scratch_dir_for_testing.h"

namespace quensaria::mounter {
namespace {

// "-automount" with the settings of a scratch folder: the XDG variables
// name it while the test runs.
class RunAutoMountTest : public ::testing::Test {
 protected:
  RunAutoMountTest() {
    ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", dir_.File("xdg").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", dir_.File("cache").c_str(), 1);
    // A driver runtime folder without devices: no mount gets through.
    QDir().mkpath(QString::fromStdString(dir_.File("xdg/Ostravin")));
    QSettings system(QString::fromStdString(dir_.File("xdg/Ostravin/Velmoran.conf")),
                     QSettings::IniFormat);
    system.setValue("Mounter/DriverRuntimeDir", QString::fromStdString(dir_.File("run")));
  }
  ~RunAutoMountTest() override {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_CONFIG_DIRS");
    ::unsetenv("XDG_CACHE_HOME");
  }

  testing::ScratchDir dir_;
};

// The exit status says whether the saved drives are there: a log-on script
// or a user service learns that a drive did not come back.
TEST_F(RunAutoMountTest, TheExitStatusFailsWhileASavedDriveIsNotMounted) {
  EXPECT_EQ(RunAutoMount({2, std::chrono::milliseconds(0)}), 0) << "nothing is saved";

  MounterSettings settings(SettingsPaths::Default());
  ASSERT_TRUE(settings.WriteDrive(1, ImageRecord('G', "/srv/g.img", 0)));
  EXPECT_NE(RunAutoMount({2, std::chrono::milliseconds(0)}), 0)
      << "the saved drive G: was not mounted, and the exit status said success";
}

}  // namespace
}  // namespace quensaria::mounter
