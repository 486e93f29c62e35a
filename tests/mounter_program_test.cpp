// The mounter's MountManager against the real service and driver, as root:
// quensaria --console set up with ludrane-cli, velmoran on a runtime
// directory of the test's own, and its flows answered by recording
// prompts. File systems land at /media/velmoran/X as they do for users.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "mounter/auto_mount.h"
#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/root_volumes.h"
#include "platform/eventually_for_testing.h"
#include "platform/loop_device.h"
#include "platform/volume_mount.h"
#include "shared/password_digest.h"
#include "shared/win32_error.h"
#include "tests/program_for_testing.h"
#include "tests/service_and_driver_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::mounter {
namespace {

namespace fs = std::filesystem;
using harness::CommandResult;
using harness::Quote;
using harness::Shell;

using testing::FirstLine;

// How long and how often a test looks for what the programs did: a bound
// against hangs only, generous for a loaded machine.
constexpr auto kPatience = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(10);

std::string MediaDir(char letter) { return std::string("/media/velmoran/") + letter; }

class MounterProgramTest : public harness::ServiceAndDriverTest {
 protected:
  void SetUp() override {
    ServiceAndDriverTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    settings_ = std::make_unique<MounterSettings>(
        SettingsPaths{QString::fromStdString(scratch_.File("config")),
                      QString::fromStdString(scratch_.File("xdg")),
                      QString::fromStdString(scratch_.File("cache"))});
    manager_ = std::make_unique<MountManager>(
        *settings_, volumes_, DriveLinks{QString::fromStdString(velmoran()->runtime_dir()), {}});
    manager_->SetRemountPause(std::chrono::milliseconds(100));
  }

  void TearDown() override {
    // Whatever a failed test left: file systems, loop devices, links.
    if (stack_.velmoran()) {
      for (char letter : used_letters_) {
        if (platform::IsMountPoint(MediaDir(letter)))
          ::umount2(MediaDir(letter).c_str(), MNT_DETACH);
        ::rmdir(MediaDir(letter).c_str());
      }
      for (int i = 0; i < 8; ++i) {
        for (const std::string& loop : platform::LoopDevicesBackedBy(Device(i))) {
          (void)platform::DetachLoopDevice(loop);
        }
      }
    }
    ServiceAndDriverTest::TearDown();
  }

  // Exports `image` on a free port for 127.0.0.1 at `access`; started unless
  // `start` is false. Returns the port; *server gets the server's handle.
  int Export(const std::string& image, const std::string& access, const std::string& options = "",
             bool start = true, std::string* server_out = nullptr) {
    const int port = stack_.Export(image, access, options, start, server_out);
    // The export's password is empty, and this user has saved it.
    settings_->WritePassword(htonl(0x7F000001), htons(static_cast<uint16_t>(port)),
                             PasswordDigest(""));
    return port;
  }
  // An ext4 image with one file "served.txt".
  std::string Ext4Image(const std::string& name, const std::string& size = "32M") {
    const std::string content = scratch_.File(name + ".content");
    fs::create_directories(content);
    EXPECT_EQ(0, Shell("echo served > " + Quote(content + "/served.txt")).code);
    const std::string image = scratch_.File(name);
    EXPECT_EQ(0,
              Shell("mkfs.ext4 -q -F -d " + Quote(content) + " " + Quote(image) + " " + size).code);
    return image;
  }
  std::string Sha1(const std::string& file) {
    return FirstLine(Shell("sha1sum < " + Quote(file)).output);
  }
  harness::VelmoranProcess* velmoran() const { return stack_.velmoran(); }
  std::string Device(int index) const {
    return velmoran()->DevicePath("VelmoranEx" + std::to_string(index));
  }
  AddDeviceAnswer Network(int port, char letter) {
    used_letters_.push_back(letter);
    AddDeviceAnswer answer;
    answer.type = 0;
    answer.ipAddress = 0x7F000001;
    answer.port = static_cast<uint32_t>(port);
    answer.driveLetter = letter;
    return answer;
  }
  AddDeviceAnswer Image(const std::string& file, char letter) {
    used_letters_.push_back(letter);
    AddDeviceAnswer answer;
    answer.type = 1;
    answer.fileName = QString::fromStdString(file);
    answer.driveLetter = letter;
    return answer;
  }
  const MountedDrive* Row(const std::vector<MountedDrive>& rows, char letter) {
    for (const MountedDrive& row : rows) {
      if (row.letter == letter) return &row;
    }
    return nullptr;
  }
  // No definition, no loop device over the device file, no file system.
  void ExpectNothingLeft(char letter, int index) {
    EXPECT_FALSE(
        fs::exists(fs::symlink_status(manager_->links().DefinitionPath(letter).toStdString())));
    EXPECT_TRUE(testing::Eventually(
        [&] { return platform::LoopDevicesBackedBy(Device(index)).empty(); }, kPatience, kPoll))
        << Device(index);
    EXPECT_FALSE(platform::IsMountPoint(MediaDir(letter)));
  }

  std::unique_ptr<MounterSettings> settings_;
  RootVolumes volumes_;
  std::unique_ptr<MountManager> manager_;
  std::vector<char> used_letters_;
};

TEST_F(MounterProgramTest, NetworkDisksAndAnImageMountUnmountAndRemount) {
  const std::string full_image = Ext4Image("full.img");
  const std::string virtual_image = Ext4Image("virtual.img");
  const std::string local_image = Ext4Image("local.img", "16M");
  const std::string virtual_before = Sha1(virtual_image);
  const int full_port = Export(full_image, "full");
  const int virtual_port = Export(virtual_image, "virtual");

  RecordingPrompts prompts;
  prompts.adds = {Network(full_port, 'R'), Network(virtual_port, 'S'), Image(local_image, 'T')};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kTray))
      << prompts.messages.back().toStdString();
  EXPECT_EQ(prompts.status_texts, (QStringList{"Mount successfully", "Mount successfully"}));
  EXPECT_EQ(prompts.messages, (QStringList{"Mount success"}));
  EXPECT_EQ(prompts.refreshes, 3);
  EXPECT_EQ(prompts.password_reasons.size(), 0u);

  // Devices 0, 1, 2 in turn, each saved under its index.
  for (int index = 0; index < 3; ++index) {
    const std::optional<MountRecord> saved = settings_->ReadDrive(index);
    ASSERT_TRUE(saved.has_value()) << index;
    EXPECT_EQ(saved->driveLetter, "RST"[index]);
  }
  EXPECT_EQ(settings_->ReadAddDeviceDefaults().fileName.toStdString(), local_image);
  EXPECT_EQ(settings_->ReadAddDeviceDefaults().port, static_cast<uint32_t>(virtual_port));

  const std::vector<MountedDrive> rows = manager_->ListDrives();
  ASSERT_EQ(rows.size(), 3u);
  const MountedDrive* r = Row(rows, 'R');
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->device, "R:");
  // Location: where the file system is; Source: the server or the image.
  EXPECT_EQ(r->location, "/media/velmoran/R");
  EXPECT_EQ(r->source, QString("127.0.0.1 : %1").arg(full_port));
  EXPECT_TRUE(r->connected);
  EXPECT_EQ(SourceText(*r), r->source);
  EXPECT_EQ(r->capacity, "32.00M");
  EXPECT_EQ(r->access, "Full");
  EXPECT_EQ(r->mountPoint, "/media/velmoran/R");
  EXPECT_EQ(r->deviceFile.toStdString(), Device(0));
  EXPECT_EQ(Row(rows, 'S')->access, "VirtualWrite");
  EXPECT_EQ(Row(rows, 'T')->location, "/media/velmoran/T");
  EXPECT_EQ(Row(rows, 'T')->source.toStdString(), local_image);
  EXPECT_EQ(Row(rows, 'T')->capacity, "16.00M");
  EXPECT_EQ(Row(rows, 'T')->mountPoint, "/media/velmoran/T");
  const std::vector<char> free_letters = manager_->FreeDriveLetters();
  EXPECT_EQ(std::count(free_letters.begin(), free_letters.end(), 'R'), 0);
  EXPECT_EQ(std::count(free_letters.begin(), free_letters.end(), 'D'), 1);

  // Usable in a file manager right away.
  for (char letter : {'R', 'S', 'T'}) {
    EXPECT_EQ("served\n", Shell("cat " + MediaDir(letter) + "/served.txt").output) << letter;
    EXPECT_EQ(0, Shell("echo mine > " + MediaDir(letter) + "/mine.txt").code) << letter;
  }

  // Unmount is refused while a file is open there, and the drive stays.
  const int open_file = ::open((MediaDir('R') + "/mine.txt").c_str(), O_RDONLY);
  ASSERT_GE(open_file, 0);
  manager_->UnmountSelected(prompts, {'R'});
  EXPECT_EQ(prompts.status,
            "Unmount error: The requested resource is in use. the drive may be in use, please "
            "close some applications and retry.");
  EXPECT_EQ(prompts.questions.back(), "Do you want to unmount these devices?");
  EXPECT_EQ("mine\n", Shell("cat " + MediaDir('R') + "/mine.txt").output);
  EXPECT_NE(Row(manager_->ListDrives(), 'R'), nullptr);
  ::close(open_file);
  manager_->UnmountSelected(prompts, {'R'});
  EXPECT_EQ(prompts.status, "Unmount successfully");
  ExpectNothingLeft('R', 0);
  EXPECT_EQ(Row(manager_->ListDrives(), 'R'), nullptr);
  EXPECT_TRUE(settings_->ReadDrive(0).has_value()) << "an unmount keeps the saved drive";
  EXPECT_NE(std::string::npos,
            Shell("debugfs -R 'cat /mine.txt' " + Quote(full_image)).output.find("mine"))
      << "full access writes reach the server";

  // A "no" changes nothing.
  prompts.answer_yes = false;
  const qsizetype statuses = prompts.status_texts.size();
  manager_->UnmountSelected(prompts, {'S'});
  manager_->RemountSelected(prompts, {'S'});
  EXPECT_EQ(prompts.status_texts.size(), statuses);
  EXPECT_NE(Row(manager_->ListDrives(), 'S'), nullptr);
  prompts.answer_yes = true;

  // Remount of the virtual-write disk: its cache is built again, its changes
  // are gone, and it works as before.
  manager_->RemountSelected(prompts, {'S', 'T'});
  EXPECT_EQ(prompts.status_texts.back(), "Remount successfully");
  EXPECT_EQ(prompts.status_texts[prompts.status_texts.size() - 2], "Remount successfully");
  const std::vector<MountedDrive> after = manager_->ListDrives();
  ASSERT_NE(Row(after, 'S'), nullptr);
  EXPECT_EQ(Row(after, 'S')->access, "VirtualWrite");
  EXPECT_EQ(Row(after, 'S')->mountPoint, "/media/velmoran/S");
  EXPECT_FALSE(fs::exists(MediaDir('S') + "/mine.txt"));
  EXPECT_EQ(0, Shell("echo again > " + MediaDir('S') + "/again.txt && sync").code);
  EXPECT_EQ("mine\n", Shell("cat " + MediaDir('T') + "/mine.txt").output);

  // The tray's unmount.
  manager_->UnmountFromTray(prompts, 'S');
  EXPECT_EQ(prompts.messages.back(), "Unmount success");
  manager_->UnmountFromTray(prompts, 'T');
  EXPECT_EQ(prompts.messages.back(), "Unmount success");
  EXPECT_TRUE(manager_->ListDrives().empty());
  EXPECT_EQ(virtual_before, Sha1(virtual_image)) << "virtual write changed the export";
  EXPECT_NE(std::string::npos,
            Shell("debugfs -R 'cat /mine.txt' " + Quote(local_image)).output.find("mine"));
  for (int index = 0; index < 3; ++index) ExpectNothingLeft("RST"[index], index);
  // The cache files went with their mounts.
  EXPECT_TRUE(fs::is_empty(settings_->GetTempFolder().toStdString()));
}

TEST_F(MounterProgramTest, PasswordsSavedRefusedAndTyped) {
  const std::string image = Ext4Image("locked.img", "8M");
  const int port = Export(image, "full", "--password opensesame");
  const uint32_t address = htonl(0x7F000001);
  const uint16_t port_net = htons(static_cast<uint16_t>(port));
  settings_->WritePassword(address, port_net, PasswordDigest("stale"));

  // A cancelled prompt ends the asking with 86, leaving nothing.
  RecordingPrompts prompts;
  prompts.adds = {Network(port, 'U')};
  EXPECT_EQ(86, manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.password_reasons.size(), 1u);
  EXPECT_EQ(prompts.status, "Communication error: The specified network password is not correct.");
  ExpectNothingLeft('U', 0);

  // Wrong saved digest, two wrong typed passwords, then the right one saved.
  prompts.adds = {Network(port, 'U')};
  prompts.password_reasons.clear();
  prompts.passwords = {{"first", true}, {"second", true}, {"opensesame", true}};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kTray))
      << prompts.messages.back().toStdString();
  EXPECT_EQ(prompts.password_reasons.size(), 3u);
  EXPECT_EQ(settings_->ReadPassword(address, port_net), PasswordDigest("opensesame"));
  const std::optional<MountRecord> saved = settings_->ReadDrive(0);
  ASSERT_TRUE(saved.has_value());
  const Sha1Digest right = PasswordDigest("opensesame");
  EXPECT_EQ(0, std::memcmp(saved->passwordDigest, right.data(), right.size()));

  // Three wrong ones: the flow reports the refusal.
  prompts.adds = {Network(port, 'V')};
  prompts.password_reasons.clear();
  settings_->WritePassword(address, port_net, PasswordDigest("stale"));
  prompts.passwords = {{"a", false}, {"b", false}, {"c", false}, {"never asked", false}};
  EXPECT_EQ(86, manager_->AddAndMount(prompts, FlowOrigin::kTray));
  EXPECT_EQ(prompts.password_reasons.size(), 3u);
  EXPECT_EQ(prompts.messages.back(),
            "Velmoran has encountered an error while mounting drive, error message: The "
            "specified network password is not correct.");
  EXPECT_EQ(settings_->ReadPassword(address, port_net), PasswordDigest("stale"));
  ExpectNothingLeft('V', 1);

  // With the right digest saved, no prompt at all.
  settings_->WritePassword(address, port_net, PasswordDigest("opensesame"));
  prompts.adds = {Network(port, 'V')};
  prompts.password_reasons.clear();
  EXPECT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.password_reasons.size(), 0u);
  EXPECT_TRUE(manager_->UnmountDrive('U').ok());
  EXPECT_TRUE(manager_->UnmountDrive('V').ok());
  ExpectNothingLeft('U', 0);
  ExpectNothingLeft('V', 1);
}

TEST_F(MounterProgramTest, ALetterInUseAndTheNinthMount) {
  const std::string blank = scratch_.File("blank.img");
  ASSERT_EQ(0, Shell("truncate -s 4M " + Quote(blank)).code);
  used_letters_ = {'W', 'X'};
  // Drive W held by another mount on device 5, through the driver's link.
  CommandResult r = velmoran()->Ctl("mount-image VelmoranEx5 " + Quote(blank) + " --letter W");
  ASSERT_EQ(0, r.code) << r.output;
  RecordingPrompts prompts;
  prompts.adds = {Image(blank, 'W')};
  EXPECT_EQ(170, manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.status, "Communication error: The requested resource is in use.");
  ExpectNothingLeft('W', 0);
  EXPECT_NE(0, velmoran()->Ctl("query VelmoranEx0").code) << "device 0 stayed empty";

  // Every device busy: the maximum.
  for (int index = 0; index < 8; ++index) {
    if (index == 5) continue;
    // One file each: the driver holds an image file exclusively.
    const std::string file = scratch_.File("blank" + std::to_string(index) + ".img");
    ASSERT_EQ(0, Shell("truncate -s 1M " + Quote(file)).code);
    r = velmoran()->Ctl("mount-image VelmoranEx" + std::to_string(index) + " " + Quote(file));
    ASSERT_EQ(0, r.code) << r.output;
  }
  prompts.adds = {Image(blank, 'X')};
  EXPECT_EQ(kNoFreeDevice, manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.status, "The maximum number of drives are mounted!");
  EXPECT_FALSE(fs::exists(fs::symlink_status(manager_->links().DefinitionPath('X').toStdString())));
  for (int index = 0; index < 8; ++index) {
    EXPECT_TRUE(platform::LoopDevicesBackedBy(Device(index)).empty());
    EXPECT_EQ(0, velmoran()->Ctl("unmount VelmoranEx" + std::to_string(index)).code);
  }
  // A cancelled dialog shows nothing.
  const qsizetype shown = prompts.status_texts.size();
  EXPECT_EQ(kCancelled, manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.status_texts.size(), shown);
}

TEST_F(MounterProgramTest, TheAutomountPathFindsItsSettingsAndDriverWithoutADisplay) {
  const int port = Export(Ext4Image("auto.img", "8M"), "full");
  MountRecord record = manager_->BuildRecord(Network(port, 'N'));
  const Sha1Digest empty = PasswordDigest("");
  std::memcpy(record.passwordDigest, empty.data(), empty.size());
  settings_->WriteDrive(2, record);
  {
    // An administrator's choice of the driver's place.
    QSettings system(QString::fromStdString(scratch_.File("xdg/Ostravin/Velmoran.conf")),
                     QSettings::IniFormat);
    system.setValue("Mounter/DriverRuntimeDir", QString::fromStdString(velmoran()->runtime_dir()));
  }
  ::setenv("XDG_CONFIG_HOME", (scratch_.File("config")).c_str(), 1);
  ::setenv("XDG_CONFIG_DIRS", (scratch_.File("xdg")).c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (scratch_.File("cache")).c_str(), 1);
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(0, RunAutoMount({2, std::chrono::milliseconds(10)}));
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_CONFIG_DIRS");
  ::unsetenv("XDG_CACHE_HOME");
  EXPECT_TRUE(platform::IsMountPoint(MediaDir('N')));
  EXPECT_EQ(0, velmoran()->Ctl("query VelmoranEx2").code);
  EXPECT_TRUE(manager_->UnmountDrive('N').ok());
  ExpectNothingLeft('N', 2);
}

// Volumes that cannot be attached, as for a user without UDisks2.
class NoWayToVolumes : public Volumes {
 public:
  Status Attach(char, const DriveDisk&) override {
    return Status(50, "No way to attach the volume: do this or that.");
  }
  Status Detach(char, const DriveDisk&) override { return Status::Ok(); }
};

// Links that an earlier mounter or driver left (their device empty, or
// mounted for another letter, or gone) are no drives: not listed, their
// letters free, the mounter's own removed, and an action on their letter
// never reaches the real drive behind them.
TEST_F(MounterProgramTest, LinksLeftBehindAreNoDrivesAndTheirLettersAreFree) {
  const int port = Export(Ext4Image("real.img", "8M"), "full");
  RecordingPrompts prompts;
  prompts.adds = {Network(port, 'R')};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  used_letters_.insert(used_letters_.end(), {'G', 'H', 'J', 'K'});
  const auto definition = [&](char letter) {
    return manager_->links().DefinitionPath(letter).toStdString();
  };
  fs::create_symlink(Device(0), definition('G'));              // mounted, but as R:
  fs::create_symlink(Device(5), definition('H'));              // empty
  fs::create_symlink(scratch_.File("gone"), definition('K'));  // nothing there
  const std::string global_j = manager_->links().GlobalLinkPath('J').toStdString();
  fs::create_symlink(Device(0), global_j);  // the driver's, left by a crash

  const std::vector<MountedDrive> rows = manager_->ListDrives();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].letter, 'R');
  const std::vector<char> free_letters = manager_->FreeDriveLetters();
  for (char letter : {'G', 'H', 'J', 'K'}) {
    EXPECT_EQ(std::count(free_letters.begin(), free_letters.end(), letter), 1) << letter;
  }
  EXPECT_EQ(std::count(free_letters.begin(), free_letters.end(), 'R'), 0);
  for (char letter : {'G', 'H', 'K'}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(definition(letter)))) << letter;
  }
  EXPECT_TRUE(fs::exists(fs::symlink_status(global_j)))
      << "the driver's link is not ours to remove";

  // Acting on a ghost's letter touches nothing of R:.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, manager_->UnmountDrive('J').code());
  EXPECT_FALSE(manager_->QueryDrive('J').ok());
  EXPECT_TRUE(platform::IsMountPoint(MediaDir('R')));
  EXPECT_EQ(0, velmoran()->Ctl("query VelmoranEx0").code);
  // A ghost's letter takes a new drive.
  const std::string blank = scratch_.File("blank.img");
  ASSERT_EQ(0, Shell("truncate -s 4M " + Quote(blank)).code);
  prompts.adds = {Image(blank, 'G')};
  EXPECT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  EXPECT_EQ(manager_->ListDrives().size(), 2u);
  EXPECT_TRUE(manager_->UnmountDrive('G').ok());
  EXPECT_TRUE(manager_->UnmountDrive('R').ok());
  fs::remove(global_j);
  ExpectNothingLeft('R', 0);
}

// An export without a password mounts without a prompt (the empty
// password is tried first); a prompt that follows a refusal says so; a
// failure that is not a refused password never brings the dialog back;
// and a password typed without "save" is kept nowhere.
TEST_F(MounterProgramTest, PasswordPromptsOnlyForARefusedPasswordAndNothingUnsavedIsKept) {
  const int open_port = stack_.Export(Ext4Image("open.img", "8M"), "full");
  RecordingPrompts prompts;
  prompts.adds = {Network(open_port, 'U')};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  EXPECT_EQ(prompts.password_reasons.size(), 0u);
  std::optional<MountRecord> saved = settings_->ReadDrive(0);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(0, std::memcmp(saved->passwordDigest, Sha1Digest{}.data(), 20))
      << "nothing was saved, so the record holds no digest";
  EXPECT_TRUE(manager_->UnmountDrive('U').ok());

  const int port = stack_.Export(Ext4Image("locked.img", "8M"), "full", "--password opensesame");
  const uint16_t port_net = htons(static_cast<uint16_t>(port));
  prompts.adds = {Network(port, 'V')};
  prompts.passwords = {{"wrong", false}, {"opensesame", false}};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  EXPECT_EQ(prompts.password_reasons,
            (std::vector<PasswordPrompt>{PasswordPrompt::kNeeded, PasswordPrompt::kRefused}));
  EXPECT_EQ(prompts.password_resources[0], QString("127.0.0.1 : %1").arg(port));
  EXPECT_FALSE(settings_->ReadPassword(htonl(0x7F000001), port_net).has_value());
  saved = settings_->ReadDrive(1);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->driveLetter, 'V');
  EXPECT_EQ(0, std::memcmp(saved->passwordDigest, Sha1Digest{}.data(), 20));
  // The settings file stays the user's own.
  struct stat st;
  ASSERT_EQ(0, ::stat((scratch_.File("config/Ostravin/Velmoran.conf")).c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(manager_->UnmountDrive('V').ok());

  // The password is right but the volume cannot be attached: that is the
  // answer, with no second prompt.
  NoWayToVolumes no_way;
  MountManager manager(*settings_, no_way,
                       DriveLinks{QString::fromStdString(velmoran()->runtime_dir()), {}});
  prompts.adds = {Network(port, 'V')};
  prompts.password_reasons.clear();
  prompts.passwords = {{"opensesame", false}, {"never asked", false}};
  EXPECT_EQ(50, manager.AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.password_reasons.size(), 1u);
  EXPECT_EQ(prompts.status, "Mount error: No way to attach the volume: do this or that.");
  ExpectNothingLeft('V', 0);
}

// A mount never takes the saved slot of another drive: the image mounted on
// device 0 is saved beside the saved network drive of Drive0.
TEST_F(MounterProgramTest, AMountIsSavedBesideTheOtherSavedDrives) {
  const int port = Export(Ext4Image("net.img", "8M"), "full");
  const MountRecord network = manager_->BuildRecord(Network(port, 'N'));
  settings_->WriteDrive(0, network);
  const std::string image = Ext4Image("local.img", "8M");
  RecordingPrompts prompts;
  prompts.adds = {Image(image, 'T')};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  EXPECT_EQ(0, velmoran()->Ctl("query VelmoranEx0").code) << "mounted on device 0";
  ASSERT_TRUE(settings_->ReadDrive(0).has_value());
  EXPECT_EQ(settings_->ReadDrive(0)->driveLetter, 'N');
  ASSERT_TRUE(settings_->ReadDrive(1).has_value());
  EXPECT_EQ(settings_->ReadDrive(1)->driveLetter, 'T');
  EXPECT_TRUE(prompts.questions.empty());
  EXPECT_TRUE(manager_->UnmountDrive('T').ok());
  ExpectNothingLeft('T', 0);
}

// The export of a mounted drive is deleted on the server: the drive shows
// as disconnected.
TEST_F(MounterProgramTest, ADriveWhoseExportWasDeletedShowsAsDisconnected) {
  std::string server;
  const int port = Export(Ext4Image("deleted.img", "8M"), "virtual", "", true, &server);
  RecordingPrompts prompts;
  prompts.adds = {Network(port, 'Q')};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, FlowOrigin::kToolbar))
      << prompts.status.toStdString();
  ASSERT_TRUE(Row(manager_->ListDrives(), 'Q')->connected);
  ASSERT_EQ(0, Shell(stack_.Cli("delete-server " + server)).code);
  EXPECT_TRUE(testing::Eventually(
      [&] {
        const std::vector<MountedDrive> rows = manager_->ListDrives();
        const MountedDrive* q = Row(rows, 'Q');
        return q != nullptr && !q->connected &&
               SourceText(*q) == QString("127.0.0.1 : %1 (disconnected)").arg(port);
      },
      kPatience, kPoll));
  EXPECT_TRUE(manager_->UnmountDrive('Q').ok());
  ExpectNothingLeft('Q', 0);
}

// An image that cannot be opened is named in the message, which is no
// "communication error".
TEST_F(MounterProgramTest, AnImageThatCannotBeOpenedIsNamed) {
  const std::string absent = scratch_.File("absent.img");
  RecordingPrompts prompts;
  prompts.adds = {Image(absent, 'W')};
  EXPECT_EQ(static_cast<int>(ERROR_FILE_NOT_FOUND),
            manager_->AddAndMount(prompts, FlowOrigin::kToolbar));
  EXPECT_EQ(prompts.status.toStdString(),
            "Mount error: The image file " + absent +
                " cannot be used: The system cannot find the file specified.");
  ExpectNothingLeft('W', 0);
}

TEST_F(MounterProgramTest, AVolumeThatCannotBeAttachedTakesTheMountBackAndSaysWhy) {
  const int port = Export(Ext4Image("plain.img", "8M"), "full");
  NoWayToVolumes no_way;
  MountManager manager(*settings_, no_way,
                       DriveLinks{QString::fromStdString(velmoran()->runtime_dir()), {}});
  RecordingPrompts prompts;
  prompts.adds = {Network(port, 'Y')};
  EXPECT_EQ(50, manager.AddAndMount(prompts, FlowOrigin::kTray));
  EXPECT_EQ(prompts.messages.back(),
            "Velmoran has encountered an error while mounting drive, error message: No way to "
            "attach the volume: do this or that.");
  ExpectNothingLeft('Y', 0);
  EXPECT_NE(0, velmoran()->Ctl("query VelmoranEx0").code) << "the driver's mount was taken back";
  EXPECT_FALSE(settings_->ReadDrive(0).has_value());
  EXPECT_TRUE(manager.ListDrives().empty());
}

TEST_F(MounterProgramTest, AutomaticMountOfSavedDrivesIncludingALateService) {
  const int first = Export(Ext4Image("a.img", "8M"), "full");
  const int second = Export(Ext4Image("b.img", "8M"), "virtual");
  std::string late_server;
  const int late = Export(Ext4Image("c.img", "8M"), "full", "", /*start=*/false, &late_server);
  // Saved as a successful mount saved them, with the digest that worked.
  const Sha1Digest empty = PasswordDigest("");
  const std::pair<int, AddDeviceAnswer> drives[] = {
      {0, Network(first, 'J')}, {3, Network(second, 'K')}, {6, Network(late, 'L')}};
  for (const auto& [index, answer] : drives) {
    MountRecord record = manager_->BuildRecord(answer);
    std::memcpy(record.passwordDigest, empty.data(), empty.size());
    settings_->WriteDrive(index, record);
  }

  // A MountManager of its own, as the "-automount" process has.
  MountManager automatic(*settings_, volumes_,
                         DriveLinks{QString::fromStdString(velmoran()->runtime_dir()), {}});
  std::atomic<int> mounted{-1};
  std::thread run([&] { mounted = AutoMount(automatic, {60, std::chrono::milliseconds(200)}); });
  const bool both = testing::Eventually(
      [&] {
        return platform::IsMountPoint(MediaDir('J')) && platform::IsMountPoint(MediaDir('K'));
      },
      kPatience, kPoll);
  EXPECT_TRUE(both);
  EXPECT_FALSE(platform::IsMountPoint(MediaDir('L')));
  // The late service starts; a later pass mounts its drive.
  EXPECT_EQ(0, Shell(stack_.Cli("start-server " + late_server)).code);
  EXPECT_TRUE(
      testing::Eventually([&] { return platform::IsMountPoint(MediaDir('L')); }, kPatience, kPoll));
  run.join();
  EXPECT_EQ(mounted, 3);
  const std::vector<MountedDrive> rows = manager_->ListDrives();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ("served\n", Shell("cat " + MediaDir('L') + "/served.txt").output);
  // Each on its saved index.
  EXPECT_EQ(0, velmoran()->Ctl("query VelmoranEx3").code);
  EXPECT_EQ(0, velmoran()->Ctl("query VelmoranEx6").code);
  for (char letter : {'J', 'K', 'L'}) EXPECT_TRUE(manager_->UnmountDrive(letter).ok()) << letter;
  ExpectNothingLeft('J', 0);
  ExpectNothingLeft('K', 3);
  ExpectNothingLeft('L', 6);
}

}  // namespace
}  // namespace quensaria::mounter
