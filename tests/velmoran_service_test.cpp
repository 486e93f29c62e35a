// The driver against the real service: quensaria --console set up with
// ludrane-cli as an administrator would, velmoran mounting its exports, and
// ext4 through loop devices, on 127.0.0.1 at ports picked at run time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventually_for_testing.h"
#include "tests/program_for_testing.h"
#include "tests/service_and_driver_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;

using testing::FirstLine;

// The names in the current directory, sorted.
std::vector<std::string> CurrentDirectoryNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::current_path(), error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class VelmoranServiceTest : public ServiceAndDriverTest {
 protected:
  std::vector<std::string> before_;  // the current directory's names at the start

  void SetUp() override {
    before_ = CurrentDirectoryNames();
    ServiceAndDriverTest::SetUp();
  }
  // What the programs leave belongs in the scratch folder, not in the
  // folder the tests run in (the build tree).
  void TearDown() override {
    ServiceAndDriverTest::TearDown();
    std::vector<std::string> added;
    for (const std::string& name : CurrentDirectoryNames()) {
      if (!std::binary_search(before_.begin(), before_.end(), name)) added.push_back(name);
    }
    EXPECT_TRUE(added.empty()) << "left in " << fs::current_path() << ": "
                               << ::testing::PrintToString(added);
  }

  CommandResult MountNet(const std::string& device, int port, const std::string& more = "") {
    return stack_.velmoran()->Ctl("mount-net " + device + " 127.0.0.1 " + std::to_string(port) +
                                  " " + more);
  }
  std::string Sha1(const std::string& file) { return FirstLine(Shell("sha1sum < " + file).output); }
  // Writes 64 KiB of random bytes (scratch file "one") at 64 KiB of
  // `device`, restarts the service and writes another 64 KiB ("two") at
  // 128 KiB: the second write must get through.
  void WriteAcrossARestartOfTheService(const std::string& device) {
    ASSERT_EQ(0, Shell("head -c 65536 /dev/urandom > " + scratch_.File("one")).code);
    ASSERT_EQ(0, Shell("head -c 65536 /dev/urandom > " + scratch_.File("two")).code);
    ASSERT_EQ(0, Shell("dd if=" + scratch_.File("one") + " of=" + device +
                       " bs=64k seek=1 conv=notrunc,fsync status=none")
                     .code);
    ASSERT_EQ(0, stack_.service()->Stop());
    ASSERT_NO_FATAL_FAILURE(stack_.StartService());
    const CommandResult write = Shell("dd if=" + scratch_.File("two") + " of=" + device +
                                      " bs=64k seek=2 conv=notrunc,fsync status=none");
    EXPECT_EQ(0, write.code) << write.output << stack_.velmoran()->Log();
  }
};

TEST_F(VelmoranServiceTest, FullAccessWritesReachTheExportedImage) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 64M " + image).code);
  const int port = stack_.Export(image, "full");
  CommandResult r = MountNet("VelmoranEx0", port, "--letter F");
  ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();
  r = stack_.velmoran()->Ctl("query F:");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(
      "status 0x00000000 (Win32 0)\n"
      "disk size: 67108864\n"
      "read-only: 0\n"
      "virtual write: 0\n"
      "source type: 1\n"
      "server: 127.0.0.1:" +
          std::to_string(port) +
          "\n"
          "tls: 0\n"
          "connections: 4\n"
          "drive letter: F\n"
          "source name: \n",
      r.output);

  const std::string loop = attached_.Loop(stack_.velmoran()->LinkPath('F'));
  ASSERT_FALSE(loop.empty());
  ASSERT_EQ(0, Shell("mkfs.ext4 -q -F " + loop).code);
  const std::string mnt = scratch_.File("mnt");
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  ASSERT_EQ(0, Shell("echo 'over the wire' > " + mnt +
                     "/note.txt && "
                     "head -c 5000000 /dev/urandom > " +
                     mnt +
                     "/data.bin && "
                     "sha1sum < " +
                     mnt + "/data.bin > " + scratch_.File("data.sha1"))
                   .code);
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Detach(loop));
  ASSERT_EQ(0, stack_.velmoran()->Ctl("unmount F:").code);

  const CommandResult fsck = Shell("e2fsck -fn " + image);
  EXPECT_EQ(0, fsck.code) << fsck.output;
  EXPECT_NE(std::string::npos,
            Shell("debugfs -R 'cat /note.txt' " + image).output.find("over the wire"));
  EXPECT_EQ(0, Shell("debugfs -R 'cat /data.bin' " + image + " 2>/dev/null | sha1sum | cmp - " +
                     scratch_.File("data.sha1"))
                   .code);
}

TEST_F(VelmoranServiceTest, VirtualWriteKeepsTheExportByteForByte) {
  const std::string image = scratch_.File("export.img");
  fs::create_directories(scratch_.File("content"));
  ASSERT_EQ(0, Shell("echo 'served' > " + scratch_.File("content/served.txt")).code);
  ASSERT_EQ(0, Shell("mkfs.ext4 -q -F -d " + scratch_.File("content") + " " + image + " 32M").code);
  const std::string before = Sha1(image);
  const int port = stack_.Export(image, "virtual");
  fs::create_directories(scratch_.File("cache"));
  const std::string options = "--letter W --cache-dir " + scratch_.File("cache");
  CommandResult r = MountNet("VelmoranEx3", port, options);
  ASSERT_EQ(0, r.code) << r.output;
  EXPECT_NE(std::string::npos, stack_.velmoran()->Ctl("query W:").output.find("virtual write: 1"));

  std::string loop = attached_.Loop(stack_.velmoran()->DevicePath("VelmoranEx3"));
  const std::string mnt = scratch_.File("mnt");
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_EQ("served\n", Shell("cat " + mnt + "/served.txt").output);
  ASSERT_EQ(0, Shell("echo 'mine' > " + mnt + "/mine.txt && rm " + mnt + "/served.txt").code);
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_EQ("mine\n", Shell("cat " + mnt + "/mine.txt").output) << "the client reads its writes";
  EXPECT_FALSE(fs::exists(mnt + "/served.txt"));
  ASSERT_TRUE(attached_.Unmount(mnt));
  ASSERT_TRUE(attached_.Detach(loop));
  ASSERT_EQ(0, stack_.velmoran()->Ctl("unmount W:").code);
  EXPECT_EQ(before, Sha1(image)) << "the exported image changed";

  ASSERT_EQ(0, MountNet("VelmoranEx3", port, options).code);
  loop = attached_.Loop(stack_.velmoran()->DevicePath("VelmoranEx3"));
  ASSERT_TRUE(attached_.Mount(loop, mnt));
  EXPECT_EQ("served\n", Shell("cat " + mnt + "/served.txt").output);
  EXPECT_FALSE(fs::exists(mnt + "/mine.txt"));
}

// Connections the service has open on `port` (its side), as ss sees them.
int ServiceConnections(int port) {
  const CommandResult r =
      Shell("ss -Htn state established '( sport = :" + std::to_string(port) + " )' | wc -l");
  return r.code == 0 ? std::stoi(r.output) : -1;
}

// A disk of four connections: the service sees four log-ons, fio at queue
// depth 16 through the loop device writes and verifies every block while one
// connection is cut (no request fails, it is opened again), the driver
// served several requests at once, and the export holds what was written.
TEST_F(VelmoranServiceTest, FourConnectionsCarryParallelIoThatVerifies) {
  if (Shell("command -v fio").code != 0) GTEST_SKIP() << "fio is missing";
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 64M " + image).code);
  const int port = stack_.Export(image, "full");
  CommandResult r = MountNet("VelmoranEx0", port, "--letter C --connections 4");
  ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();
  EXPECT_NE(std::string::npos, stack_.velmoran()->Ctl("query C:").output.find("connections: 4"));
  EXPECT_EQ(4, ServiceConnections(port));
  // Direct I/O, as the driver's own loop devices: requests reach the device
  // side by side rather than one at a time from the loop worker.
  const std::string loop =
      attached_.Loop(stack_.velmoran()->DevicePath("VelmoranEx0"), "--direct-io=on");
  ASSERT_FALSE(loop.empty());
  const std::string fio = "fio --name=multi --filename=" + loop +
                          " --direct=1 --ioengine=libaio --iodepth=16 --bs=4k --size=48M"
                          " --verify=crc32c --do_verify=1 --verify_state_save=0 --rw=";
  std::atomic<bool> cut{false};
  std::thread cutter([&] {
    // While fio writes: one client connection cut with a reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string one =
        FirstLine(Shell("ss -Htn state established '( dport = :" + std::to_string(port) +
                        " )' | awk '{print $3}' | sed 's/.*://' | head -1")
                      .output);
    cut = !one.empty() && Shell("ss -K state established '( dport = :" + std::to_string(port) +
                                " and sport = :" + one + " )'")
                                  .code == 0;
  });
  r = Shell(fio + "randwrite");
  cutter.join();
  EXPECT_EQ(0, r.code) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("err= 0")) << r.output;
  EXPECT_TRUE(cut);
  r = Shell(fio + "randread --verify_only=1");
  EXPECT_EQ(0, r.code) << r.output;
  // The cut one came back with the requests after it.
  EXPECT_EQ(4, ServiceConnections(port));
  const std::string seen = Sha1(loop);
  ASSERT_TRUE(attached_.Detach(loop));
  ASSERT_EQ(0, stack_.velmoran()->Ctl("unmount C:").code);
  EXPECT_EQ(seen, Sha1(image)) << "the export differs from what the disk read";
  const std::string log = stack_.velmoran()->Log();
  const size_t at = log.find("Disk of 4 connections: at most ");
  ASSERT_NE(std::string::npos, at) << log;
  EXPECT_GT(std::stoi(log.substr(at + 31)), 1) << log.substr(at, 60);
}

TEST_F(VelmoranServiceTest, AWrongPasswordIsRefused) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 8M " + image).code);
  const int port = stack_.Export(image, "full", "--password opensesame");
  CommandResult r = MountNet("VelmoranEx0", port, "--letter X --password wrong");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.output.find("status 0xC000006A (Win32 86)")) << r.output;
  EXPECT_FALSE(fs::exists(fs::symlink_status(stack_.velmoran()->LinkPath('X'))));
  r = MountNet("VelmoranEx0", port, "--letter X --password opensesame");
  EXPECT_EQ(0, r.code) << r.output;
}

TEST_F(VelmoranServiceTest, IoContinuesAcrossARestartOfTheService) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx0", port).code);
  const std::string device = stack_.velmoran()->DevicePath("VelmoranEx0");
  // The export was started when the service stopped, so it comes back.
  ASSERT_NO_FATAL_FAILURE(WriteAcrossARestartOfTheService(device));
  EXPECT_EQ(0, Shell("dd if=" + device + " bs=64k skip=1 count=1 status=none | cmp - " +
                     scratch_.File("one"))
                   .code);
  EXPECT_EQ(0, Shell("dd if=" + image + " bs=64k skip=2 count=1 status=none | cmp - " +
                     scratch_.File("two"))
                   .code);
}

TEST_F(VelmoranServiceTest, ATlsExportIsMountedByTheHandshakeAndRidesOutARestartOfTheService) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  const int port = stack_.Export(image, "virtual", "--tls --password pupil --manage-password boss");
  // A plain mount is refused at once, saying why.
  CommandResult r = MountNet("VelmoranEx0", port, "--password pupil");
  EXPECT_NE(0, r.code);
  EXPECT_NE(std::string::npos, r.output.find("The export uses TLS")) << r.output;
  // The management password over TLS gives full access on every connection.
  r = MountNet("VelmoranEx0", port, "--tls --password boss");
  ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();
  r = stack_.velmoran()->Ctl("query VelmoranEx0");
  EXPECT_NE(std::string::npos, r.output.find("tls: 1")) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("virtual write: 0")) << r.output;
  const std::string device = stack_.velmoran()->DevicePath("VelmoranEx0");
  ASSERT_NO_FATAL_FAILURE(WriteAcrossARestartOfTheService(device));
  ASSERT_EQ(0, Shell("cat " + scratch_.File("one") + " " + scratch_.File("two") + " > " +
                     scratch_.File("both"))
                   .code);
  EXPECT_EQ(0, Shell("dd if=" + image + " bs=64k skip=1 count=2 status=none | cmp - " +
                     scratch_.File("both"))
                   .code);
  EXPECT_EQ(0, stack_.velmoran()->Ctl("unmount VelmoranEx0").code);
  // The log-on password gives the export's own level, virtual write.
  r = MountNet("VelmoranEx0", port, "--tls --password pupil");
  ASSERT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();
  r = stack_.velmoran()->Ctl("query VelmoranEx0");
  EXPECT_NE(std::string::npos, r.output.find("virtual write: 1")) << r.output;
  EXPECT_EQ(0, stack_.velmoran()->Ctl("unmount VelmoranEx0").code);
  // A wrong password fails the handshake: the wrong-password status.
  r = MountNet("VelmoranEx0", port, "--tls --password nobody");
  EXPECT_NE(0, r.code);
  EXPECT_NE(std::string::npos, r.output.find("0xC000006A")) << r.output;
}

// Sectors written to `loop` so far (/sys/block/loopN/stat, field 7).
uint64_t SectorsWritten(const std::string& loop) {
  const std::string stat =
      Shell("cat /sys/block/" + fs::path(loop).filename().string() + "/stat").output;
  std::istringstream fields(stat);
  uint64_t value = 0;
  for (int i = 0; i < 7 && (fields >> value); ++i) {
  }
  return value;
}

// How long and how often a test looks for what the programs do: a bound
// against hangs only.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(20);

TEST_F(VelmoranServiceTest, FioVerifiesEveryBlockAcrossThreeRestartsOfTheService) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 128M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx0", port).code);
  const std::string loop = attached_.Loop(stack_.velmoran()->DevicePath("VelmoranEx0"));
  ASSERT_FALSE(loop.empty());

  // Random writes of 4 to 64 KiB, held to a pace that lets the restarts
  // fall in the middle, then every block read back and checked. The first
  // MiB, where the service may stamp a master boot record, is left out.
  std::atomic<bool> finished{false};
  CommandResult fio;
  std::thread writer([&] {
    fio =
        Shell("fio --name=restarts --filename=" + loop +
              " --offset=1M --rw=randwrite --bsrange=4k-64k --size=96M --direct=1 --ioengine=psync"
              " --rate=,4m --verify=crc32c --verify_fatal=1 --do_verify=1 --aux-path=" +
              scratch_.path().string() + " 2>&1");
    finished = true;
  });
  int restarts = 0;
  for (; restarts < 3; ++restarts) {
    // Restart only once fio has written more since the last one.
    const uint64_t before = SectorsWritten(loop);
    if (!testing::Eventually([&] { return finished || SectorsWritten(loop) >= before + 2048; },
                             kPatience, kPoll))
      break;
    if (finished) break;
    ASSERT_EQ(0, stack_.service()->Stop()) << stack_.service()->Log();
    ASSERT_NO_FATAL_FAILURE(stack_.StartService());
  }
  writer.join();
  EXPECT_EQ(3, restarts) << "fio ended before the third restart; nothing was tested";
  EXPECT_EQ(0, fio.code) << fio.output << stack_.velmoran()->Log();
  EXPECT_EQ(std::string::npos, fio.output.find("verify")) << fio.output;
  EXPECT_NE(std::string::npos, fio.output.find("err= 0")) << fio.output;
}

}  // namespace
}  // namespace quensaria::harness
