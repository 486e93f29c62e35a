#include "mounter/mount_manager.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "mounter/driver_for_testing.h"
#include "mounter/prompts_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/utf16.h"
#include "shared/win32_error.h"
#include "shared/win32_error_text.h"

namespace quensaria::mounter {
namespace {

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
  FakeVolumes volumes_;
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
  EXPECT_EQ(bytes[kMountFlagsOffset], 0) << "plain unless the TLS box was ticked";

  answer.tls = true;
  const MountRecord secure = manager_.BuildRecord(answer);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&secure)[kMountFlagsOffset], kMountFlagTls);
  answer.type = 1;  // an image has no TLS whatever the box said
  const MountRecord image = manager_.BuildRecord(answer);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&image)[kMountFlagsOffset], 0);
}

TEST_F(MountManagerTest, TheOtherServersFollowTheFirstInTheRecord) {
  AddDeviceAnswer answer;
  answer.ipAddress = 0x0A000005;  // 10.0.0.5
  answer.port = 60000;
  answer.driveLetter = 'K';
  answer.moreServers = ParseServerList("10.0.0.6:60001 10.0.0.7:60002").value();
  const MountRecord record = manager_.BuildRecord(answer);
  const std::vector<MountServer> servers = MountServers(record);
  ASSERT_EQ(servers.size(), 3u);
  EXPECT_EQ(ServerText(servers[0]), "10.0.0.5:60000");
  EXPECT_EQ(ServerText(servers[1]), "10.0.0.6:60001");
  EXPECT_EQ(ServerText(servers[2]), "10.0.0.7:60002");
  // The cache file and the saved password stay keyed by the first server.
  EXPECT_TRUE(Field(record.cachePath).ends_with(u"/500000a60ea.dat"));
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

// The driver runs elsewhere: an image path typed relative is taken from
// the mounter's own folder, as velmoran-ctl takes it, never from the
// driver's.
TEST_F(MountManagerTest, ARelativeImagePathIsSentFromTheMountersFolder) {
  AddDeviceAnswer answer;
  answer.type = 1;
  answer.fileName = "images/disk.img";
  answer.driveLetter = 'E';
  const MountRecord record = manager_.BuildRecord(answer);
  EXPECT_EQ(QString::fromStdU16String(Field(record.sourceName)).toStdString(),
            ("\\??\\" + QDir::currentPath() + "/images/disk.img").toStdString());

  // Within the limit as typed, beyond it once whole: refused, not cut.
  answer.fileName = QString(kMaxImagePathLength - 4, QLatin1Char('r')) + ".img";
  RecordingPrompts prompts;
  prompts.adds = {answer};
  EXPECT_EQ(manager_.AddAndMount(prompts, FlowOrigin::kToolbar),
            static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
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
  EXPECT_EQ(MountResultText(Status::Ok(), FlowOrigin::kToolbar), "Mount successfully");
  EXPECT_EQ(MountResultText(Status::Ok(), FlowOrigin::kTray), "Mount success");
  for (FlowOrigin origin : {FlowOrigin::kToolbar, FlowOrigin::kTray}) {
    EXPECT_EQ(MountResultText(Status(ERROR_SERVICE_ALREADY_RUNNING, ""), origin),
              "The maximum number of drives are mounted!");
    // A mount given up shows nothing, wherever it was started.
    RecordingPrompts prompts;
    EXPECT_EQ(manager_.AddAndMount(prompts, origin), kCancelled);
    EXPECT_TRUE(prompts.status_texts.isEmpty() && prompts.messages.isEmpty());
  }
  EXPECT_EQ(MountResultText(Status(ERROR_INVALID_PASSWORD, ""), FlowOrigin::kToolbar),
            "Communication error: The specified network password is not correct.");
  EXPECT_EQ(MountResultText(Status(ERROR_BUSY, ""), FlowOrigin::kTray),
            "Velmoran has encountered an error while mounting drive, error message: The "
            "requested resource is in use.");
  // A cause on this machine is said instead of the system's text.
  const Status local(ERROR_ACCESS_DENIED, "Ask the administrator.");
  EXPECT_EQ(MountResultText(local, FlowOrigin::kToolbar), "Mount error: Ask the administrator.");
  EXPECT_EQ(MountResultText(local, FlowOrigin::kTray),
            "Velmoran has encountered an error while mounting drive, error message: Ask the "
            "administrator.");
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
  const Status mounted = manager_.MountOnDevice(0, record, 'G');
  EXPECT_EQ(mounted.code(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(QFileInfo(manager_.links().DefinitionPath('G')).isSymLink());
  EXPECT_TRUE(MountResultText(mounted, FlowOrigin::kToolbar)
                  .startsWith("Mount error: The Velmoran driver is not running"))
      << MountResultText(mounted, FlowOrigin::kToolbar).toStdString();
  EXPECT_EQ(manager_.ListDrives().size(), 0u);
  EXPECT_EQ(manager_.FreeDriveLetters().size(), 23u);
  EXPECT_EQ(manager_.QueryDrive('G').status().code(), ERROR_FILE_NOT_FOUND);
  // The mount's cause stays with the mount: a later failure of the same
  // code, here or on another thread, says only its own.
  const Status unmounted = manager_.UnmountDrive('G');
  EXPECT_EQ(unmounted.code(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(MountResultText(unmounted, FlowOrigin::kToolbar)
                  .startsWith("Communication error: The system cannot find the file"));
  std::thread other([&] {
    EXPECT_TRUE(MountResultText(manager_.MountOnDevice(0, record, 'H'), FlowOrigin::kToolbar)
                    .startsWith("Mount error: The Velmoran driver is not running"));
  });
  other.join();
}

// A user outside the devices' group (here: nobody, with the devices and
// the definitions folder of group "disk") is told which group he needs,
// and not that a "communication error" happened.
TEST_F(MountManagerTest, AUserOutsideTheDevicesGroupIsToldWhichGroupHeNeeds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const group* disk = ::getgrnam("disk");
  if (disk == nullptr) GTEST_SKIP() << "no group disk";
  const std::string run = dir_.File("run");
  for (const std::string& folder : {run + "/Device/VelmoranEx", run + "/DosDevices/Global"}) {
    QDir().mkpath(QString::fromStdString(folder));
  }
  ::chmod(dir_.path().c_str(), 0755);
  ::chmod(run.c_str(), 0755);
  ::chmod((run + "/Device").c_str(), 0755);
  ASSERT_EQ(0, ::chown((run + "/Device/VelmoranEx").c_str(), 0, disk->gr_gid));
  ASSERT_EQ(0, ::chown((run + "/DosDevices").c_str(), 0, disk->gr_gid));
  ::chmod((run + "/DosDevices").c_str(), 01770);
  int pipe_fds[2];
  ASSERT_EQ(0, ::pipe(pipe_fds));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(3);
    MountRecord record;
    std::memset(&record, 0, sizeof record);
    const QByteArray text =
        MountResultText(manager_.MountOnDevice(0, record, 'G'), FlowOrigin::kToolbar).toUtf8();
    (void)!::write(pipe_fds[1], text.constData(), static_cast<size_t>(text.size()));
    _exit(0);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(text.rfind("Mount error: You may not use the Velmoran devices: only members of the "
                       "group \"disk\" may. Ask the administrator to add you (adduser nobody disk)",
                       0),
            0u)
      << text;
}

// Where a mount is saved: never over another saved drive without asking.
TEST_F(MountManagerTest, AMountIsSavedInItsOwnSlotOrAFreeOneNeverOverAnother) {
  AddDeviceAnswer network;
  network.type = 0;
  network.ipAddress = 0x0A000005;
  network.port = 60000;
  network.driveLetter = 'N';
  AddDeviceAnswer image;
  image.type = 1;
  image.fileName = "/srv/images/disk.img";
  image.driveLetter = 'I';
  RecordingPrompts prompts(false);
  // Drive0 holds the network drive; an image mounted on device 0 goes to
  // another slot.
  settings_.WriteDrive(0, manager_.BuildRecord(network));
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(image), 0, prompts), 1);
  settings_.WriteDrive(1, manager_.BuildRecord(image));
  // The same drive again, on whatever device: its own slot.
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(network), 5, prompts), 0);
  AddDeviceAnswer moved = image;
  moved.driveLetter = 'J';  // the same image on another letter
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(moved), 0, prompts), 1);
  AddDeviceAnswer relettered = network;
  relettered.port = 60001;  // another export on the network drive's letter
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(relettered), 4, prompts), 0);
  EXPECT_TRUE(prompts.questions.empty());
  // All eight taken by other drives: asked; No saves nothing, Yes replaces
  // the slot of the device used.
  for (int slot = 2; slot < kDriveSlots; ++slot) {
    AddDeviceAnswer other = network;
    other.port = static_cast<uint32_t>(61000 + slot);
    other.driveLetter = static_cast<char>('P' + slot);
    settings_.WriteDrive(slot, manager_.BuildRecord(other));
  }
  AddDeviceAnswer ninth = network;
  ninth.port = 62000;
  ninth.driveLetter = 'E';
  prompts.answer_yes = false;
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(ninth), 3, prompts), std::nullopt);
  ASSERT_EQ(prompts.questions.size(), 1);
  EXPECT_NE(prompts.questions[0].indexOf("S: (10.0.0.5 : 61003)"), -1)
      << prompts.questions[0].toStdString();
  prompts.answer_yes = true;
  EXPECT_EQ(manager_.ChooseSavedSlot(manager_.BuildRecord(ninth), 3, prompts), 3);
}

// An answer of the add-device dialog: the server 127.0.0.1 on port 60000,
// as drive N:.
AddDeviceAnswer LocalServerOnN() {
  AddDeviceAnswer answer;
  answer.ipAddress = 0x7F000001;
  answer.port = 60000;
  answer.driveLetter = 'N';
  return answer;
}

// A mount on one saved drive's letter of another saved drive's source
// leaves one saved drive on that letter and one for that source, whichever
// slot came first.
TEST(MountManagerOnADriverTest, AMountOfOneSavedSourceOnAnotherSavedLetterLeavesOneDriveOnIt) {
  for (const bool image_first : {true, false}) {
    SCOPED_TRACE(image_first ? "the image's slot first" : "the letter's slot first");
    MounterForTesting mounter;
    const MountRecord image = ImageRecord('I', "/srv/images/disk.img", 0);
    const MountRecord network = NetworkRecord('N', "10.0.0.5", 60000, 0, true);
    mounter.settings.WriteDrive(image_first ? 0 : 1, image);
    mounter.settings.WriteDrive(image_first ? 1 : 0, network);
    AddDeviceAnswer moved;
    moved.type = 1;
    moved.fileName = "/srv/images/disk.img";
    moved.driveLetter = 'N';
    RecordingPrompts prompts;
    prompts.adds = {moved};
    ASSERT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);

    QStringList on_n;
    int of_image = 0;
    for (int slot = 0; slot < kDriveSlots; ++slot) {
      const std::optional<MountRecord> saved = mounter.settings.ReadDrive(slot);
      if (!saved) continue;
      if (saved->driveLetter == 'N') {
        on_n << (saved->sourceType == kSourceTypeNetwork ? QStringLiteral("network")
                                                         : QStringLiteral("image"));
      }
      if (saved->sourceType == kSourceTypeDiskImage) ++of_image;
    }
    EXPECT_EQ(on_n.join(", ").toStdString(), "image");
    EXPECT_EQ(of_image, 1);
    EXPECT_TRUE(prompts.questions.empty());
  }
}

// An image path goes to the driver whole: one of 260 characters is
// mounted as it is, a longer one is refused rather than cut to another
// file's name.
TEST(MountManagerOnADriverTest, AnImagePathIsMountedWholeOrRefusedNeverCut) {
  MounterForTesting mounter;
  const QString longest = QStringLiteral("/srv/") + QString(251, QLatin1Char('a')) + ".img";
  ASSERT_EQ(longest.size(), 260);
  AddDeviceAnswer answer;
  answer.type = 1;
  answer.fileName = longest;
  answer.driveLetter = 'E';
  RecordingPrompts prompts;
  prompts.adds = {answer};
  ASSERT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  const Result<MountRecord> mounted = mounter.manager.QueryDrive('E');
  ASSERT_TRUE(mounted.ok());
  EXPECT_EQ(LoadUtf16Field(mounted->sourceName, kMountPathUnits),
            NtPathFromLinux(longest.toStdString()));

  const QString longer = QStringLiteral("/srv/") + QString(252, QLatin1Char('b')) + ".img";
  answer.fileName = longer;
  answer.driveLetter = 'F';
  prompts = RecordingPrompts();
  prompts.adds = {answer};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar),
            static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'E'});
  EXPECT_EQ(prompts.status.toStdString(),
            ("Mount error: The image file " + longer +
             " cannot be used: The filename or extension is too long.")
                .toStdString());
  EXPECT_FALSE(mounter.settings.ReadDrive(1).has_value());
}

// The Source column names the server the driver is on now; a server number
// the query gives beyond the servers it lists (a driver that keeps more
// than this mounter reads) is read as the first, never past the list.
TEST(MountManagerOnADriverTest, TheSourceNamesTheCurrentServerOrTheFirst) {
  MounterForTesting mounter;
  MountRecord record = NetworkRecord('N', "127.0.0.1", 60000, uint64_t{1} << 20, true);
  const std::vector<MountServer> servers = {{record.serverAddress, record.serverPort},
                                            {inet_addr("127.0.0.2"), htons(60001)}};
  ASSERT_TRUE(SetMountServers(record, servers));
  SetCurrentServer(record, 1);
  ASSERT_TRUE(mounter.manager.MountOnDevice(0, record, 'N').ok());
  record.driveLetter = 'O';
  SetCurrentServer(record, 7);
  ASSERT_TRUE(mounter.manager.MountOnDevice(1, record, 'O').ok());

  const std::vector<MountedDrive> rows = mounter.manager.ListDrives();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].source.toStdString(), "127.0.0.2 : 60001 (server 2 of 2)");
  EXPECT_EQ(rows[1].source.toStdString(), "127.0.0.1 : 60000 (server 1 of 2)");
}

// Anyone who may use the devices may put a link in the definitions folder.
// One that names no device of the driver (here a pipe nobody writes to) is
// no drive, and listing, freeing or unmounting its letter never waits on it.
TEST(MountManagerOnADriverTest, ADefinitionNamingNoDeviceIsNoDriveAndIsNeverOpened) {
  MounterForTesting mounter;
  const std::string pipe = mounter.dir.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);
  const std::string definition = mounter.manager.links().DefinitionPath('E').toStdString();
  ASSERT_EQ(::symlink(pipe.c_str(), definition.c_str()), 0);

  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  size_t listed = 99;
  std::vector<char> free_letters;
  Status unmounted = Status::Ok();
  std::thread caller([&] {
    listed = mounter.manager.ListDrives().size();
    free_letters = mounter.manager.FreeDriveLetters();
    unmounted = mounter.manager.UnmountDrive('E');
    finished.set_value();
  });
  const bool waited = done.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
  // Whatever waits on the pipe is let go, so that the test ends.
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
  }
  caller.join();
  EXPECT_FALSE(waited) << "the mounter waited on the pipe";
  EXPECT_EQ(listed, 0u);
  EXPECT_NE(std::find(free_letters.begin(), free_letters.end(), 'E'), free_letters.end());
  EXPECT_EQ(unmounted.code(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(mounter.driver.unmounts().empty());
}

// Over a driver that wants a password: asked for while it is refused, three
// times at most, and saved only where the user ticked the box.
TEST(MountManagerOnADriverTest, ARefusedPasswordIsAskedForAgainThreeTimesAtMost) {
  MounterForTesting mounter;
  mounter.driver.RequirePassword("secret");
  AddDeviceAnswer answer = LocalServerOnN();
  RecordingPrompts prompts;
  prompts.adds = {answer};
  prompts.passwords = {{QStringLiteral("wrong"), true}, {QStringLiteral("secret"), true}};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_EQ(prompts.password_reasons,
            (std::vector<PasswordPrompt>{PasswordPrompt::kNeeded, PasswordPrompt::kRefused}));
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'N'});
  const MountRecord record = mounter.manager.BuildRecord(answer);
  EXPECT_EQ(mounter.settings.ReadPassword(record.serverAddress, record.serverPort),
            PasswordDigest("secret"));

  answer.port = 60001;  // another export: nothing saved for it
  answer.driveLetter = 'O';
  prompts = RecordingPrompts();
  prompts.adds = {answer};
  for (int i = 0; i < 4; ++i) prompts.passwords.push_back({QStringLiteral("wrong"), true});
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar),
            static_cast<int>(ERROR_INVALID_PASSWORD));
  EXPECT_EQ(prompts.password_reasons.size(), 3u);
  EXPECT_EQ(prompts.passwords.size(), 1u);
  EXPECT_EQ(prompts.status,
            QStringLiteral("Communication error: The specified network password is not correct."));
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'N'});
  const MountRecord refused = mounter.manager.BuildRecord(answer);
  EXPECT_FALSE(mounter.settings.ReadPassword(refused.serverAddress, refused.serverPort));
  EXPECT_FALSE(QFileInfo(mounter.manager.links().DefinitionPath('O')).isSymLink());
}

// A saved password the export refuses, then the right one typed without
// "save": the refused digest is no longer saved, so the next mount (and
// every log-on) does not try it first, and the drive keeps none.
TEST(MountManagerOnADriverTest, ASavedPasswordRefusedAndReplacedUnsavedIsForgotten) {
  MounterForTesting mounter;
  mounter.driver.RequirePassword("secret");
  AddDeviceAnswer answer = LocalServerOnN();
  const MountRecord record = mounter.manager.BuildRecord(answer);
  ASSERT_TRUE(mounter.settings.WritePassword(record.serverAddress, record.serverPort,
                                             PasswordDigest("old")));
  RecordingPrompts prompts;
  prompts.adds = {answer};
  prompts.passwords = {{QStringLiteral("secret"), false}};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_EQ(prompts.password_reasons, std::vector<PasswordPrompt>{PasswordPrompt::kSavedRefused});
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'N'});
  EXPECT_FALSE(mounter.settings.ReadPassword(record.serverAddress, record.serverPort))
      << "the refused digest stays saved";
  EXPECT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join("|").toStdString();
  for (int slot = 0; slot < kDriveSlots; ++slot) {
    if (const std::optional<MountRecord> saved = mounter.settings.ReadDrive(slot)) {
      EXPECT_TRUE(std::all_of(std::begin(saved->passwordDigest), std::end(saved->passwordDigest),
                              [](uint8_t b) { return b == 0; }))
          << "the saved drive keeps a digest";
    }
  }

  // One an administrator saved for all users is hidden from this user.
  ASSERT_TRUE(mounter.manager.UnmountDrive('N').ok());
  {
    QSettings system(mounter.settings.paths().systemConfigDir + "/Ostravin/Velmoran.conf",
                     QSettings::IniFormat);
    system.beginGroup("Mounter");
    const Sha1Digest old = PasswordDigest("old");
    system.setValue(MounterSettings::PasswordValueName(record.serverAddress, record.serverPort),
                    QByteArray(reinterpret_cast<const char*>(old.data()), 20));
  }
  ASSERT_TRUE(mounter.settings.ReadPassword(record.serverAddress, record.serverPort));
  prompts = RecordingPrompts();
  prompts.adds = {answer};
  prompts.passwords = {{QStringLiteral("secret"), false}};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_EQ(prompts.password_reasons, std::vector<PasswordPrompt>{PasswordPrompt::kSavedRefused});
  EXPECT_FALSE(mounter.settings.ReadPassword(record.serverAddress, record.serverPort))
      << "the system's refused digest is still given";
}

// With the first device holding another drive, the mount goes on on the
// next one: its password dialog still says that the export needs a
// password, not that a saved one (there is none) was refused.
TEST(MountManagerOnADriverTest, APasswordAskedForOnALaterDeviceIsNoSavedOneRefused) {
  MounterForTesting mounter;
  ASSERT_TRUE(
      mounter.manager.MountOnDevice(0, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20), 'G')
          .ok());
  mounter.driver.RequirePassword("secret");
  AddDeviceAnswer answer = LocalServerOnN();
  RecordingPrompts prompts;
  prompts.adds = {answer};
  prompts.passwords = {{QStringLiteral("secret"), false}};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_EQ(mounter.driver.mounts(), (std::vector<char>{'G', 'N'}));
  EXPECT_EQ(prompts.password_reasons, std::vector<PasswordPrompt>{PasswordPrompt::kNeeded})
      << "the dialog said a saved password was refused";
}

// A mount that went through but whose drive or password the settings file
// did not take says so, rather than leave the user counting on them.
TEST(MountManagerOnADriverTest, ADriveOrPasswordTheSettingsFileDidNotTakeIsReported) {
  MounterForTesting mounter;
  mounter.driver.RequirePassword("secret");
  // A folder where the settings file goes: every write to it fails.
  const QString file = mounter.settings.paths().userConfigDir + "/Ostravin/Velmoran.conf";
  ASSERT_TRUE(QDir().mkpath(file));
  AddDeviceAnswer answer = LocalServerOnN();
  RecordingPrompts prompts;
  prompts.adds = {answer};
  prompts.passwords = {{QStringLiteral("secret"), true}};
  EXPECT_EQ(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'N'});
  EXPECT_EQ(prompts.status, QStringLiteral("Mount successfully"));
  EXPECT_EQ(prompts.messages.join("|").toStdString(),
            ("The settings could not be saved in " + file +
             ".|The password could not be saved in " + file +
             ".|Drive N: is mounted but could not "
             "be saved in " +
             file + "; it will not be mounted again at log-on.")
                .toStdString())
      << "the drive and its password were lost without a word";
}

// The add-device dialog's answers, kept to open it with next time, are
// said when the settings file does not take them, whether the mount then
// succeeds or not.
TEST(MountManagerOnADriverTest, AddDeviceDefaultsTheSettingsFileDidNotTakeAreReported) {
  MounterForTesting mounter;
  // A folder where the settings file goes: every write to it fails.
  const QString file = mounter.settings.paths().userConfigDir + "/Ostravin/Velmoran.conf";
  ASSERT_TRUE(QDir().mkpath(file));
  AddDeviceAnswer answer;
  answer.type = 1;
  answer.fileName = QStringLiteral("/") + QString(400, QLatin1Char('a'));  // refused: too long
  answer.driveLetter = 'I';
  RecordingPrompts prompts;
  prompts.adds = {answer};
  EXPECT_NE(mounter.manager.AddAndMount(prompts, FlowOrigin::kToolbar), 0);
  EXPECT_TRUE(mounter.driver.mounts().empty());
  EXPECT_EQ(prompts.messages.join("|").toStdString(),
            ("The settings could not be saved in " + file + ".").toStdString())
      << "the dialog's answers were lost without a word";
}

// Volumes whose detach is where the user cancels: the remount's unmount
// waits in it (for UDisks2) when the cancel comes.
class CancelOnDetachVolumes final : public Volumes {
 public:
  explicit CancelOnDetachVolumes(RecordingPrompts& prompts) : prompts_(prompts) {}
  Status Attach(char letter, const DriveDisk& disk) override {
    return volumes_.Attach(letter, disk);
  }
  Status Detach(char letter, const DriveDisk& disk) override {
    prompts_.cancelled = true;
    return volumes_.Detach(letter, disk);
  }
  QString MountPoint(const DriveDisk& disk) const override { return volumes_.MountPoint(disk); }

 private:
  RecordingPrompts& prompts_;
  FakeVolumes volumes_;
};

// A remount cancelled once its unmount is under way still mounts the drive
// again, and shows nothing.
TEST(MountManagerOnADriverTest, ARemountCancelledDuringItsUnmountMountsTheDriveAgain) {
  testing::ScratchDir dir;
  MounterSettings settings(SettingsPaths{QString::fromStdString(dir.File("config")),
                                         QString::fromStdString(dir.File("xdg")),
                                         QString::fromStdString(dir.File("cache"))});
  FakeDriver driver(dir.File("run"));
  RecordingPrompts prompts;
  CancelOnDetachVolumes volumes(prompts);
  MountManager manager(settings, volumes, DriveLinks{QString::fromStdString(dir.File("run")), {}},
                       driver);
  manager.SetRemountPause(std::chrono::milliseconds(0));
  ASSERT_TRUE(
      manager.MountOnDevice(0, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20), 'G').ok());

  manager.RemountSelected(prompts, {'G'});
  EXPECT_EQ(driver.unmounts(), std::vector<char>{'G'});
  EXPECT_EQ(driver.mounts(), (std::vector<char>{'G', 'G'}));
  EXPECT_TRUE(manager.QueryDrive('G').ok());
  EXPECT_TRUE(prompts.status_texts.isEmpty()) << prompts.status_texts.join('|').toStdString();
}

// A selected drive that was unmounted meanwhile (from the tray, say) is not
// remounted, and the remount says so rather than end without a word.
TEST(MountManagerOnADriverTest, ARemountOfADriveGoneMeanwhileSaysItFailed) {
  MounterForTesting mounter;
  ASSERT_TRUE(
      mounter.manager.MountOnDevice(0, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20), 'G')
          .ok());
  ASSERT_TRUE(mounter.manager.UnmountDrive('G').ok());
  RecordingPrompts prompts;
  mounter.manager.RemountSelected(prompts, {'G'});
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'G'});
  ASSERT_EQ(prompts.status_texts.size(), 1) << "the remount ended without a word";
  EXPECT_TRUE(prompts.status_texts[0].startsWith("Remount error: "))
      << prompts.status_texts[0].toStdString();
}

// A remount asks for a network disk as its first mount did: the number of
// connections the query gives is how many are open now (fewer, when some
// could not be opened), not a number to ask for; the driver picks it again.
TEST(MountManagerOnADriverTest, ARemountLeavesTheNumberOfConnectionsToTheDriver) {
  MounterForTesting mounter;
  MountRecord queried = NetworkRecord('N', "127.0.0.1", 60000, uint64_t{1} << 20, true);
  SetMountConnections(queried, 1);  // as the driver reports one of four open
  ASSERT_TRUE(mounter.manager.MountOnDevice(0, queried, 'N').ok());
  RecordingPrompts prompts;
  mounter.manager.RemountSelected(prompts, {'N'});
  ASSERT_EQ(mounter.driver.mounts(), (std::vector<char>{'N', 'N'}));
  Result<MountRecord> again = mounter.manager.QueryDrive('N');
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(MountConnections(*again), 0) << "the remount asked for the connections open before";
}

// A saved network drive whose cache folder is gone (the user chose another
// temporary folder and removed the old one) comes back at log-on with its
// cache in the temporary folder now, rather than fail for ever on the
// folder; one whose folder is there keeps it.
TEST(MountManagerOnADriverTest, ASavedDriveWhoseCacheFolderIsGoneUsesTheTemporaryFolder) {
  MounterForTesting mounter;
  const QString old_folder = QString::fromStdString(mounter.dir.File("old-cache"));
  const QString kept_folder = QString::fromStdString(mounter.dir.File("kept-cache"));
  ASSERT_TRUE(QDir().mkpath(old_folder) && QDir().mkpath(kept_folder));
  AddDeviceAnswer answer = LocalServerOnN();
  ASSERT_TRUE(mounter.settings.SetTempFolder(old_folder));
  ASSERT_TRUE(mounter.settings.WriteDrive(0, mounter.manager.BuildRecord(answer)));
  answer.port = 60001;
  answer.driveLetter = 'O';
  ASSERT_TRUE(mounter.settings.SetTempFolder(kept_folder));
  const MountRecord kept = mounter.manager.BuildRecord(answer);
  ASSERT_TRUE(mounter.settings.WriteDrive(1, kept));
  ASSERT_TRUE(QDir(old_folder).removeRecursively());
  const QString now = QString::fromStdString(mounter.dir.File("now-cache"));
  ASSERT_TRUE(QDir().mkpath(now));
  ASSERT_TRUE(mounter.settings.SetTempFolder(now));

  EXPECT_EQ(mounter.manager.MountSavedDrives(nullptr, 1, std::chrono::milliseconds(0)), 2);
  Result<MountRecord> n = mounter.manager.QueryDrive('N');
  Result<MountRecord> o = mounter.manager.QueryDrive('O');
  ASSERT_TRUE(n.ok() && o.ok());
  EXPECT_EQ(QString::fromStdU16String(std::u16string(n->cachePath)).toStdString(),
            ("\\??\\" + now + "/100007f60ea.dat").toStdString());
  EXPECT_EQ(std::u16string(o->cachePath), std::u16string(kept.cachePath));
}

// A saved drive whose own digest the export refuses, mounted with a
// password typed and not saved: the slot loses the refused digest, which
// would otherwise be sent first at every log-on.
TEST(MountManagerOnADriverTest, ASavedDrivesRefusedDigestIsNotKeptInItsSlot) {
  MounterForTesting mounter;
  mounter.driver.RequirePassword("secret");
  AddDeviceAnswer answer = LocalServerOnN();
  MountRecord slot_record = mounter.manager.BuildRecord(answer);
  const Sha1Digest old = PasswordDigest("old");
  std::memcpy(slot_record.passwordDigest, old.data(), old.size());
  ASSERT_TRUE(mounter.settings.WriteDrive(0, slot_record));

  RecordingPrompts prompts;
  prompts.passwords = {{QStringLiteral("secret"), false}};
  EXPECT_EQ(mounter.manager.MountSavedDrives(&prompts, 1, std::chrono::milliseconds(0)), 1);
  EXPECT_EQ(prompts.password_reasons, std::vector<PasswordPrompt>{PasswordPrompt::kSavedRefused});
  std::optional<MountRecord> slot = mounter.settings.ReadDrive(0);
  ASSERT_TRUE(slot);
  EXPECT_TRUE(std::all_of(std::begin(slot->passwordDigest), std::end(slot->passwordDigest),
                          [](uint8_t b) { return b == 0; }))
      << "the slot keeps the digest the export refused";

  // Typed again and saved this time: the slot holds the one that works.
  ASSERT_TRUE(mounter.manager.UnmountDrive('N').ok());
  std::memcpy(slot_record.passwordDigest, old.data(), old.size());
  ASSERT_TRUE(mounter.settings.WriteDrive(0, slot_record));
  prompts = RecordingPrompts();
  prompts.passwords = {{QStringLiteral("secret"), true}};
  EXPECT_EQ(mounter.manager.MountSavedDrives(&prompts, 1, std::chrono::milliseconds(0)), 1);
  slot = mounter.settings.ReadDrive(0);
  ASSERT_TRUE(slot);
  const Sha1Digest secret = PasswordDigest("secret");
  EXPECT_EQ(std::memcmp(slot->passwordDigest, secret.data(), secret.size()), 0)
      << "the slot keeps the refused digest beside the saved one";
}

// Saved drives that the log-on start could not mount are named, with why,
// when the passes end: alone, or after those that did mount. Quiet, the
// user takes them for mounted.
TEST(MountManagerOnADriverTest, SavedDrivesNotMountedAtLogOnAreSaid) {
  MounterForTesting mounter;
  mounter.driver.RequirePassword("secret");
  AddDeviceAnswer answer = LocalServerOnN();
  ASSERT_TRUE(mounter.settings.WriteDrive(0, mounter.manager.BuildRecord(answer)));
  answer.port = 60001;
  answer.driveLetter = 'O';
  ASSERT_TRUE(mounter.settings.WriteDrive(1, mounter.manager.BuildRecord(answer)));
  const QString refused = QStringLiteral("Communication error: %1")
                              .arg(QString::fromStdString(Win32ErrorText(ERROR_INVALID_PASSWORD)));

  RecordingPrompts prompts;  // every password dialog cancelled
  EXPECT_EQ(mounter.manager.MountSavedDrives(&prompts, 2, std::chrono::milliseconds(0)), 0);
  EXPECT_EQ(prompts.status.toStdString(),
            QStringLiteral("Saved drives not mounted: N: (%1), O: (%1)").arg(refused).toStdString())
      << prompts.status_texts.join('|').toStdString();

  // One that mounts beside one that does not.
  ASSERT_TRUE(mounter.settings.WriteDrive(1, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20)));
  prompts = RecordingPrompts();
  EXPECT_EQ(mounter.manager.MountSavedDrives(&prompts, 1, std::chrono::milliseconds(0)), 1);
  EXPECT_EQ(
      prompts.status.toStdString(),
      QStringLiteral("Saved drives mounted: G:; not mounted: N: (%1)").arg(refused).toStdString())
      << prompts.status_texts.join('|').toStdString();
}

// A drive saved with 0.0.0.0 as its server (before Add Device refused it)
// would reach this machine itself: it is not mounted at log-on, and said
// among those not mounted; -automount counts it as not mounted.
TEST(MountManagerOnADriverTest, ASavedDriveWithServer0000IsNotMountedAndSaid) {
  MounterForTesting mounter;
  ASSERT_TRUE(mounter.settings.WriteDrive(
      0, NetworkRecord('N', "0.0.0.0", 60000, uint64_t{1} << 20, true)));
  ASSERT_TRUE(mounter.settings.WriteDrive(1, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20)));

  RecordingPrompts prompts;
  EXPECT_EQ(mounter.manager.MountSavedDrives(&prompts, 2, std::chrono::milliseconds(0)), 1);
  EXPECT_EQ(mounter.driver.mounts(), std::vector<char>{'G'});
  EXPECT_EQ(prompts.status.toStdString(),
            "Saved drives mounted: G:; not mounted: N: (Mount error: 0.0.0.0 is no server)")
      << prompts.status_texts.join('|').toStdString();

  ASSERT_TRUE(mounter.manager.UnmountDrive('G').ok());
  int not_mounted = 0;
  EXPECT_EQ(
      mounter.manager.MountSavedDrives(nullptr, 2, std::chrono::milliseconds(0), &not_mounted), 1);
  EXPECT_EQ(not_mounted, 1);
  EXPECT_EQ(mounter.driver.mounts(), (std::vector<char>{'G', 'G'}));
}

// Volumes whose detach is refused (as UDisks2 refuses a user it does not
// authorise) for the drives `refused` names, or for every drive.
class RefusingDetachVolumes final : public Volumes {
 public:
  explicit RefusingDetachVolumes(std::string refused = "") : refused_(std::move(refused)) {}
  Status Attach(char letter, const DriveDisk& disk) override {
    return volumes_.Attach(letter, disk);
  }
  Status Detach(char letter, const DriveDisk& disk) override {
    if (refused_.empty() || refused_.find(letter) != std::string::npos) {
      return Status(ERROR_ACCESS_DENIED, "");
    }
    return volumes_.Detach(letter, disk);
  }
  QString MountPoint(const DriveDisk& disk) const override { return volumes_.MountPoint(disk); }

 private:
  std::string refused_;
  FakeVolumes volumes_;
};

// A remount whose unmount fails does not go on to mount: the drive is still
// there, and the remount says why it stayed, not that its letter is in use.
TEST(MountManagerOnADriverTest, ARemountWhoseUnmountFailsSaysTheUnmountsCause) {
  testing::ScratchDir dir;
  MounterSettings settings(SettingsPaths{QString::fromStdString(dir.File("config")),
                                         QString::fromStdString(dir.File("xdg")),
                                         QString::fromStdString(dir.File("cache"))});
  FakeDriver driver(dir.File("run"));
  RefusingDetachVolumes volumes;
  MountManager manager(settings, volumes, DriveLinks{QString::fromStdString(dir.File("run")), {}},
                       driver);
  manager.SetRemountPause(std::chrono::milliseconds(0));
  ASSERT_TRUE(
      manager.MountOnDevice(0, ImageRecord('G', "/srv/g.img", uint64_t{1} << 20), 'G').ok());
  ASSERT_TRUE(
      manager.MountOnDevice(1, ImageRecord('H', "/srv/h.img", uint64_t{1} << 20), 'H').ok());

  RecordingPrompts prompts;
  manager.RemountSelected(prompts, {'G', 'H'});
  EXPECT_TRUE(driver.unmounts().empty());
  EXPECT_EQ(driver.mounts(), (std::vector<char>{'G', 'H'}));
  EXPECT_TRUE(manager.QueryDrive('G').ok());
  EXPECT_TRUE(manager.QueryDrive('H').ok());
  const std::string refused = "Remount error: " + Win32ErrorText(ERROR_ACCESS_DENIED);
  EXPECT_EQ(prompts.status_texts.join('|').toStdString(), refused + "|" + refused);
}

// Of several drives unmounted or remounted at once, one that failed is
// what the status bar ends with: a later drive's success does not replace
// it, which would say that all went well while the drive stays mounted.
TEST(MountManagerOnADriverTest, AFailureAmongSelectedDrivesIsNotOverwrittenBySuccess) {
  testing::ScratchDir dir;
  MounterSettings settings(SettingsPaths{QString::fromStdString(dir.File("config")),
                                         QString::fromStdString(dir.File("xdg")),
                                         QString::fromStdString(dir.File("cache"))});
  FakeDriver driver(dir.File("run"));
  RefusingDetachVolumes volumes("G");
  MountManager manager(settings, volumes, DriveLinks{QString::fromStdString(dir.File("run")), {}},
                       driver);
  manager.SetRemountPause(std::chrono::milliseconds(0));
  for (const auto& [index, letter] : {std::pair{0, 'G'}, {1, 'H'}, {2, 'K'}}) {
    const std::string image = std::string("/srv/") + letter + ".img";
    ASSERT_TRUE(
        manager.MountOnDevice(index, ImageRecord(letter, image.c_str(), uint64_t{1} << 20), letter)
            .ok());
  }
  const QString refused = QStringLiteral("Remount error: %1")
                              .arg(QString::fromStdString(Win32ErrorText(ERROR_ACCESS_DENIED)));

  RecordingPrompts remount;
  manager.RemountSelected(remount, {'G', 'H'});
  EXPECT_EQ(driver.unmounts(), std::vector<char>{'H'});
  EXPECT_EQ(remount.status.toStdString(), refused.toStdString())
      << remount.status_texts.join('|').toStdString();

  RecordingPrompts unmount;
  manager.UnmountSelected(unmount, {'G', 'K'});
  EXPECT_EQ(driver.unmounts(), (std::vector<char>{'H', 'K'}));
  EXPECT_TRUE(unmount.status.startsWith("Unmount error: "))
      << unmount.status_texts.join('|').toStdString();
}

}  // namespace
}  // namespace quensaria::mounter
