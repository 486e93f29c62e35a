// The mounter's UDisks2 way against a stand-in on a private bus, which
// checks the calls and their arguments: the device file's descriptor, the
// partition's offset and size, the retry while UDisks2 probes, a busy
// unmount, the refusal of an unauthorised user, and no bus at all.
#include "mounter/udisks2_volumes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QString>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/eventually_for_testing.h"
#include "shared/win32_error.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::mounter {
namespace {

namespace fs = std::filesystem;
using harness::CommandResult;
using harness::Quote;
using harness::Shell;
using testing::Program;

// Lines of the stand-in's output that record a call, in order.
std::vector<std::string> Calls(const Program& stand_in) {
  std::vector<std::string> calls;
  std::istringstream lines(stand_in.Log());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("call ", 0) == 0 || line.rfind("bad call", 0) == 0) calls.push_back(line);
  }
  return calls;
}

class UDisks2VolumesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "udisks2_volumes_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc, argv);
  }

  void SetUp() override {
    const CommandResult daemon = Shell("command -v dbus-daemon");
    if (daemon.code != 0 || Shell("command -v mkfs.ext4 && command -v sfdisk").code != 0) {
      GTEST_SKIP() << "dbus-daemon, mkfs.ext4 or sfdisk missing";
    }
    const std::string dbus_daemon = daemon.output.substr(0, daemon.output.find('\n'));
    socket_ = scratch_.File("bus");
    address_ = "unix:path=" + socket_;
    const std::string socket = socket_;
    bus_ = Program::Start(
        {dbus_daemon, "--session", "--nofork", "--nopidfile", "--address=" + address_},
        [socket](const Program&) { return fs::exists(socket); });
    ASSERT_TRUE(bus_ && bus_->running());
    // A disk with one partition at 1 MiB holding ext4, as a device file of
    // the driver would show it.
    disk_ = scratch_.File("disk.img");
    const std::string part = scratch_.File("part.img");
    ASSERT_EQ(0, Shell("truncate -s 12M " + Quote(disk_) +
                       " && printf 'start=2048, type=83\\n' | "
                       "sfdisk -q " +
                       Quote(disk_) + " && mkfs.ext4 -q -F " + Quote(part) +
                       " 11M && dd if=" + Quote(part) + " of=" + Quote(disk_) +
                       " bs=1M seek=1 conv=notrunc status=none")
                     .code);
  }

  void StartStandIn(const std::string& mode) {
    stand_in_ = Program::Start({UDISKS2_STAND_IN, address_, disk_, mode}, [](const Program& d) {
      return d.Log().find("ready") != std::string::npos;
    });
    ASSERT_TRUE(stand_in_ && stand_in_->running());
  }

  // A connection of its own per test: a name already used would give back
  // the connection to an earlier test's bus.
  QDBusConnection Connect() {
    static int connections = 0;
    return QDBusConnection::connectToBus(QString::fromStdString(address_),
                                         QStringLiteral("test-%1").arg(++connections));
  }

  // Whether the stand-in should see a descriptor opened for direct I/O:
  // where the scratch file system takes O_DIRECT at all.
  std::string DirectIo() const {
    const int fd = ::open(disk_.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
    if (fd < 0) return "0";
    ::close(fd);
    return "1";
  }

  static QCoreApplication* app_;
  testing::ScratchDir scratch_;
  std::string socket_;
  std::string address_;
  std::string disk_;
  std::unique_ptr<Program> bus_;
  std::unique_ptr<Program> stand_in_;
};

QCoreApplication* UDisks2VolumesTest::app_ = nullptr;

TEST_F(UDisks2VolumesTest, AttachesThePartitionThenUnmountsAndDeletesTheLoop) {
  StartStandIn("ok");
  UDisks2Volumes volumes(Connect());
  const Status attached = volumes.Attach('M', {QString::fromStdString(disk_), {}});
  ASSERT_TRUE(attached.ok()) << attached.ToString() << stand_in_->Log();
  // In use: refused, and the loop stays.
  EXPECT_EQ(ERROR_BUSY, volumes.Detach('M', {QString::fromStdString(disk_), {}}).code());
  EXPECT_TRUE(volumes.Detach('M', {QString::fromStdString(disk_), {}}).ok());
  // Nothing of ours is left: a second detach finds nothing to do.
  EXPECT_TRUE(volumes.Detach('M', {QString::fromStdString(disk_), {}}).ok());
  EXPECT_EQ(Calls(*stand_in_),
            (std::vector<std::string>{
                "call LoopSetup same-file=1 direct-io=" + DirectIo() +
                    " options=no-part-scan:bool=true,offset:qulonglong=1048576,size:qulonglong="
                    "11534336",
                "call Mount (not yet)",
                "call Mount options=",
                "call GetManagedObjects",
                "call Unmount (busy)",
                "call GetManagedObjects",
                "call Unmount",
                "call Delete while-mounted=0",
                "call GetManagedObjects",
            }));
}

TEST_F(UDisks2VolumesTest, OnABlockDeviceThePartitionIsMountedWithoutALoop) {
  StartStandIn("block");
  UDisks2Volumes volumes(Connect());
  // The driver's block device, which UDisks2 knows; its device file is not
  // used at all.
  const DriveDisk disk{QString::fromStdString(scratch_.File("no-device-file")),
                       QString::fromStdString(disk_)};
  const Status attached = volumes.Attach('M', disk);
  ASSERT_TRUE(attached.ok()) << attached.ToString() << stand_in_->Log();
  EXPECT_EQ(ERROR_BUSY, volumes.Detach('M', disk).code());
  EXPECT_TRUE(volumes.Detach('M', disk).ok());
  // Not mounted any more: nothing to undo.
  EXPECT_TRUE(volumes.Detach('M', disk).ok());
  EXPECT_EQ(Calls(*stand_in_), (std::vector<std::string>{
                                   "call GetManagedObjects",
                                   "call GetManagedObjects",
                                   "call Mount partition options=",
                                   "call GetManagedObjects",
                                   "call Unmount partition (busy)",
                                   "call GetManagedObjects",
                                   "call Unmount partition",
                                   "call GetManagedObjects",
                                   "call GetManagedObjects",
                                   "call Unmount partition (not mounted)",
                                   "call GetManagedObjects",
                               }));
}

// A file system UDisks2 cannot mount: its own words, no "communication
// error", and the loop device deleted again.
TEST_F(UDisks2VolumesTest, AFailedMountIsExplainedInUDisks2sWordsAndLeavesNoLoop) {
  StartStandIn("mount-fails");
  UDisks2Volumes volumes(Connect());
  const Status attached = volumes.Attach('M', {QString::fromStdString(disk_), {}});
  EXPECT_EQ(ERROR_GEN_FAILURE, attached.code());
  EXPECT_EQ(attached.message(),
            "UDisks2 could not attach the drive's file system: Error mounting /dev/loop7: wrong fs "
            "type");
  const std::vector<std::string> calls = Calls(*stand_in_);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "call Delete while-mounted=0");
}

TEST_F(UDisks2VolumesTest, AnUnauthorisedUserIsToldWhatToDo) {
  StartStandIn("deny");
  UDisks2Volumes volumes(Connect());
  const Status attached = volumes.Attach('M', {QString::fromStdString(disk_), {}});
  EXPECT_EQ(ERROR_ACCESS_DENIED, attached.code());
  EXPECT_EQ(attached.message().rfind("UDisks2 did not allow you", 0), 0u) << attached.message();
  EXPECT_EQ(Calls(*stand_in_).size(), 1u);
}

TEST_F(UDisks2VolumesTest, WithoutUDisks2OrABusTheSentenceSaysWhatIsMissing) {
  // A bus without the service.
  UDisks2Volumes no_service(Connect());
  const Status without_service = no_service.Attach('M', {QString::fromStdString(disk_), {}});
  EXPECT_EQ(ERROR_NOT_SUPPORTED, without_service.code());
  EXPECT_NE(without_service.message().find("UDisks2 service is not available"), std::string::npos)
      << without_service.message();
  // No bus at all.
  UDisks2Volumes no_bus(QDBusConnection::connectToBus(
      QString::fromStdString("unix:path=" + (scratch_.File("nobody"))), QStringLiteral("none")));
  const Status without_bus = no_bus.Attach('M', {QString::fromStdString(disk_), {}});
  EXPECT_EQ(ERROR_NOT_SUPPORTED, without_bus.code());
  EXPECT_NE(without_bus.message().find("no system bus"), std::string::npos)
      << without_bus.message();
  EXPECT_TRUE(no_bus.Detach('M', {QString::fromStdString(disk_), {}}).ok());
}

// A loop device over the device file that UDisks2 cannot be asked about
// (no service, no bus) is not taken for nothing to detach: the driver would
// unmount the drive under it, and a file system on it would lose its disk.
TEST_F(UDisks2VolumesTest, ALoopThatUDisks2CannotBeAskedAboutIsNoDriveWithoutAVolume) {
  const CommandResult attached = Shell("losetup -f --show " + Quote(disk_));
  if (attached.code != 0) GTEST_SKIP() << "no loop device here: " << attached.output;
  const std::string loop = attached.output.substr(0, attached.output.find('\n'));
  UDisks2Volumes no_service(Connect());
  UDisks2Volumes no_bus(QDBusConnection::connectToBus(
      QString::fromStdString("unix:path=" + (scratch_.File("nobody"))), QStringLiteral("none2")));
  const DriveDisk disk{QString::fromStdString(disk_), {}};
  const Status without_service = no_service.Detach('M', disk);
  const Status without_bus = no_bus.Detach('M', disk);
  EXPECT_EQ(0, Shell("losetup -d " + Quote(loop)).code);
  EXPECT_FALSE(without_service.ok()) << "the loop device over the drive was passed over";
  EXPECT_FALSE(without_bus.ok()) << "the loop device over the drive was passed over";
  // With it gone, there is nothing to detach (once the kernel let it go:
  // losetup -d only marks a loop device that udev still holds open).
  EXPECT_TRUE(testing::Eventually([&] { return no_service.Detach('M', disk).ok(); },
                                  std::chrono::seconds(20), std::chrono::milliseconds(20)));

  // The same for a file system on the drive's block device (a loop device
  // over a whole-disk ext4 stands for /dev/ublkbN here).
  const std::string whole = scratch_.File("whole.img");
  ASSERT_EQ(0, Shell("mkfs.ext4 -q -F " + Quote(whole) + " 8M").code);
  const CommandResult block = Shell("losetup -f --show " + Quote(whole));
  ASSERT_EQ(0, block.code) << block.output;
  const std::string device = block.output.substr(0, block.output.find('\n'));
  const std::string point = scratch_.File("point");
  fs::create_directories(point);
  const CommandResult mounted = Shell("mount " + Quote(device) + " " + Quote(point));
  const DriveDisk on_block{QString::fromStdString(scratch_.File("no-device-file")),
                           QString::fromStdString(device)};
  const Status block_without_service = no_service.Detach('M', on_block);
  if (mounted.code == 0) {
    EXPECT_EQ(0, Shell("umount " + Quote(point)).code);
  }
  EXPECT_EQ(0, Shell("losetup -d " + Quote(device)).code);
  ASSERT_EQ(0, mounted.code) << mounted.output;
  EXPECT_FALSE(block_without_service.ok()) << "the mounted file system was passed over";
}

}  // namespace
}  // namespace quensaria::mounter
