// Block devices (ublk) in the test guest, whose kernel has ublk_drv. On the
// host, each TestGuest case boots the guest once and runs this binary's
// guest-side cases of one group there (as root, with the real quensaria,
// velmoran and velmoran-ctl of this build); in the guest those cases drive
// /dev/ublkbN with the kernel's own tools: mkfs, mount, fsck, xfs_repair,
// sfdisk, fio. ctest lists only the TestGuest cases.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ublk_device.h"
#include "tests/guest_machine_for_testing.h"
#ifdef QUENSARIA_GUEST_MOUNTER
#include <arpa/inet.h>
#include <sys/mount.h>

#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/prompts_for_testing.h"
#include "mounter/root_volumes.h"
#include "platform/eventually_for_testing.h"
#include "platform/loop_device.h"
#include "shared/password_digest.h"
#include "shared/win32_error.h"
#endif
#include "tests/program_for_testing.h"
#include "tests/service_and_driver_for_testing.h"
#include "tests/sync_trace_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;
using testing::FirstLine;

// --- On the host: one boot per group ---------------------------------------

std::string ThisProgram() {
  std::error_code ignored;
  return fs::read_symlink("/proc/self/exe", ignored).string();
}

// How many of this binary's cases the gtest filter `suites` ("A.*:B.*") names.
int CasesIn(const std::string& suites) {
  int count = 0;
  const ::testing::UnitTest& all = *::testing::UnitTest::GetInstance();
  for (int i = 0; i < all.total_test_suite_count(); ++i) {
    const ::testing::TestSuite& suite = *all.GetTestSuite(i);
    if (suites.find(std::string(suite.name()) + ".*") != std::string::npos) {
      count += suite.total_test_count();
    }
  }
  return count;
}

// Boots the guest, runs the cases of `suites` there and checks that every
// one of them ran and passed.
void RunCasesInTheGuest(const std::string& suites) {
  const int cases = CasesIn(suites);
  ASSERT_GT(cases, 0) << suites;
  testing::GuestOptions options;
  options.limit = std::chrono::seconds(1200);
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      options.environment.push_back(std::string(name) + "=" + value);
    }
  }
  const testing::GuestResult run =
      testing::RunInGuest({ThisProgram(), "--gtest_filter=" + suites}, options);
  std::cout << run.output;
  EXPECT_EQ(0, run.status) << run.console;
  const std::string passed =
      "[  PASSED  ] " + std::to_string(cases) + (cases == 1 ? " test." : " tests.");
  EXPECT_NE(std::string::npos, run.output.find(passed)) << "expected: " << passed;
  EXPECT_EQ(std::string::npos, run.output.find("[  SKIPPED ]")) << "a case skipped in the guest";
}

TEST(TestGuest, BlockDevices) {
  QUENSARIA_REQUIRE_GUEST();
  RunCasesInTheGuest("UblkDiskTest.*:UblkMounterTest.*");
}

TEST(TestGuest, ServiceAndDriverRestarts) {
  QUENSARIA_REQUIRE_GUEST();
  RunCasesInTheGuest("UblkRestartTest.*");
}

// --- In the guest ----------------------------------------------------------

// How long and how often a test looks for what the programs do: a bound
// against hangs only.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(20);

bool IsBlockDevice(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// Field `field` (1-based) of /sys/block/NAME/stat: 3 sectors read, 7 written.
uint64_t DiskStat(const std::string& device, int field) {
  std::istringstream fields(
      Shell("cat /sys/block/" + fs::path(device).filename().string() + "/stat").output);
  uint64_t value = 0;
  for (int i = 0; i < field && (fields >> value); ++i) {
  }
  return value;
}

class UblkGuestTest : public ServiceAndDriverTest {
 protected:
  void SetUp() override {
    if (!testing::InGuest()) GTEST_SKIP() << "runs in the test guest (ctest's TestGuest cases)";
    ASSERT_TRUE(platform::UblkDevice::Available()) << "the guest's kernel has no ublk";
    ServiceAndDriverTest::SetUp();
  }

  CommandResult MountNet(const std::string& device, int port, const std::string& more = "") {
    return velmoran()->Ctl("mount-net " + device + " 127.0.0.1 " + std::to_string(port) + " " +
                           more);
  }
  // The block device drive `letter` is served as, or empty.
  std::string BlockDeviceOf(char letter) {
    return FirstLine(velmoran()->Ctl(std::string("block-device ") + letter + ":").output);
  }
  // Connections the service has open on `port`, as ss sees them.
  int ServiceConnections(int port) {
    const CommandResult r =
        Shell("ss -Htn state established '( sport = :" + std::to_string(port) + " )' | wc -l");
    return r.code == 0 ? std::atoi(r.output.c_str()) : -1;
  }
  // After an unmount: the most requests the disk of `connections` served at
  // once, from the driver's log, or -1.
  int MostAtOnce(int connections) {
    const std::string log = velmoran()->Log();
    const std::string said = "Disk of " + std::to_string(connections) + " connections: at most ";
    const size_t at = log.rfind(said);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + said.size());
  }
  uint64_t SizeOf(const std::string& device) {
    return std::strtoull(Shell("blockdev --getsize64 " + device).output.c_str(), nullptr, 10);
  }
  std::string Sha1(const std::string& file) {
    return FirstLine(Shell("sha1sum < " + Quote(file)).output);
  }
  // Writes a folder of 400 small files and a file of 4 MB, random bytes, to
  // `dir`, and their checksums to `sums` (a file outside).
  void Fill(const std::string& dir, const std::string& sums) {
    const CommandResult r = Shell(
        "mkdir " + dir + "/tree && head -c 2800000 /dev/urandom | split -a 3 -b 7000 - " + dir +
        "/tree/part. && head -c 4000000 /dev/urandom > " + dir + "/data.bin && sync && cd " + dir +
        " && find . -type f | sort | xargs sha1sum > " + sums);
    ASSERT_EQ(0, r.code) << r.output;
  }
  void ExpectSums(const std::string& dir, const std::string& sums) {
    const CommandResult r = Shell("cd " + dir + " && sha1sum --quiet -c " + sums);
    EXPECT_EQ(0, r.code) << r.output;
  }
  // A program that holds `device` open until killed; started once it has.
  std::unique_ptr<Program> HoldOpen(const std::string& device) {
    const std::string opened = scratch_.File("opened");
    return Program::Start(
        {"/bin/sh", "-c", "exec 3< " + device + " && touch " + opened + " && exec sleep 600"},
        [opened](const Program&) { return fs::exists(opened); });
  }
  VelmoranProcess* velmoran() const { return stack_.velmoran(); }
};

class UblkDiskTest : public UblkGuestTest {};

TEST_F(UblkDiskTest, Ext4AndXfsOnANetworkDiskAreMadeFilledAndClean) {
  const std::string image = scratch_.File("export.img");
  // XFS wants at least 300 MB; the image stays sparse.
  ASSERT_EQ(0, Shell("truncate -s 512M " + image).code);
  const int port = stack_.Export(image, "full");
  // Four connections, so the file systems' read-ahead and write-back go
  // side by side.
  CommandResult r = MountNet("VelmoranEx0", port, "--letter X --connections 4");
  ASSERT_EQ(0, r.code) << r.output << velmoran()->Log();
  const std::string disk = BlockDeviceOf('X');
  ASSERT_TRUE(disk.starts_with("/dev/ublkb")) << velmoran()->Log();
  ASSERT_TRUE(IsBlockDevice(disk));
  EXPECT_EQ(536870912u, SizeOf(disk));
  const std::string query = velmoran()->Ctl("query X:").output;
  EXPECT_NE(std::string::npos, query.find("block device: " + disk)) << query;
  EXPECT_NE(std::string::npos, query.find("connections: 4")) << query;
  EXPECT_EQ(4, ServiceConnections(port));
  const std::string mnt = scratch_.File("mnt");
  const std::string sums = scratch_.File("sums");

  ASSERT_EQ(0, Shell("mkfs.ext4 -q -F " + disk).code);
  ASSERT_TRUE(attached_.Mount(disk, mnt)) << Shell("dmesg | tail -5").output;
  ASSERT_NO_FATAL_FAILURE(Fill(mnt, sums));
  // Mounted: the drive stays, and so does its file system.
  r = velmoran()->Ctl("unmount X:");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("status 0x80000011 (Win32 170)")) << r.output;
  ExpectSums(mnt, sums);
  ASSERT_TRUE(attached_.Unmount(mnt));
  r = Shell("e2fsck -fn " + disk);
  EXPECT_EQ(0, r.code) << r.output;

  ASSERT_EQ(0, Shell("mkfs.xfs -q -f " + disk).code);
  ASSERT_TRUE(attached_.Mount(disk, mnt)) << Shell("dmesg | tail -5").output;
  ASSERT_NO_FATAL_FAILURE(Fill(mnt, sums));
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Mount(disk, mnt));
  ExpectSums(mnt, sums);
  ASSERT_TRUE(attached_.Unmount(mnt));
  r = Shell("xfs_repair -n " + disk);
  EXPECT_EQ(0, r.code) << r.output;

  // Unmounted, the block device goes with the drive, and the export holds
  // the file system.
  r = velmoran()->Ctl("unmount X:");
  ASSERT_EQ(0, r.code) << r.output << velmoran()->Log();
  EXPECT_FALSE(fs::exists(disk));
  EXPECT_GT(MostAtOnce(4), 1) << velmoran()->Log();
  r = Shell("xfs_repair -n -f " + image);
  EXPECT_EQ(0, r.code) << r.output;
  const std::string local = attached_.Loop(image);
  ASSERT_FALSE(local.empty());
  ASSERT_TRUE(attached_.Mount(local, mnt));
  ExpectSums(mnt, sums);
}

TEST_F(UblkDiskTest, PartitionsVirtualWriteReadOnlyAndOpenersOnTheBlockDevice) {
  // A disk with one partition from 1 MiB, holding ext4 with one file.
  const std::string image = scratch_.File("parted.img");
  const std::string content = scratch_.File("content");
  fs::create_directories(content);
  ASSERT_EQ(0, Shell("echo served > " + content + "/served.txt && truncate -s 64M " + image +
                     " && printf 'start=2048, type=83\\n' | sfdisk -q " + image +
                     " && mkfs.ext4 -q -F -d " + content + " -E offset=1048576 " + image + " 63M")
                   .code);
  const std::string before = Sha1(image);
  const int port = stack_.Export(image, "virtual");
  CommandResult r = MountNet("VelmoranEx2", port, "--letter V");
  ASSERT_EQ(0, r.code) << r.output << velmoran()->Log();
  const std::string disk = BlockDeviceOf('V');
  const std::string partition = disk + "p1";
  ASSERT_TRUE(IsBlockDevice(partition)) << "no partition scanned on " << disk;
  EXPECT_EQ(63u << 20, SizeOf(partition));

  // Virtual write: the client reads its writes, the export stays as it was.
  const std::string mnt = scratch_.File("mnt");
  ASSERT_TRUE(attached_.Mount(partition, mnt));
  EXPECT_EQ("served\n", Shell("cat " + mnt + "/served.txt").output);
  ASSERT_EQ(0, Shell("echo mine > " + mnt + "/mine.txt").code);
  ASSERT_TRUE(attached_.Unmount(mnt));
  r = Shell("e2fsck -fn " + partition);
  EXPECT_EQ(0, r.code) << r.output;
  ASSERT_TRUE(attached_.Mount(partition, mnt));
  EXPECT_EQ("mine\n", Shell("cat " + mnt + "/mine.txt").output);
  ASSERT_TRUE(attached_.Unmount(mnt));

  // A program holding the disk open keeps the drive mounted.
  std::unique_ptr<Program> holder = HoldOpen(disk);
  ASSERT_TRUE(holder && holder->running());
  r = velmoran()->Ctl("unmount V:");
  EXPECT_NE(std::string::npos, r.output.find("status 0x80000011")) << r.output;
  EXPECT_NE(std::string::npos, velmoran()->Log().find("is open in process")) << velmoran()->Log();
  EXPECT_EQ("served\n", Shell("debugfs -R 'cat /served.txt' " + partition + " 2>/dev/null").output);
  holder->Kill();
  EXPECT_TRUE(testing::Eventually([&] { return velmoran()->Ctl("unmount V:").code == 0; },
                                  kPatience, kPoll))
      << velmoran()->Log();
  EXPECT_FALSE(fs::exists(disk));
  EXPECT_EQ(before, Sha1(image)) << "virtual write changed the export";

  // A read-only image: the kernel refuses writes, a read-only mount reads.
  r = velmoran()->Ctl("mount-image VelmoranEx3 " + image + " --read-only --letter R");
  ASSERT_EQ(0, r.code) << r.output;
  const std::string read_only = BlockDeviceOf('R');
  ASSERT_TRUE(IsBlockDevice(read_only + "p1"));
  EXPECT_EQ("1\n",
            Shell("cat /sys/block/" + fs::path(read_only).filename().string() + "/ro").output);
  EXPECT_NE(0, Shell("dd if=/dev/zero of=" + read_only + " bs=4k count=1 oflag=direct 2>&1").code);
  ASSERT_EQ(0, Shell("mkdir -p " + mnt + " && mount -o ro " + read_only + "p1 " + mnt).code);
  EXPECT_EQ("served\n", Shell("cat " + mnt + "/served.txt").output);
  ASSERT_EQ(0, Shell("umount " + mnt).code);
  EXPECT_EQ(0, velmoran()->Ctl("unmount R:").code);
  EXPECT_EQ(before, Sha1(image));
}

TEST_F(UblkDiskTest, AnImageFileTakesWritesAndFlushesThroughTheBlockDevice) {
  const std::string image = scratch_.File("local.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  CommandResult r = velmoran()->Ctl("mount-image VelmoranEx1 " + image + " --letter I");
  ASSERT_EQ(0, r.code) << r.output;
  const std::string disk = BlockDeviceOf('I');
  ASSERT_TRUE(IsBlockDevice(disk));
  ASSERT_EQ(0, Shell("head -c 1048576 /dev/urandom > " + scratch_.File("one")).code);
  // Written through the page cache, then flushed (fsync sends the flush,
  // which the driver makes an fdatasync of the image file).
  ASSERT_EQ(0, Shell("command -v strace").code) << "needs strace (scripts/install-deps)";
  SyncTrace trace(velmoran()->pid(), scratch_.File("syncs.txt"));
  ASSERT_TRUE(trace.attached());
  r = Shell("dd if=" + scratch_.File("one") + " of=" + disk +
            " bs=64k seek=16 conv=fsync status=none");
  ASSERT_EQ(0, r.code) << r.output;
  const std::vector<std::string> syncs = trace.Stop();
  ASSERT_FALSE(syncs.empty()) << "the flush never reached the image file";
  EXPECT_NE(std::string::npos, syncs[0].find("fdatasync(")) << syncs[0];
  EXPECT_EQ(0, Shell("blockdev --flushbufs " + disk).code);
  EXPECT_EQ(0, Shell("dd if=" + image + " bs=64k skip=16 count=16 status=none | cmp - " +
                     scratch_.File("one"))
                   .code)
      << "the image file lacks what was written and flushed";
  EXPECT_EQ(0,
            Shell("dd if=" + disk + " bs=64k skip=16 count=16 iflag=direct status=none | cmp - " +
                  scratch_.File("one"))
                .code);
  // The last sector, and none beyond it.
  EXPECT_EQ(
      0, Shell("dd if=/dev/zero of=" + disk + " bs=512 seek=32767 count=1 oflag=direct status=none")
             .code);
  EXPECT_NE(0, Shell("dd if=/dev/zero of=" + disk +
                     " bs=512 seek=32768 count=1 oflag=direct status=none 2>&1")
                   .code);
  EXPECT_EQ(0, velmoran()->Ctl("unmount I:").code);
}

// A flush of the block device is the device's sync: CMD_FLUSH for a
// full-access network disk, which the service answers with an fdatasync,
// and EIO on the block device when it fails (here: the server's machine
// restarted, played by a service that sees another boot id, while a write
// was not yet flushed). The driver's stop flushes what was written
// through the block device.
TEST_F(UblkDiskTest, AFlushOfTheBlockDeviceSyncsTheServerAndAFailedOneIsAnIoError) {
  ASSERT_EQ(0, Shell("command -v strace").code) << "needs strace (scripts/install-deps)";
  const std::string image = scratch_.File("durable.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx4", port, "--letter W").code) << velmoran()->Log();
  const std::string disk = BlockDeviceOf('W');
  ASSERT_TRUE(IsBlockDevice(disk)) << velmoran()->Log();
  const std::string data = scratch_.File("data.bin");
  ASSERT_EQ(0, Shell("head -c 131072 /dev/urandom > " + data).code);
  // dd of `data` onto the block device at 64 KiB block `seek`, past its
  // page cache, with an fsync at the end when `fsync`.
  auto write = [&](int seek, bool fsync) {
    return Shell("dd if=" + data + " of=" + disk + " bs=64k seek=" + std::to_string(seek) +
                 " oflag=direct conv=notrunc" + (fsync ? ",fsync" : "") + " status=none 2>&1");
  };
  auto image_holds = [&](int seek) {
    return Shell("dd if=" + image + " bs=64k skip=" + std::to_string(seek) +
                 " count=2 status=none | cmp - " + data)
               .code == 0;
  };

  SyncTrace unflushed(stack_.service()->pid(), scratch_.File("unflushed.txt"));
  ASSERT_TRUE(unflushed.attached());
  ASSERT_EQ(0, write(16, false).code);
  const std::vector<std::string> none = unflushed.Stop();
  EXPECT_TRUE(none.empty()) << none.front();
  SyncTrace flushed(stack_.service()->pid(), scratch_.File("flushed.txt"));
  ASSERT_TRUE(flushed.attached());
  CommandResult r = write(32, true);
  ASSERT_EQ(0, r.code) << r.output << velmoran()->Log();
  const std::vector<std::string> syncs = flushed.Stop();
  ASSERT_EQ(1u, syncs.size()) << "one fsync, one sync";
  EXPECT_NE(std::string::npos, syncs[0].find("fdatasync(")) << syncs[0];
  EXPECT_TRUE(image_holds(16));
  EXPECT_TRUE(image_holds(32));

  // Acknowledged, not flushed, then the server's machine "restarts".
  ASSERT_EQ(0, write(48, false).code);
  ASSERT_EQ(0, stack_.service()->Stop());
  ASSERT_NO_FATAL_FAILURE(stack_.StartServiceOnARestartedMachine());
  r = write(64, true);
  EXPECT_NE(0, r.code) << "a flush vouched for writes a machine restart may have lost";
  EXPECT_NE(std::string::npos, r.output.find("Input/output error")) << r.output;
  EXPECT_NE(std::string::npos, velmoran()->Log().find("Flush failed: writes acknowledged before"))
      << velmoran()->Log();
  // Once: the next flush succeeds.
  r = write(80, true);
  EXPECT_EQ(0, r.code) << r.output << velmoran()->Log();
  for (int seek : {48, 64, 80}) EXPECT_TRUE(image_holds(seek)) << seek;

  // Written through the block device, never flushed: the driver's stop
  // syncs it.
  ASSERT_EQ(0, write(96, false).code);
  SyncTrace stopping(stack_.service()->pid(), scratch_.File("stopping.txt"));
  ASSERT_TRUE(stopping.attached());
  EXPECT_EQ(0, velmoran()->Stop()) << velmoran()->Log();
  EXPECT_FALSE(fs::exists(disk));
  const std::vector<std::string> at_stop = stopping.Stop();
  EXPECT_FALSE(at_stop.empty()) << "the stop did not flush the device";
  EXPECT_TRUE(image_holds(96));
}

class UblkRestartTest : public UblkGuestTest {
 protected:
  void VerifyThroughRestarts(int connections);
};

// fio at queue depth 16 on the block device of a disk of `connections`
// connections: random writes of 4 to 64 KiB, held to a pace that lets two
// restarts of the service fall in the middle, then every block read back
// and checked by a second run, whose first reads wait for the service,
// stopped before it began and started once they are in flight (the reads
// are too fast to hit a restart by pace on a disk of several connections).
// The first MiB, where the service may stamp a master boot record, is left
// out.
void UblkRestartTest::VerifyThroughRestarts(int connections) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 64M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(
      0,
      MountNet("VelmoranEx0", port, "--letter F --connections " + std::to_string(connections)).code)
      << velmoran()->Log();
  const std::string disk = BlockDeviceOf('F');
  ASSERT_TRUE(IsBlockDevice(disk));
  EXPECT_NE(std::string::npos,
            velmoran()->Ctl("query F:").output.find("connections: " + std::to_string(connections)));
  EXPECT_EQ(connections, ServiceConnections(port));

  const std::vector<std::string> job = {"fio",
                                        "--name=restarts",
                                        "--filename=" + disk,
                                        "--offset=1M",
                                        "--size=16M",
                                        "--rw=randwrite",
                                        "--bsrange=4k-64k",
                                        "--direct=1",
                                        "--iodepth=16",
                                        "--ioengine=io_uring",
                                        "--rate=2m,2m",
                                        "--verify=crc32c",
                                        "--verify_fatal=1",
                                        "--verify_state_save=0"};
  auto run = [&](const std::string& phase, testing::ProgramResult* result,
                 std::atomic<bool>* finished) {
    std::vector<std::string> argv = job;
    argv.push_back(phase);
    *result = testing::RunProgram(argv, std::chrono::seconds(600));
    *finished = true;
  };
  // Two restarts while fio writes, each after 2 MiB more.
  std::atomic<bool> finished{false};
  testing::ProgramResult written;
  std::thread writer(run, "--do_verify=0", &written, &finished);
  int restarts = 0;
  bool service_up = true;
  for (; restarts < 2 && service_up; ++restarts) {
    const uint64_t before = DiskStat(disk, 7);
    if (!testing::Eventually([&] { return finished || DiskStat(disk, 7) >= before + (2 << 11); },
                             kPatience, kPoll))
      break;
    if (finished) break;
    EXPECT_EQ(0, stack_.service()->Stop()) << stack_.service()->Log();
    stack_.StartService();
    service_up = !HasFatalFailure();
  }
  writer.join();
  ASSERT_TRUE(service_up);
  EXPECT_EQ(2, restarts) << "fio ended before the second restart; nothing was tested";
  EXPECT_EQ(0, written.exit_code) << written.out << written.err << velmoran()->Log();
  EXPECT_NE(std::string::npos, written.out.find("err= 0")) << written.out;

  // The check, its first reads in flight while the service is away.
  ASSERT_EQ(0, stack_.service()->Stop()) << stack_.service()->Log();
  const std::string inflight = "/sys/block/" + fs::path(disk).filename().string() + "/inflight";
  auto reads_in_flight = [&] {
    std::ifstream in(inflight);
    uint64_t reads = 0;
    return (in >> reads) ? reads : 0;
  };
  finished = false;
  testing::ProgramResult verified;
  std::thread verifier(run, "--verify_only=1", &verified, &finished);
  const bool waited =
      testing::Eventually([&] { return finished || reads_in_flight() > 0; }, kPatience, kPoll) &&
      !finished;
  stack_.StartService();
  verifier.join();
  ASSERT_FALSE(HasFatalFailure()) << "the service did not start again";
  EXPECT_TRUE(waited) << "no read of the check waited for the service";
  EXPECT_EQ(0, verified.exit_code) << verified.out << verified.err << velmoran()->Log();
  EXPECT_EQ(std::string::npos, (verified.out + verified.err).find("verify:"))
      << verified.out << verified.err;
  EXPECT_NE(std::string::npos, verified.out.find("err= 0")) << verified.out;
  EXPECT_EQ(0, velmoran()->Ctl("unmount F:").code);
  // Sixteen in flight: a disk of several connections served them side by
  // side, one of one connection never more than one.
  const int most = MostAtOnce(connections);
  if (connections > 1) {
    EXPECT_GT(most, 1) << velmoran()->Log();
  } else {
    EXPECT_EQ(1, most) << velmoran()->Log();
  }
}

TEST_F(UblkRestartTest, FioVerifiesAtQueueDepth16ThroughRestartsOfTheServiceOnFourConnections) {
  VerifyThroughRestarts(4);
}

TEST_F(UblkRestartTest, FioVerifiesAtQueueDepth16ThroughRestartsOfTheServiceOnOneConnection) {
  VerifyThroughRestarts(1);
}

TEST_F(UblkRestartTest, ADriverThatDiedLeavesItsSuccessorNoBlockDeviceBehind) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 8M " + image).code);
  CommandResult r = velmoran()->Ctl("mount-image VelmoranEx0 " + image + " --letter D");
  ASSERT_EQ(0, r.code) << r.output;
  const std::string disk = BlockDeviceOf('D');
  ASSERT_TRUE(IsBlockDevice(disk));
  const std::string control = "/sys/class/ublk-char/ublkc" + disk.substr(strlen("/dev/ublkb"));
  velmoran()->Kill();
  // The ublk device stays, dead, until someone deletes it.
  EXPECT_TRUE(fs::exists(control));

  std::unique_ptr<VelmoranProcess> successor = VelmoranProcess::Start(velmoran()->runtime_dir());
  ASSERT_TRUE(successor && successor->running());
  EXPECT_FALSE(fs::exists(control)) << successor->Log();
  EXPECT_FALSE(fs::exists(disk));
  EXPECT_NE(std::string::npos,
            successor->Log().find("Removed 1 block devices of an earlier driver"))
      << successor->Log();
  // And it serves block devices of its own.
  r = successor->Ctl("mount-image VelmoranEx0 " + image + " --letter D");
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_TRUE(IsBlockDevice(FirstLine(successor->Ctl("block-device D:").output)));
  EXPECT_EQ(0, successor->Stop()) << successor->Log();
  EXPECT_EQ("", FaultsIn(successor->Log()));
}

#ifdef QUENSARIA_GUEST_MOUNTER

// The mounter's engine, as root: a FAT image served by quensaria, mounted by
// the engine's flow, lands at /media/velmoran/X straight from the block
// device's partition.
class UblkMounterTest : public UblkGuestTest {
 protected:
  void SetUp() override {
    UblkGuestTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    settings_ = std::make_unique<mounter::MounterSettings>(
        mounter::SettingsPaths{QString::fromStdString(scratch_.File("config")),
                               QString::fromStdString(scratch_.File("xdg")),
                               QString::fromStdString(scratch_.File("cache"))});
    manager_ = std::make_unique<mounter::MountManager>(
        *settings_, volumes_,
        mounter::DriveLinks{QString::fromStdString(velmoran()->runtime_dir()), {}});
  }
  void TearDown() override {
    ::umount2("/media/velmoran/Q", MNT_DETACH);
    UblkGuestTest::TearDown();
  }

  std::unique_ptr<mounter::MounterSettings> settings_;
  mounter::RootVolumes volumes_;
  std::unique_ptr<mounter::MountManager> manager_;
};

TEST_F(UblkMounterTest, AFatPartitionIsMountedFromTheBlockDeviceWithoutALoop) {
  const std::string image = scratch_.File("fat.img");
  ASSERT_EQ(0, Shell(std::string(LUDRANE_MKIMAGE) + " " + image + " 64 FAT").code);
  ASSERT_EQ(0, Shell("echo hello > " + scratch_.File("HELLO.TXT") + " && mcopy -i " + image +
                     "@@32256 " + scratch_.File("HELLO.TXT") + " ::/HELLO.TXT")
                   .code);
  const int port = stack_.Export(image, "full");
  settings_->WritePassword(htonl(0x7F000001), htons(static_cast<uint16_t>(port)),
                           PasswordDigest(""));
  mounter::RecordingPrompts prompts;
  mounter::AddDeviceAnswer answer;
  answer.type = 0;
  answer.ipAddress = 0x7F000001;
  answer.port = static_cast<uint32_t>(port);
  answer.driveLetter = 'Q';
  prompts.adds = {answer};
  ASSERT_EQ(0, manager_->AddAndMount(prompts, mounter::FlowOrigin::kToolbar))
      << prompts.status.toStdString() << velmoran()->Log();

  const std::string disk = BlockDeviceOf('Q');
  ASSERT_TRUE(IsBlockDevice(disk + "p1"));
  const std::string mounts = Shell("cat /proc/mounts").output;
  EXPECT_NE(std::string::npos, mounts.find(disk + "p1 /media/velmoran/Q vfat")) << mounts;
  EXPECT_TRUE(platform::LoopDevicesBackedBy(velmoran()->DevicePath("VelmoranEx0")).empty());
  const std::vector<mounter::MountedDrive> rows = manager_->ListDrives();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].mountPoint, "/media/velmoran/Q");
  EXPECT_EQ("hello\n", Shell("cat /media/velmoran/Q/HELLO.TXT").output);
  ASSERT_EQ(0, Shell("echo mine > /media/velmoran/Q/MINE.TXT").code);

  // A program with the disk open: the driver refuses, and the drive gets
  // its file system back.
  std::unique_ptr<Program> holder = HoldOpen(disk);
  ASSERT_TRUE(holder && holder->running());
  EXPECT_EQ(ERROR_BUSY, manager_->UnmountDrive('Q').code());
  EXPECT_EQ("hello\n", Shell("cat /media/velmoran/Q/HELLO.TXT").output);
  holder->Kill();
  EXPECT_TRUE(
      testing::Eventually([&] { return manager_->UnmountDrive('Q').ok(); }, kPatience, kPoll))
      << velmoran()->Log();
  EXPECT_FALSE(fs::exists(disk));
  EXPECT_TRUE(manager_->ListDrives().empty());
  // What the drive wrote is in the export, and its FAT is sound.
  EXPECT_EQ("mine\n", Shell("mtype -i " + image + "@@32256 ::/MINE.TXT").output);
  const CommandResult check =
      Shell("dd if=" + image + " of=" + scratch_.File("part.img") +
            " bs=512 skip=63 status=none && fsck.vfat -n " + scratch_.File("part.img") + " 2>&1");
  EXPECT_EQ(0, check.code) << check.output;
}

#endif  // QUENSARIA_GUEST_MOUNTER

}  // namespace
}  // namespace quensaria::harness
