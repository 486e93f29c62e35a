// The real velmoran daemon, driven as a user would: device files, velmoran-ctl,
// loop devices, ext4 file systems on image files and on network disks served
// by a scripted block-protocol server on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/block_server_for_testing.h"
#include "platform/device_control_client.h"
#include "platform/eventually_for_testing.h"
#include "shared/block_protocol.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"
#include "tests/program_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;
using driver::FakeBlockServer;
using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1 << 20;

std::string PortOf(const FakeBlockServer& server) { return std::to_string(ntohs(server.port())); }

// How long and how often a test looks for what the driver or a server does:
// a bound against hangs only.
constexpr auto kPatience = 30s;
constexpr auto kPoll = 10ms;

class VelmoranTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(VelmoranIsBuilt()) << "velmoran is not built";
    const std::string missing = MissingForDriver(/*loop=*/true);
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_FALSE(scratch_.path().empty());
    Start();
  }
  // Whatever a test left attached goes first; then the driver must stop
  // cleanly, without a sanitizer's report.
  void TearDown() override {
    attached_.UndoAll();
    if (!velmoran_) return;
    if (velmoran_->running()) {
      EXPECT_EQ(0, velmoran_->Stop()) << velmoran_->Log();
    }
    EXPECT_EQ("", FaultsIn(velmoran_->Log()));
  }
  void Start(const std::vector<std::string>& args = {}) {
    velmoran_ = VelmoranProcess::Start(scratch_.File("run"), args);
    ASSERT_TRUE(velmoran_ && velmoran_->running()) << (velmoran_ ? velmoran_->Log() : "");
  }
  std::string Device(const std::string& name = "VelmoranEx0") const {
    return velmoran_->DevicePath(name);
  }
  // velmoran-ctl query DRIVE, which must show `shown`, then unmount DRIVE:
  // the unmount's result, which must be a success.
  CommandResult QueryThenUnmount(const std::string& drive, const std::string& shown) {
    SCOPED_TRACE(drive);
    const CommandResult query = velmoran_->Ctl("query " + drive);
    EXPECT_EQ(0, query.code) << query.output;
    EXPECT_NE(std::string::npos, query.output.find(shown)) << query.output;
    CommandResult unmount = velmoran_->Ctl("unmount " + drive);
    EXPECT_EQ(0, unmount.code) << unmount.output;
    return unmount;
  }
  // mkfs.ext4 on the device file through a loop device, mount it, write
  // files, unmount, detach.
  void MakeFileSystemAndWrite(const std::string& device_file) {
    const std::string loop = attached_.Loop(device_file);
    ASSERT_FALSE(loop.empty());
    ASSERT_EQ(0, Shell("mkfs.ext4 -q -F " + loop).code);
    const std::string mnt = scratch_.File("mnt");
    ASSERT_TRUE(attached_.Mount(loop, mnt));
    ASSERT_EQ(0, Shell("echo 'through the driver' > " + mnt + "/hello.txt").code);
    ASSERT_EQ(0, Shell("head -c 3000000 /dev/urandom > " + mnt +
                       "/random.bin && "
                       "sha1sum < " +
                       mnt + "/random.bin > " + scratch_.File("random.sha1"))
                     .code);
    ASSERT_TRUE(attached_.Unmount(mnt));
    ASSERT_TRUE(attached_.Detach(loop));
  }
  // The files written above are in the image, and the file system is sound.
  void ExpectFilesInImage(const std::string& image) {
    const CommandResult fsck = Shell("e2fsck -fn " + image);
    EXPECT_EQ(0, fsck.code) << fsck.output;
    const CommandResult cat = Shell("debugfs -R 'cat /hello.txt' " + image + " 2>/dev/null");
    EXPECT_NE(std::string::npos, cat.output.find("through the driver")) << cat.output;
    const CommandResult sum =
        Shell("debugfs -R 'cat /random.bin' " + image + " 2>/dev/null | sha1sum | cmp - " +
              scratch_.File("random.sha1"));
    EXPECT_EQ(0, sum.code) << sum.output;
  }

  ScratchDir scratch_;
  std::unique_ptr<VelmoranProcess> velmoran_;
  Attachments attached_;  // undone first
};

TEST_F(VelmoranTest, SixteenEmptyDevicesAnswerNoMedia) {
  // The devices belong to the group velmoran where the packages made it,
  // else to disk; so does the drive-letter directory, open to that group
  // only (sticky: a user removes only his own drive definitions).
  const group* velmoran = ::getgrnam("velmoran");
  const gid_t device_group = velmoran != nullptr ? velmoran->gr_gid : 6;
  struct stat drives {};
  ASSERT_EQ(0, ::stat((scratch_.File("run/DosDevices")).c_str(), &drives));
  if (velmoran != nullptr) {
    EXPECT_EQ(01770u, drives.st_mode & 07777);
    EXPECT_EQ(device_group, drives.st_gid);
  } else {
    EXPECT_EQ(01777u, drives.st_mode & 07777);
  }
  int count = 0;
  for (const auto& entry : fs::directory_iterator(scratch_.File("run/Device/VelmoranEx"))) {
    ++count;
    struct stat st {};
    ASSERT_EQ(0, ::stat(entry.path().c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 07777) << entry.path();
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(device_group, st.st_gid) << "group velmoran, else disk";
    EXPECT_EQ(0, st.st_size);
  }
  EXPECT_EQ(16, count);
  const int fd = ::open(Device("VelmoranExCd3").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char sector[512];
  EXPECT_EQ(-1, ::pread(fd, sector, sizeof sector, 0));
  EXPECT_EQ(ENOMEDIUM, errno);
  ::close(fd);
  const int writer = ::open(Device("VelmoranEx6").c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  std::memset(sector, 0x5A, sizeof sector);
  EXPECT_EQ(-1, ::pwrite(writer, sector, sizeof sector, 0));
  EXPECT_EQ(ENOMEDIUM, errno);
  ::close(writer);
  // A disk control too, and the empty device's file stays empty.
  const CommandResult geometry = velmoran_->Ctl("control VelmoranEx6 0x70000 --output 24");
  EXPECT_EQ(1, geometry.code);
  EXPECT_NE(std::string::npos, geometry.output.find("status 0xC0000013")) << geometry.output;
  EXPECT_NE(std::string::npos, geometry.output.find("information: 0")) << geometry.output;
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx6")));
  const CommandResult query = velmoran_->Ctl("query VelmoranEx5");
  EXPECT_EQ(1, query.code);
  EXPECT_NE(std::string::npos, query.output.find("status 0xC0000013 (Win32 21)")) << query.output;
  const CommandResult unmount = velmoran_->Ctl("unmount VelmoranEx5");
  EXPECT_NE(std::string::npos, unmount.output.find("status 0xC0000013")) << unmount.output;
}

TEST_F(VelmoranTest, ControlsNeedTheAccessTheirCodeNames) {
  ASSERT_EQ(0, Shell("truncate -s 1M " + scratch_.File("a.img")).code);
  MountRecord record{};
  record.driveLetter = 'R';
  ASSERT_TRUE(
      StoreUtf16Field(NtPathFromLinux(scratch_.File("a.img")), record.sourceName, kMountPathUnits));
  auto reader = platform::DeviceControlClient::Open(Device(), /*write=*/false);
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(STATUS_ACCESS_DENIED, reader->Mount(record)) << "mount needs read and write";
  auto writer = platform::DeviceControlClient::Open(Device(), /*write=*/true);
  ASSERT_TRUE(writer.ok());
  ASSERT_EQ(STATUS_SUCCESS, writer->Mount(record));
  MountRecord query;
  EXPECT_EQ(STATUS_SUCCESS, reader->Query(&query)) << "the query needs read access only";
  EXPECT_EQ(uint64_t{kMiB}, query.imageSize);
  EXPECT_EQ(STATUS_ACCESS_DENIED, reader->Unmount());
  EXPECT_EQ(STATUS_SUCCESS, writer->Unmount());
}

// A control code or input that is not what was meant is bad usage, never
// some other control sent in its place.
TEST_F(VelmoranTest, ControlCodesAndInputBytesThatAreNotWholeNumbersAreBadUsage) {
  ASSERT_EQ(0, Shell("truncate -s 1M " + scratch_.File("a.img")).code);
  ASSERT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx3 " + scratch_.File("a.img")).code);
  for (const char* arguments :
       {"geometry --output 24", "0x70000x --output 24", "-0x70000 --output 24",
        "0x100070000 --output 24", "4295426048 --output 24", "0x7C008 --input 0",
        "0x7C008 --input 0g", "0x7C008 --input 123"}) {
    const CommandResult r = velmoran_->Ctl(std::string("control VelmoranEx3 ") + arguments);
    EXPECT_EQ(2, r.code) << arguments << ": " << r.output;
    EXPECT_NE(std::string::npos, r.output.find("usage: velmoran-ctl")) << arguments;
  }
  // The forms that are numbers still work: hexadecimal, decimal.
  for (const char* code : {"0x70000", "458752"}) {
    const CommandResult r =
        velmoran_->Ctl(std::string("control VelmoranEx3 ") + code + " --output 24");
    EXPECT_EQ(0, r.code) << code << ": " << r.output;
    EXPECT_NE(std::string::npos, r.output.find("information: 24")) << r.output;
  }
  // A leading zero does not make a decimal code octal: 0458752 is the
  // geometry control, and 01600000 (0x70000 read as octal) is not.
  const CommandResult zero = velmoran_->Ctl("control VelmoranEx3 0458752 --output 24");
  EXPECT_EQ(0, zero.code) << zero.output;
  EXPECT_NE(std::string::npos, zero.output.find("information: 24")) << zero.output;
  const CommandResult octal = velmoran_->Ctl("control VelmoranEx3 01600000 --output 24");
  EXPECT_EQ(1, octal.code) << octal.output;
  EXPECT_NE(std::string::npos, octal.output.find("information: 0")) << octal.output;
  const CommandResult set = velmoran_->Ctl("control VelmoranEx3 0x7C008 --input 07");
  EXPECT_EQ(0, set.code) << set.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx3").code);
}

// An answer that could not be written (standard output on a full disk) is
// a failure of the commands whose answer it is; a mount or an unmount that
// was done stays a success whatever became of its status line.
TEST_F(VelmoranTest, AnAnswerThatCannotBeWrittenFailsTheCommand) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(0, Shell("truncate -s 1M " + scratch_.File("a.img")).code);
  EXPECT_EQ(0,
            velmoran_->Ctl("mount-image VelmoranEx3 " + scratch_.File("a.img") + " 2>&1 >/dev/full")
                .code);
  for (const char* command : {"query VelmoranEx3", "control VelmoranEx3 0x70000 --output 24"}) {
    const CommandResult r = velmoran_->Ctl(std::string(command) + " 2>&1 >/dev/full");
    EXPECT_EQ(1, r.code) << command;
    EXPECT_NE(std::string::npos,
              r.output.find("velmoran-ctl: cannot write standard output: No space left on device"))
        << command << ": " << r.output;
  }
  EXPECT_EQ(0, velmoran_->Ctl("unmount VelmoranEx3 >/dev/full").code);
}

// An --output larger than a control can answer is refused as before, with
// the client's status, and costs nothing: not a buffer of that size first,
// which a small machine (here a limit of 256 MiB) does not have.
TEST_F(VelmoranTest, AnOutputRoomLargerThanAControlCanAnswerIsRefusedWithoutAllocatingIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit";
#endif
  for (const char* room : {"4097", "4294967295"}) {
    const CommandResult r = Shell("ulimit -v 262144 && " +
                                  velmoran_->CtlCommand(std::string("control VelmoranEx6 0x70000 "
                                                                    "--output ") +
                                                        room));
    EXPECT_EQ(1, r.code) << room << ": " << r.output;
    EXPECT_NE(std::string::npos, r.output.find("status 0xC000000D")) << room << ": " << r.output;
    EXPECT_NE(std::string::npos, r.output.find("information: 0")) << room << ": " << r.output;
  }
}

// --letter takes a drive letter, with or without its colon: anything else
// (a digit, a word, the next option when the letter was left out) is bad
// usage, not a mount without a link, nor one without the option it ate.
TEST_F(VelmoranTest, ALetterThatIsNoDriveLetterIsBadUsage) {
  ASSERT_EQ(0, Shell("truncate -s 1M " + scratch_.File("a.img")).code);
  const std::string mount = "mount-image VelmoranEx2 " + scratch_.File("a.img");
  for (const char* bad : {"1", "KL", "K:L", "--read-only", ":"}) {
    const CommandResult r = velmoran_->Ctl(mount + " --letter " + bad);
    EXPECT_EQ(2, r.code) << bad << ": " << r.output;
    EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2"))) << bad << ": the device was mounted";
    if (r.code == 0) {
      ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
    }
  }
  for (const char* good : {"k", "K:"}) {
    const CommandResult r = velmoran_->Ctl(mount + " --letter " + good);
    EXPECT_EQ(0, r.code) << good << ": " << r.output;
    EXPECT_TRUE(fs::is_symlink(velmoran_->LinkPath('K'))) << good;
    ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
  }
}

// A drive is named in either case, as --letter takes it: "k:" is drive K:,
// not a drive nobody can have.
TEST_F(VelmoranTest, ADriveIsNamedInEitherCase) {
  ASSERT_EQ(0, Shell("truncate -s 1M " + scratch_.File("a.img")).code);
  ASSERT_EQ(
      0, velmoran_->Ctl("mount-image VelmoranEx2 " + scratch_.File("a.img") + " --letter k").code);
  const CommandResult r = QueryThenUnmount("k:", "drive letter: K");
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2"))) << "drive K: is still mounted";
  if (r.code != 0) {
    EXPECT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
  }
}

// The mount record carries the image's path as UTF-16: a path that is not
// UTF-8 would reach the driver as another name (U+FFFD for each bad byte),
// so that another file would be opened, or with --size created and mounted.
TEST_F(VelmoranTest, AnImagePathThatIsNotUtf8IsRefused) {
  const std::string image = scratch_.File("disk\xff.img");
  const CommandResult r =
      velmoran_->Ctl("mount-image VelmoranEx2 " + Quote(image) + " --size " + std::to_string(kMiB));
  EXPECT_EQ(2, r.code) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("not UTF-8")) << r.output;
  EXPECT_FALSE(fs::exists(scratch_.File("disk\xEF\xBF\xBD.img"))) << "another file was created";
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2"))) << "the device was mounted";
  if (r.code == 0) {
    ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
  }
  // A path in UTF-8 beyond ASCII is the file it names.
  const std::string named = scratch_.File("d\xC3\xADsco.img");
  EXPECT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx2 " + Quote(named) + " --size " + std::to_string(kMiB))
          .code);
  EXPECT_EQ(kMiB, fs::file_size(named));
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
}

// Any user of the devices names the images he mounts; a name holding
// control characters (C0, DEL, C1) must not drive the terminal of another
// who queries the device: each shows as "?", the rest of the name as it is.
TEST_F(VelmoranTest, AQueryShowsNoControlCharactersOfTheSourceName) {
  const std::string image = scratch_.File(
      "a\x1b]2;owned\x07"
      "b\x7f\xC2\x9B"
      "c\xC3\xAD.img");
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx2 " + Quote(image) + " --size " + std::to_string(kMiB))
          .code);
  const CommandResult r = velmoran_->Ctl("query VelmoranEx2");
  EXPECT_EQ(0, r.code) << r.output;
  EXPECT_EQ(std::string::npos, r.output.find_first_of("\x1b\x07\x7f")) << r.output;
  EXPECT_EQ(std::string::npos, r.output.find("\xC2\x9B")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("a?]2;owned?b??c\xC3\xAD.img")) << r.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx2").code);
}

// A relative --cache-dir names a directory of the caller's, as a relative
// image path does, not one of wherever the driver runs.
TEST_F(VelmoranTest, ARelativeCacheDirectoryIsTheCallersOwn) {
  FakeBlockServer server(4 * kMiB);
  server.SetAccess(ACCESS_VIRTUAL_WRITE);
  const std::string work = scratch_.File("work");
  fs::create_directories(work + "/cache");
  const CommandResult r = Shell("cd " + Quote(work) + " && " +
                                velmoran_->CtlCommand("mount-net VelmoranEx1 127.0.0.1 " +
                                                      PortOf(server) + " --cache-dir cache"));
  ASSERT_EQ(0, r.code) << r.output;
  // The nameless cache file, as the driver's descriptors name it.
  bool in_cache_dir = false;
  const std::string fds = "/proc/" + std::to_string(velmoran_->pid()) + "/fd";
  for (const auto& entry : fs::directory_iterator(fds)) {
    std::error_code ignored;
    const std::string target = fs::read_symlink(entry.path(), ignored).string();
    in_cache_dir = in_cache_dir || target.starts_with(work + "/cache/");
  }
  EXPECT_TRUE(in_cache_dir) << "the write cache is not in " << work << "/cache";
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx1").code);
  // No directory at all is no directory of the caller's either.
  const CommandResult none =
      velmoran_->Ctl("mount-net VelmoranEx1 127.0.0.1 " + PortOf(server) + " --cache-dir ''");
  EXPECT_EQ(2, none.code) << none.output;
}

// A path that cannot be made absolute (none at all, or a relative one from
// a working directory that was removed) is refused with a word, not an
// abort of velmoran-ctl.
TEST_F(VelmoranTest, APathThatCannotBeMadeAbsoluteIsRefused) {
  const std::string gone = scratch_.File("gone");
  const std::string from_gone =
      "mkdir " + Quote(gone) + " && cd " + Quote(gone) + " && rmdir " + Quote(gone) + " && ";
  FakeBlockServer server(4 * kMiB);
  server.SetAccess(ACCESS_VIRTUAL_WRITE);
  const std::string commands[] = {
      velmoran_->CtlCommand("mount-image VelmoranEx2 ''"),
      from_gone + velmoran_->CtlCommand("mount-image VelmoranEx2 a.img --size 4096"),
      from_gone + velmoran_->CtlCommand("mount-net VelmoranEx2 127.0.0.1 " + PortOf(server) +
                                        " --cache-dir cache"),
  };
  for (const std::string& command : commands) {
    const CommandResult r = Shell(command);
    EXPECT_EQ(2, r.code) << command << ": " << r.output;
    EXPECT_EQ(std::string::npos, r.output.find("terminate called")) << r.output;
    EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2"))) << command << ": the device was mounted";
  }
}

// A user who may not look into the runtime directory is told that the
// drive's device cannot be opened, as for any device; velmoran-ctl does not
// abort on the look for the user's own drive definition first.
TEST_F(VelmoranTest, ADriveNobodyMayLookUpIsAnErrorNotAnAbort) {
  ASSERT_EQ(0, ::chmod(scratch_.path().c_str(), 0700));
  const CommandResult r = Shell("setpriv --reuid=nobody --regid=nogroup --clear-groups " +
                                velmoran_->CtlCommand("query K:"));
  EXPECT_EQ(1, r.code) << r.output;
  EXPECT_EQ(std::string::npos, r.output.find("terminate called")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("velmoran-ctl: ")) << r.output;
}

// Every user of the devices may put a drive definition in the shared
// folder: one another user left for a letter does not steer the caller's
// commands to the device he chose; the caller's own and the global link do.
TEST_F(VelmoranTest, AnotherUsersDriveDefinitionIsNotFollowed) {
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("mine.img")).code);
  ASSERT_EQ(0, Shell("truncate -s 8M " + scratch_.File("his.img")).code);
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx0 " + scratch_.File("mine.img") + " --letter Q").code);
  // Mounted for Q: too, without the global link, which VelmoranEx0 holds.
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx3 " + scratch_.File("his.img") + " --letter Q").code);
  const std::string definition = velmoran_->runtime_dir() + "/DosDevices/Q:";
  ASSERT_EQ(0, ::symlink(Device("VelmoranEx3").c_str(), definition.c_str()));
  ASSERT_EQ(0, ::lchown(definition.c_str(), 65534, 65534));
  QueryThenUnmount("Q:", "mine.img");
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx0"))) << "the caller's drive is still mounted";
  EXPECT_EQ(8 * kMiB, fs::file_size(Device("VelmoranEx3"))) << "another device was unmounted";

  // The caller's own definition is his choice.
  ASSERT_EQ(0, ::lchown(definition.c_str(), ::geteuid(), ::getegid()));
  const CommandResult r = velmoran_->Ctl("query Q:");
  EXPECT_EQ(0, r.code) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("his.img")) << r.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx3").code);
}

// The caller's own definition of a letter counts only while its device is
// mounted for that letter: one left behind (its drive unmounted, the device
// since mounted by someone for another letter) does not take the caller's
// command to that drive.
TEST_F(VelmoranTest, AStaleOwnDriveDefinitionIsNotFollowed) {
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("mine.img")).code);
  ASSERT_EQ(0, Shell("truncate -s 8M " + scratch_.File("other.img")).code);
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx0 " + scratch_.File("mine.img") + " --letter Q").code);
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranEx3 " + scratch_.File("other.img") + " --letter R").code);
  const std::string definition = velmoran_->runtime_dir() + "/DosDevices/Q:";
  ASSERT_EQ(0, ::symlink(Device("VelmoranEx3").c_str(), definition.c_str()));
  QueryThenUnmount("Q:", "mine.img");
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx0"))) << "drive Q: is still mounted";
  EXPECT_EQ(8 * kMiB, fs::file_size(Device("VelmoranEx3"))) << "drive R: was unmounted";
  ASSERT_EQ(0, velmoran_->Ctl("unmount R:").code);
}

TEST_F(VelmoranTest, AnImageCreatedAtMountCarriesAnExt4FileSystem) {
  const std::string image = scratch_.File("disk.img");
  CommandResult r = velmoran_->Ctl("mount-image VelmoranEx2 " + image + " --letter K --size " +
                                   std::to_string(32 * kMiB));
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_EQ(32 * kMiB, fs::file_size(image));
  EXPECT_EQ(32 * kMiB, fs::file_size(Device("VelmoranEx2")));
  EXPECT_EQ(Device("VelmoranEx2"), fs::read_symlink(velmoran_->LinkPath('K')).string());
  r = velmoran_->Ctl("query K:");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.output.find("disk size: 33554432")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("drive letter: K"));
  EXPECT_NE(std::string::npos, r.output.find("source name: \\??\\" + image));

  MakeFileSystemAndWrite(Device("VelmoranEx2"));
  r = velmoran_->Ctl("unmount K:");
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('K'))));
  EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2")));
  ExpectFilesInImage(image);
}

TEST_F(VelmoranTest, AFullAccessNetworkDiskWritesTheServersImage) {
  FakeBlockServer server(32 * kMiB);
  server.SetDisk(std::vector<uint8_t>(32 * kMiB));
  CommandResult r =
      velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --letter N");
  ASSERT_EQ(0, r.code) << r.output << velmoran_->Log();
  r = velmoran_->Ctl("query N:");
  EXPECT_NE(std::string::npos, r.output.find("virtual write: 0")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("server: 127.0.0.1:" + PortOf(server)));
  MakeFileSystemAndWrite(Device());
  ASSERT_EQ(0, velmoran_->Ctl("unmount N:").code);
  const std::string image = scratch_.File("server.img");
  ASSERT_TRUE(WriteFile(image, server.Disk()));
  ExpectFilesInImage(image);
  EXPECT_NE(std::string::npos, velmoran_->Log().find("device size is 33554432 0 16"));
}

TEST_F(VelmoranTest, VirtualWriteLeavesTheServerUntouched) {
  // The server exports an ext4 file system holding one file.
  const std::string original = scratch_.File("original.img");
  fs::create_directories(scratch_.File("content"));
  ASSERT_EQ(0, Shell("echo 'from the server' > " + scratch_.File("content/server.txt")).code);
  ASSERT_EQ(0,
            Shell("mkfs.ext4 -q -F -d " + scratch_.File("content") + " " + original + " 32M").code);
  FakeBlockServer server(0);
  server.SetDisk(ReadFile(original));
  server.SetAccess(ACCESS_VIRTUAL_WRITE);
  const std::vector<uint8_t> before = server.Disk();
  fs::create_directories(scratch_.File("cache"));

  const std::string mount = "mount-net VelmoranEx1 127.0.0.1 " + PortOf(server) +
                            " --letter V --cache-dir " + scratch_.File("cache");
  CommandResult r = velmoran_->Ctl(mount);
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_NE(std::string::npos, velmoran_->Ctl("query V:").output.find("virtual write: 1"));
  std::string loop = attached_.Loop(Device("VelmoranEx1"));
  ASSERT_FALSE(loop.empty());
  const std::string mnt = scratch_.File("mnt");
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_EQ("from the server\n", Shell("cat " + mnt + "/server.txt").output);
  ASSERT_EQ(0, Shell("echo 'from the client' > " + mnt + "/client.txt").code);
  ASSERT_TRUE(attached_.Unmount(mnt));
  // Mounted afresh from the device, the client's own writes come back.
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_EQ("from the client\n", Shell("cat " + mnt + "/client.txt").output);
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Detach(loop));
  EXPECT_TRUE(fs::is_empty(scratch_.File("cache"))) << "the cache file has no name";
  ASSERT_EQ(0, velmoran_->Ctl("unmount V:").code);

  EXPECT_TRUE(before == server.Disk()) << "the server's image must stay byte for byte the same";
  for (const auto& request : server.Requests()) EXPECT_NE(CMD_WRITE, request.command);

  // A new mount sees the server's data again.
  ASSERT_EQ(0, velmoran_->Ctl(mount).code);
  loop = attached_.Loop(Device("VelmoranEx1"));
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_TRUE(fs::exists(mnt + "/server.txt"));
  EXPECT_FALSE(fs::exists(mnt + "/client.txt"));
}

TEST_F(VelmoranTest, ATlsMountLogsOnByTheHandshakeAndSaysWhenTheExportIsOfTheOtherKind) {
  FakeBlockServer server(32 * kMiB);
  server.SetDisk(std::vector<uint8_t>(32 * kMiB));
  server.SetTls(true);
  server.SetPassword(PasswordDigest("letmein"));
  server.SetManagePassword(PasswordDigest("boss"));
  server.SetAccess(ACCESS_VIRTUAL_WRITE);
  const std::string at = "mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --letter T";

  // Plain at the TLS export: refused at once, in words.
  CommandResult r = velmoran_->Ctl(at + " --password letmein");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("The export uses TLS: mount it with TLS."))
      << r.output;
  // A wrong password over TLS is the plain path's wrong password.
  r = velmoran_->Ctl(at + " --tls --password nope");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("status 0xC000006A (Win32 86)")) << r.output;
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('T'))));

  // The management password: full access through "manage", a file system
  // written through the session lands on the server.
  server.ClearRequests();
  r = velmoran_->Ctl(at + " --tls --password boss");
  ASSERT_EQ(0, r.code) << r.output << velmoran_->Log();
  r = velmoran_->Ctl("query T:");
  EXPECT_NE(std::string::npos, r.output.find("tls: 1")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("virtual write: 0")) << r.output;
  MakeFileSystemAndWrite(Device());
  ASSERT_EQ(0, velmoran_->Ctl("unmount T:").code);
  for (const auto& request : server.Requests()) EXPECT_NE(CMD_LOGIN, request.command);
  // Every connection of the disk logs on by the handshake, none with CMD_LOGIN.
  EXPECT_EQ(std::vector<std::string>(kDefaultMountConnections, kTlsIdentityManage),
            server.TlsLogOns());
  const std::string image = scratch_.File("tls.img");
  ASSERT_TRUE(WriteFile(image, server.Disk()));
  ExpectFilesInImage(image);

  // TLS at a plain export: refused at once, in words.
  FakeBlockServer plain(4 * kMiB);
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(plain) + " --tls");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("The export does not use TLS: mount it without TLS."))
      << r.output;
  // And a plain mount of it says it is plain.
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(plain));
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_NE(std::string::npos, velmoran_->Ctl("query VelmoranEx0").output.find("tls: 0"));
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx0").code);
}

TEST_F(VelmoranTest, AWrongPasswordIsRefusedWithItsOwnStatus) {
  FakeBlockServer server(4 * kMiB);
  server.SetPassword(PasswordDigest("letmein"));
  CommandResult r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                                   " --letter P --password nope");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("status 0xC000006A (Win32 86)")) << r.output;
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('P'))));
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                     " --letter P --password letmein");
  EXPECT_EQ(0, r.code) << r.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx0").code);

  // Kept off the command line: the first line of a file, or of standard
  // input.
  const std::string file = scratch_.File("password");
  std::ofstream(file) << "letmein\nnot this line\n";
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --password-file " +
                     Quote(file));
  EXPECT_EQ(0, r.code) << r.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx0").code);
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --password-file - < " +
                     Quote(file));
  EXPECT_EQ(0, r.code) << r.output;
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx0").code);
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                     " --password-file - < /dev/null");
  EXPECT_EQ(1, r.code) << "the empty password is not letmein: " << r.output;
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                     " --password letmein --password-file " + Quote(file));
  EXPECT_EQ(2, r.code) << "one password, given once: " << r.output;
  r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                     " --password-file /no/such/file");
  EXPECT_EQ(2, r.code) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("--password-file open /no/such/file")) << r.output;
}

// The driver's own memory in use (anonymous resident pages, in KiB).
long AnonymousKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

// A heavy run on several devices (image files, a network disk, a virtual
// write one) fills the driver's buffers and write caches; once every device
// is unmounted the driver is back near the size it had before any mount.
TEST_F(VelmoranTest, UnmountingGivesTheMemoryOfAHeavyRunBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator keeps what is freed (its quarantine)";
#endif
  const long idle = AnonymousKiB(velmoran_->pid());
  ASSERT_GT(idle, 0);
  FakeBlockServer full(64 * kMiB);
  FakeBlockServer virtual_write(64 * kMiB);
  virtual_write.SetAccess(ACCESS_VIRTUAL_WRITE);
  std::vector<std::string> devices;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "VelmoranEx" + std::to_string(i);
    const CommandResult r = velmoran_->Ctl("mount-image " + name + " " +
                                           scratch_.File(name + ".img") + " --size 67108864");
    ASSERT_EQ(0, r.code) << r.output;
    devices.push_back(name);
  }
  ASSERT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx4 127.0.0.1 " + PortOf(full)).code);
  ASSERT_EQ(0, velmoran_
                   ->Ctl("mount-net VelmoranEx5 127.0.0.1 " + PortOf(virtual_write) +
                         " --cache-dir " + scratch_.path().string())
                   .code);
  devices.push_back("VelmoranEx4");
  devices.push_back("VelmoranEx5");
  // Each device written and read in large and small requests, two at a time.
  std::string run;
  for (const std::string& name : devices) {
    const std::string file = Device(name);
    for (const char* block : {"1M count=40", "64k count=400"}) {
      run += "dd if=/dev/zero of=" + file + " bs=" + block +
             " oflag=direct conv=notrunc status=none & dd if=" + file +
             " of=/dev/null bs=" + block + " iflag=direct status=none & ";
    }
  }
  const CommandResult heavy = Shell(run + "wait");
  ASSERT_EQ(0, heavy.code) << heavy.output;
  const long after_run = AnonymousKiB(velmoran_->pid());
  for (const std::string& name : devices) {
    const CommandResult r = velmoran_->Ctl("unmount " + name);
    ASSERT_EQ(0, r.code) << r.output;
  }
  long after_unmount = 0;
  const bool given_back = testing::Eventually(
      [&] {
        after_unmount = AnonymousKiB(velmoran_->pid());
        return after_unmount <= idle + 2048;
      },
      kPatience, kPoll);
  std::printf("driver RssAnon: idle %ld KiB, after the run %ld KiB, after unmount %ld KiB\n", idle,
              after_run, after_unmount);
  // (Else the run would not have shown anything.)
  EXPECT_GT(after_run, idle + 8192);
  EXPECT_TRUE(given_back) << "idle " << idle << " KiB, after unmount " << after_unmount << " KiB";
}

TEST_F(VelmoranTest, IoContinuesWhenTheServerComesBack) {
  FakeBlockServer server(8 * kMiB);
  ASSERT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server)).code);
  const std::string device = Device();
  ASSERT_EQ(0, Shell("dd if=/dev/urandom of=" + scratch_.File("block") + " bs=64k count=1").code);
  server.Stop();
  server.Restart();
  const CommandResult write =
      Shell("dd if=" + scratch_.File("block") + " of=" + device + " bs=64k seek=3 conv=notrunc");
  ASSERT_EQ(0, write.code) << write.output;
  const CommandResult read =
      Shell("dd if=" + device + " bs=64k skip=3 count=1 | cmp - " + scratch_.File("block"));
  EXPECT_EQ(0, read.code) << read.output;
  EXPECT_GE(server.Connections(), 2);
}

TEST_F(VelmoranTest, ADeviceWaitingForItsServerHoldsUpNoOther) {
  FakeBlockServer server(4 * kMiB);
  ASSERT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server)).code);
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("a.img")).code);
  ASSERT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx1 " + scratch_.File("a.img")).code);
  server.SetSilent(true);
  server.ClearRequests();
  std::atomic<bool> stuck_done{false};
  std::thread stuck([&] {
    const CommandResult r = Shell("dd if=" + Device() + " bs=4k count=1 status=none of=/dev/null");
    EXPECT_EQ(0, r.code) << "read again once the server answers";
    stuck_done = true;
  });
  const auto read_arrived = [&] {
    for (const FakeBlockServer::Request& request : server.Requests()) {
      if (request.command == CMD_READ) return true;
    }
    return false;
  };
  EXPECT_TRUE(testing::Eventually(read_arrived, kPatience, kPoll))
      << "the read never reached its server";
  // While that read waits for its reply, the other device and the waiting
  // one's query are served. Bounded (30 s) only so that a hang ends.
  EXPECT_EQ(0, Shell("timeout 30 dd if=" + Device("VelmoranEx1") +
                     " bs=4k count=16 "
                     "status=none of=/dev/null")
                   .code);
  EXPECT_EQ(0, velmoran_->Ctl("query VelmoranEx0").code);
  EXPECT_FALSE(stuck_done) << "the first read did not wait for its server";
  // Ends the wait at once; the read reconnects to a server that answers.
  server.SetSilent(false);
  server.ResetConnections();
  stuck.join();
}

TEST_F(VelmoranTest, StoppingUnmountsEverything) {
  FakeBlockServer server(4 * kMiB);
  ASSERT_EQ(
      0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --letter M").code);
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("a.img")).code);
  ASSERT_EQ(
      0,
      velmoran_->Ctl("mount-image VelmoranExCd0 " + scratch_.File("a.img") + " --letter L").code);
  ASSERT_EQ(kDefaultMountConnections, server.OpenConnections());
  EXPECT_EQ(0, velmoran_->Stop());
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('M'))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('L'))));
  EXPECT_TRUE(testing::Eventually([&] { return server.OpenConnections() == 0; }, kPatience, kPoll));
  EXPECT_FALSE(fs::exists(Device())) << "the file system is gone";
}

// A stop (an upgrade, a shutdown) loses nothing acknowledged: every
// mounted device is flushed first, and the log says which ones were still
// in use, whose users see their requests fail from then on.
TEST_F(VelmoranTest, StoppingFlushesEveryDeviceAndSaysWhichWereStillOpen) {
  FakeBlockServer open_server(4 * kMiB), idle_server(4 * kMiB);
  ASSERT_EQ(0,
            velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(open_server) + " --letter P")
                .code);
  ASSERT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx1 127.0.0.1 " + PortOf(idle_server)).code);
  for (const char* device : {"VelmoranEx0", "VelmoranEx1"}) {
    ASSERT_EQ(0, Shell("dd if=/dev/urandom of=" + Device(device) +
                       " bs=64k seek=1 count=4 oflag=direct conv=notrunc status=none")
                     .code);
  }
  const int held = ::open(Device("VelmoranEx0").c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  open_server.ClearRequests();
  idle_server.ClearRequests();
  EXPECT_EQ(0, velmoran_->Stop());
  ::close(held);
  for (FakeBlockServer* server : {&open_server, &idle_server}) {
    const auto requests = server->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(CMD_FLUSH, requests.front().command) << "acknowledged writes were not flushed";
  }
  const std::string log = velmoran_->Log();
  EXPECT_NE(std::string::npos, log.find("Stopping with VelmoranEx0 still open (1), drive P:"))
      << log;
  EXPECT_EQ(std::string::npos, log.find("Stopping with VelmoranEx1")) << log;
}

// A hang-up (the terminal it was started from closed) stops the driver as
// SIGTERM does: flushed, unmounted and ended, no dead mount left behind.
TEST_F(VelmoranTest, AHangUpStopsItAsSigtermDoes) {
  FakeBlockServer server(4 * kMiB);
  ASSERT_EQ(
      0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --letter H").code);
  ASSERT_EQ(0, Shell("dd if=/dev/urandom of=" + Device() +
                     " bs=64k count=1 oflag=direct conv=notrunc status=none")
                   .code);
  server.ClearRequests();
  velmoran_->Signal(SIGHUP);
  EXPECT_EQ(std::optional<int>(0), velmoran_->Wait(kPatience)) << velmoran_->Log();
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(CMD_FLUSH, requests.front().command) << "acknowledged writes were not flushed";
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('H'))));
  EXPECT_FALSE(fs::exists(Device())) << "the file system is left behind";
}

// Started by systemd (Type=notify): READY only once every device file
// exists, so units ordered after it find them; STOPPING when it unloads.
TEST_F(VelmoranTest, ReportsReadyToSystemdOnceTheDevicesExist) {
  EXPECT_EQ(0, velmoran_->Stop());
  const std::string notify = scratch_.File("notify");
  platform::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, notify.c_str());
  ASSERT_EQ(0, ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  timeval timeout{30, 0};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::string run = scratch_.File("notified");
  testing::Program driver({VELMORAN_PATH, "--runtime-dir", run}, scratch_.File("notified.log"),
                          {"NOTIFY_SOCKET=" + notify});
  ASSERT_TRUE(driver.started());
  char buffer[256];
  ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
  ASSERT_GT(n, 0) << driver.Log();
  EXPECT_EQ("READY=1", std::string(buffer, static_cast<size_t>(n)));
  // At once, no waiting: the devices are there.
  for (const char* name : {"VelmoranEx0", "VelmoranEx7", "VelmoranExCd0", "VelmoranExCd7"}) {
    EXPECT_TRUE(fs::exists(run + "/Device/VelmoranEx/" + name)) << name;
  }
  driver.Signal(SIGTERM);
  n = ::recv(socket.get(), buffer, sizeof buffer, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ("STOPPING=1", std::string(buffer, static_cast<size_t>(n)));
  EXPECT_EQ(0, driver.Wait(30s));
  EXPECT_EQ("", FaultsIn(driver.Log()));
}

TEST_F(VelmoranTest, AStartAfterACrashClearsWhatWasLeft) {
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("a.img")).code);
  ASSERT_EQ(
      0, velmoran_->Ctl("mount-image VelmoranEx4 " + scratch_.File("a.img") + " --letter C").code);
  velmoran_->Kill();
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(velmoran_->LinkPath('C'))));
  struct stat st {};
  EXPECT_NE(0, ::stat(Device("VelmoranEx4").c_str(), &st)) << "the dead mount does not answer";

  Start();
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('C'))));
  ASSERT_EQ(0, ::stat(Device("VelmoranEx4").c_str(), &st));
  EXPECT_EQ(0, st.st_size);
  // The image is free again.
  EXPECT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx4 " + scratch_.File("a.img")).code);
}

TEST_F(VelmoranTest, OnlyOneDriverPerRuntimeDirectory) {
  auto second = VelmoranProcess::Start(scratch_.File("run"));
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->running());
  EXPECT_NE(std::string::npos, second->Log().find("another process holds")) << second->Log();
  EXPECT_TRUE(fs::exists(Device())) << "the first driver is untouched";
}

// How many times the log says a reconnect attempt failed.
size_t FailedReconnects(const std::string& log) {
  size_t count = 0;
  for (size_t at = log.find("Reconnect failed"); at != std::string::npos;
       at = log.find("Reconnect failed", at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(VelmoranTest, UnmountingADeviceThatWaitsForItsServerIsPrompt) {
  velmoran_->Stop();
  Start({"--reconnect-timeout", "3600"});  // an unmount that waited it out would be killed
  FakeBlockServer server(4 * kMiB);
  ASSERT_EQ(
      0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) + " --letter W").code);
  ASSERT_EQ(0, Shell("truncate -s 4M " + scratch_.File("a.img")).code);
  ASSERT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx1 " + scratch_.File("a.img")).code);
  // Every new connection now dies in its log-on, so the next read keeps trying.
  server.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kCutShort);
  server.ResetConnections();
  std::atomic<int> read_code{-2};
  std::thread waiting([&] {
    read_code = Shell("dd if=" + Device() + " bs=4k count=1 status=none of=/dev/null").code;
  });
  const bool retrying =
      testing::Eventually([&] { return server.Connections() >= 4; }, kPatience, kPoll);
  EXPECT_TRUE(retrying) << "the read gave up after " << server.Connections() - 1 << " reconnects\n"
                        << velmoran_->Log();
  EXPECT_EQ(-2, read_code) << "the read ended while its server was away";
  // Meanwhile the other devices and the waiting one's query answer.
  EXPECT_EQ(0, Shell("dd if=" + Device("VelmoranEx1") +
                     " bs=4k count=16 status=none "
                     "of=/dev/null")
                   .code);
  EXPECT_EQ(0, velmoran_->Ctl("query W:").code);
  const CommandResult unmount = velmoran_->Ctl("unmount W:");
  EXPECT_EQ(0, unmount.code) << unmount.output;
  waiting.join();
  EXPECT_NE(0, read_code) << "the read cannot succeed without its server";
  EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('W'))));
  EXPECT_EQ(0u, fs::file_size(Device()));
  // The device is free for the next mount.
  server.MangleReplies(CMD_LOGIN, FakeBlockServer::Mangle::kNone);
  EXPECT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server)).code);
}

TEST_F(VelmoranTest, ARequestWhoseServerStaysAwayFailsAfterTheReconnectTimeOut) {
  velmoran_->Stop();
  Start({"--reconnect-timeout", "1"});
  FakeBlockServer server(4 * kMiB);
  ASSERT_EQ(0, velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server)).code);
  server.Stop();
  const CommandResult read = Shell("dd if=" + Device() + " bs=4k count=1 status=none of=/dev/null");
  EXPECT_NE(0, read.code);
  EXPECT_NE(std::string::npos, read.output.find("Input/output error")) << read.output;
  EXPECT_GE(FailedReconnects(velmoran_->Log()), 2u) << velmoran_->Log();
  EXPECT_NE(std::string::npos, velmoran_->Log().find("Reconnect gave up")) << velmoran_->Log();
  // Back again, the same device serves at once.
  server.Restart();
  ASSERT_TRUE(WriteFile(scratch_.File("served.img"), server.Disk()));
  EXPECT_EQ(0, Shell("dd if=" + Device() + " bs=4k count=1 status=none | cmp -n 4096 - " +
                     scratch_.File("served.img"))
                   .code);
}

TEST_F(VelmoranTest, AReconnectTimeOutMustBeWholeSecondsUpToADay) {
  for (const char* bad : {"-1", "x", "1.5", "86401", ""}) {
    auto other = VelmoranProcess::Start(scratch_.File("other"), {"--reconnect-timeout", bad});
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->running()) << bad;
    EXPECT_NE(std::string::npos, other->Log().find("--reconnect-timeout SECONDS")) << bad;
  }
}

TEST_F(VelmoranTest, AMountOfASizeTheDeviceFileCannotHoldIsRefused) {
  FakeBlockServer server(4 * kMiB);
  const std::string mount = "mount-net VelmoranEx2 127.0.0.1 " + PortOf(server) +
                            " --letter H --cache-dir " + scratch_.path().string();
  for (uint64_t size : {(uint64_t{1} << 63) + 512, uint64_t{1} << 63, ~uint64_t{0}}) {
    server.ReportDiskSize(size);
    const CommandResult r = velmoran_->Ctl(mount);
    EXPECT_EQ(1, r.code) << size;
    EXPECT_NE(std::string::npos, r.output.find("status 0xC0000904 (Win32 223)")) << r.output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(velmoran_->LinkPath('H'))));
    // The device stays what it was: empty, and its file answers.
    struct stat st {};
    ASSERT_EQ(0, ::stat(Device("VelmoranEx2").c_str(), &st)) << std::strerror(errno);
    EXPECT_EQ(0, st.st_size);
    const int fd = ::open(Device("VelmoranEx2").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (fd >= 0) ::close(fd);
    EXPECT_NE(std::string::npos,
              velmoran_->Ctl("query VelmoranEx2").output.find("status 0xC0000013"));
  }
  // The largest size the file can have mounts, in both write modes, and
  // its device can be read, written, queried and unmounted.
  const uint64_t largest = (uint64_t{1} << 63) - 512;
  server.ReportDiskSize(largest);
  const std::vector<uint8_t> served = server.Disk();
  for (uint8_t access : {ACCESS_VIRTUAL_WRITE, ACCESS_FULL}) {
    server.SetAccess(access);
    CommandResult r = velmoran_->Ctl(mount);
    ASSERT_EQ(0, r.code) << r.output << velmoran_->Log();
    r = velmoran_->Ctl("query H:");
    EXPECT_NE(std::string::npos, r.output.find("disk size: 9223372036854775296")) << r.output;
    EXPECT_EQ(largest, fs::file_size(Device("VelmoranEx2")));
    const int fd = ::open(Device("VelmoranEx2").c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::vector<uint8_t> block(4096);
    EXPECT_EQ(4096, ::pread(fd, block.data(), block.size(), 0));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), served.begin()));
    if (access == ACCESS_VIRTUAL_WRITE) {
      // The write cache takes blocks anywhere on the disk, even near its end
      // (which reads from a server that holds no such bytes would not show).
      std::vector<uint8_t> mine(4096, 0x7E);
      const off_t near_end = static_cast<off_t>(largest - 8192);
      EXPECT_EQ(4096, ::pwrite(fd, mine.data(), mine.size(), near_end)) << std::strerror(errno);
      EXPECT_EQ(4096, ::pwrite(fd, mine.data(), mine.size(), 8192)) << std::strerror(errno);
      EXPECT_EQ(4096, ::pread(fd, block.data(), block.size(), 8192));
      EXPECT_EQ(mine, block);
    }
    ::close(fd);
    r = velmoran_->Ctl("unmount H:");
    EXPECT_EQ(0, r.code) << r.output;
    EXPECT_EQ(0u, fs::file_size(Device("VelmoranEx2")));
  }
}

// The export's size changed while the driver opened a disk's connections
// (its third connection is told another): the disk keeps the size of the
// first and the two that agree with it, says so, and serves every byte of
// that size; no request goes to a connection of another size.
TEST_F(VelmoranTest, ALaterConnectionToldAnotherSizeLeavesTheDiskOnTheFirstOnes) {
  FakeBlockServer server(4 * kMiB);
  server.ReportLaterDiskSize(3, 8 * kMiB);
  CommandResult r = velmoran_->Ctl("mount-net VelmoranEx0 127.0.0.1 " + PortOf(server) +
                                   " --letter K --connections 4");
  ASSERT_EQ(0, r.code) << r.output << velmoran_->Log();
  r = velmoran_->Ctl("query K:");
  EXPECT_NE(std::string::npos, r.output.find("disk size: 4194304")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("connections: 2")) << r.output;
  EXPECT_EQ(4 * kMiB, fs::file_size(Device()));
  EXPECT_NE(std::string::npos,
            velmoran_->Log().find("Connection 3 of 4 closed: the server gave it access 0 and size "
                                  "8388608, the first one access 0 and size 4194304; the disk "
                                  "goes on with 2"))
      << velmoran_->Log();
  EXPECT_TRUE(testing::Eventually([&] { return server.OpenConnections() == 2; }, kPatience, kPoll));
  server.ClearRequests();
  ASSERT_TRUE(WriteFile(scratch_.File("served.img"), server.Disk()));
  r = Shell("dd if=" + Device() + " bs=64k iflag=direct status=none | cmp - " +
            scratch_.File("served.img"));
  EXPECT_EQ(0, r.code) << r.output;
  r = Shell("dd if=/dev/urandom of=" + Device() +
            " bs=64k seek=8 count=8 oflag=direct conv=notrunc,fsync status=none");
  EXPECT_EQ(0, r.code) << r.output;
  for (const auto& request : server.Requests()) EXPECT_LE(request.connection, 2);
  EXPECT_EQ(0, velmoran_->Ctl("unmount K:").code);
  EXPECT_NE(std::string::npos, velmoran_->Log().find("Disk of 2 connections")) << velmoran_->Log();
}

TEST_F(VelmoranTest, AHostileServerLeavesEveryDeviceQueryableAndUnmountable) {
  velmoran_->Stop();
  Start({"--reconnect-timeout", "1"});
  using Mangle = FakeBlockServer::Mangle;
  FakeBlockServer server(4 * kMiB);
  const std::string mount = "mount-net VelmoranEx3 127.0.0.1 " + PortOf(server) + " --letter Q";
  const std::string device = Device("VelmoranEx3");
  ASSERT_EQ(0, Shell("head -c 65536 /dev/urandom > " + scratch_.File("block")).code);
  for (uint8_t command : {CMD_LOGIN, CMD_QUERY, CMD_READ, CMD_WRITE}) {
    for (Mangle how :
         {Mangle::kCutShort, Mangle::kWrongStatus, Mangle::kWrongLength, Mangle::kGarbage}) {
      SCOPED_TRACE(::testing::Message()
                   << "command " << int{command} << ", mangle " << static_cast<int>(how));
      server.MangleReplies(command, how);
      const bool mounted = velmoran_->Ctl(mount).code == 0;
      if (mounted) {
        const CommandResult read =
            Shell("dd if=" + device + " bs=64k count=1 status=none of=/dev/null");
        const CommandResult write = Shell("dd if=" + scratch_.File("block") + " of=" + device +
                                          " bs=64k seek=5 conv=notrunc status=none");
        if (command == CMD_READ) {
          EXPECT_NE(0, read.code) << "a mangled read passed as data";
        }
        // A write whose reply says success with a length of nonsense did reach the disk.
        if (command == CMD_WRITE && how != Mangle::kWrongLength) {
          EXPECT_NE(0, write.code) << "a refused write passed as written";
        }
        EXPECT_EQ(0, velmoran_->Ctl("query Q:").code);
        const CommandResult unmount = velmoran_->Ctl("unmount Q:");
        EXPECT_EQ(0, unmount.code) << unmount.output;
      } else {
        EXPECT_NE(command, CMD_READ) << "reads and writes are not part of a mount";
        EXPECT_NE(command, CMD_WRITE);
      }
      EXPECT_NE(std::string::npos,
                velmoran_->Ctl("query VelmoranEx3").output.find("status 0xC0000013"));
      struct stat st {};
      EXPECT_EQ(0, ::stat(device.c_str(), &st)) << std::strerror(errno);
      EXPECT_EQ(0, st.st_size);
      ASSERT_TRUE(velmoran_->running()) << velmoran_->Log();
      server.MangleReplies(command, Mangle::kNone);
    }
  }
  // Behaving again, the server's disk mounts and reads on the same device.
  ASSERT_EQ(0, velmoran_->Ctl(mount).code);
  ASSERT_TRUE(WriteFile(scratch_.File("served.img"), server.Disk()));
  EXPECT_EQ(0, Shell("dd if=" + device + " bs=64k count=1 status=none | cmp -n 65536 - " +
                     scratch_.File("served.img"))
                   .code);
}

// The kernel never shows a device's earlier contents, with or without the
// page cache: not after an unmount, not after a mount of something else.
class VelmoranCacheTest : public VelmoranTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(VelmoranIsBuilt()) << "velmoran is not built";
    const std::string missing = MissingForDriver(/*loop=*/false);
    if (!missing.empty()) GTEST_SKIP() << missing;
    Start(GetParam() ? std::vector<std::string>{"--page-cache"} : std::vector<std::string>{});
  }
};

TEST_P(VelmoranCacheTest, NoDataOfAnEarlierMountShows) {
  ASSERT_TRUE(WriteFile(scratch_.File("a.img"), std::vector<uint8_t>(kMiB, 0xAA)));
  ASSERT_TRUE(WriteFile(scratch_.File("b.img"), std::vector<uint8_t>(kMiB, 0xBB)));
  ASSERT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx0 " + scratch_.File("a.img")).code);
  const int fd = ::open(Device().c_str(), O_RDONLY);  // held across the remount
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> data(4096);
  ASSERT_EQ(4096, ::pread(fd, data.data(), data.size(), 8192));
  EXPECT_EQ(0xAA, data[0]);
  ASSERT_EQ(0, velmoran_->Ctl("unmount VelmoranEx0").code);
  // Direct I/O asks the empty device (no medium); the page cache knows the
  // file is empty now (end of file). Neither may show the old bytes.
  data.assign(data.size(), 0);
  EXPECT_LE(::pread(fd, data.data(), data.size(), 8192), 0);
  EXPECT_EQ(0, data[0]) << "served from a stale cache";
  ASSERT_EQ(0, velmoran_->Ctl("mount-image VelmoranEx0 " + scratch_.File("b.img")).code);
  ASSERT_EQ(4096, ::pread(fd, data.data(), data.size(), 8192));
  EXPECT_EQ(0xBB, data[0]);
  EXPECT_EQ(0xBB, data[4095]);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(DirectAndCached, VelmoranCacheTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "PageCache" : "DirectIo"; });

}  // namespace
}  // namespace quensaria::harness
