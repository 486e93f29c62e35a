// Durable writes through the real quensaria and velmoran: what a client's
// fsync leaves on the server's disk when the server loses its power right
// after, that the service syncs only when a client asks, and what a client
// is told when the server's machine restarted or its disk is full.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/service_and_driver_for_testing.h"
#include "tests/sync_trace_for_testing.h"
#include "tests/velmoran_harness_for_testing.h"

namespace quensaria::harness {
namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DurabilityTest : public ServiceAndDriverTest {
 protected:
  void SetUp() override {
    if (Shell("command -v strace").code != 0) GTEST_SKIP() << "needs strace";
    ServiceAndDriverTest::SetUp();
  }

  CommandResult MountNet(const std::string& device, int port) {
    return stack_.velmoran()->Ctl("mount-net " + device + " 127.0.0.1 " + std::to_string(port));
  }
  // A fresh ext4 of `size` on a buffered loop device over a file of its
  // own, mounted at scratch/`name`; the file's path in *backing.
  std::string MakeFileSystem(const std::string& name, const std::string& size,
                             std::string* backing) {
    *backing = scratch_.File(name + ".raw");
    EXPECT_EQ(0, Shell("truncate -s " + size + " " + *backing).code);
    const std::string loop = attached_.Loop(*backing);
    EXPECT_FALSE(loop.empty());
    EXPECT_EQ(0, Shell("mkfs.ext4 -q -F " + loop).code);
    const std::string dir = scratch_.File(name);
    EXPECT_TRUE(attached_.Mount(loop, dir));
    return dir;
  }
  std::string RandomFile(const std::string& name, const std::string& size) {
    const std::string path = scratch_.File(name);
    EXPECT_EQ(0, Shell("head -c " + size + " /dev/urandom > " + path).code);
    return path;
  }
  // dd of `source` onto the device file at 64 KiB block `seek`, with an
  // fsync at the end when `fsync`.
  CommandResult WriteDevice(const std::string& device, const std::string& source, int seek,
                            bool fsync) {
    return Shell("dd if=" + source + " of=" + device + " bs=64k seek=" + std::to_string(seek) +
                 " oflag=direct conv=notrunc" + (fsync ? ",fsync" : "") + " status=none");
  }
  bool ImageHolds(const std::string& image, const std::string& source, int seek) {
    return Shell("dd if=" + image + " bs=64k skip=" + std::to_string(seek) + " count=" +
                 std::to_string(fs::file_size(source) / 65536) + " status=none | cmp - " + source)
               .code == 0;
  }
};

// The exported image lives on an ext4 of the server's own; the raw file
// under that ext4 is its disk, and a copy of it taken right after the
// client's fsync is what a power cut would leave. The client's file must be
// in it. Before the service synced, that copy held an empty file system.
TEST_F(DurabilityTest, AnFsyncedFileSurvivesAPowerCutOfTheServer) {
  std::string backing;
  const std::string server_fs = MakeFileSystem("server-fs", "160M", &backing);
  const std::string image = server_fs + "/export.img";
  ASSERT_EQ(0, Shell("truncate -s 64M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx0", port).code);
  const std::string client_loop = attached_.Loop(stack_.velmoran()->DevicePath("VelmoranEx0"));
  ASSERT_FALSE(client_loop.empty());
  ASSERT_EQ(0, Shell("mkfs.ext4 -q -F " + client_loop).code);
  const std::string client_fs = scratch_.File("client-fs");
  ASSERT_TRUE(attached_.Mount(client_loop, client_fs));
  const std::string data = RandomFile("data.bin", "8M");

  SyncTrace trace(stack_.service()->pid(), scratch_.File("syncs.txt"));
  ASSERT_TRUE(trace.attached());
  const CommandResult dd =
      Shell("dd if=" + data + " of=" + client_fs + "/file.bin bs=1M conv=fsync status=none");
  ASSERT_EQ(0, dd.code) << dd.output << stack_.velmoran()->Log();
  // The power cut: what the server's disk holds now.
  const std::string copy = scratch_.File("after-power-cut.raw");
  ASSERT_EQ(0, Shell("cp --sparse=always " + backing + " " + copy).code);
  const std::vector<std::string> syncs = trace.Stop();
  EXPECT_FALSE(syncs.empty()) << "the service never synced";

  // Mounting replays the journals: the server's, then the client's.
  const std::string copy_loop = attached_.Loop(copy);
  ASSERT_FALSE(copy_loop.empty());
  const std::string copy_fs = scratch_.File("copy-fs");
  ASSERT_TRUE(attached_.Mount(copy_loop, copy_fs));
  const std::string inner_loop = attached_.Loop(copy_fs + "/export.img");
  ASSERT_FALSE(inner_loop.empty());
  const std::string inner_fs = scratch_.File("copy-client-fs");
  ASSERT_TRUE(attached_.Mount(inner_loop, inner_fs)) << Shell("dmesg | tail -5").output;
  const CommandResult same = Shell("cmp " + data + " " + inner_fs + "/file.bin");
  EXPECT_EQ(0, same.code) << same.output << Shell("ls -la " + inner_fs).output;
}

// Durability costs only those who ask for it.
TEST_F(DurabilityTest, TheServiceSyncsOnlyWhenAClientFlushes) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx1", port).code);
  const std::string device = stack_.velmoran()->DevicePath("VelmoranEx1");
  const std::string data = RandomFile("data.bin", "4M");

  SyncTrace unflushed(stack_.service()->pid(), scratch_.File("unflushed.txt"));
  ASSERT_TRUE(unflushed.attached());
  ASSERT_EQ(0, WriteDevice(device, data, 16, false).code);
  EXPECT_TRUE(ImageHolds(image, data, 16));
  const std::vector<std::string> none = unflushed.Stop();
  EXPECT_TRUE(none.empty()) << none.front();

  SyncTrace flushed(stack_.service()->pid(), scratch_.File("flushed.txt"));
  ASSERT_TRUE(flushed.attached());
  ASSERT_EQ(0, WriteDevice(device, data, 128, true).code);
  const std::vector<std::string> syncs = flushed.Stop();
  ASSERT_EQ(1u, syncs.size()) << "one fsync, one sync";
  EXPECT_EQ(0u, syncs[0].find_first_of("0123456789")) << syncs[0];  // "PID fdatasync(..."
  EXPECT_NE(std::string::npos, syncs[0].find("fdatasync(")) << syncs[0];
  EXPECT_TRUE(ImageHolds(image, data, 128));
}

// A restart of the service loses nothing: fsync goes on working. A restart
// of the server's machine (played by a service that sees another boot id)
// may have lost what was written and not yet flushed: the next fsync fails,
// once.
TEST_F(DurabilityTest, FsyncWorksAcrossAServiceRestartAndFailsOnceAfterAMachineRestart) {
  const std::string image = scratch_.File("export.img");
  ASSERT_EQ(0, Shell("truncate -s 16M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx0", port).code);
  const std::string device = stack_.velmoran()->DevicePath("VelmoranEx0");
  const std::string data = RandomFile("data.bin", "128k");

  ASSERT_EQ(0, WriteDevice(device, data, 1, true).code);
  ASSERT_EQ(0, WriteDevice(device, data, 3, false).code);  // acknowledged, not flushed
  ASSERT_EQ(0, stack_.service()->Stop());
  ASSERT_NO_FATAL_FAILURE(stack_.StartService());
  CommandResult r = WriteDevice(device, data, 5, true);
  EXPECT_EQ(0, r.code) << r.output << stack_.velmoran()->Log();

  ASSERT_EQ(0, WriteDevice(device, data, 7, false).code);
  ASSERT_EQ(0, stack_.service()->Stop());
  ASSERT_NO_FATAL_FAILURE(stack_.StartServiceOnARestartedMachine());
  r = WriteDevice(device, data, 9, true);
  EXPECT_NE(0, r.code) << "an fsync vouched for writes a machine restart may have lost";
  EXPECT_NE(std::string::npos, r.output.find("Input/output error")) << r.output;
  const std::string log = stack_.velmoran()->Log();
  EXPECT_EQ(1u, Count(log, "Server machine restarted (boot 0BADB007, was ")) << log;
  EXPECT_EQ(1u, Count(log, "Flush failed: writes acknowledged before"));
  // Said once: later writes are flushed as usual.
  r = WriteDevice(device, data, 11, true);
  EXPECT_EQ(0, r.code) << r.output;
  for (int seek : {1, 3, 5, 7, 9, 11}) EXPECT_TRUE(ImageHolds(image, data, seek)) << seek;
}

// The source's file system fills up: the client's writes fail (EIO) and
// the console says why, at most once a second.
TEST_F(DurabilityTest, ADiskFullUnderTheSourceIsAnIoErrorAndSaidOnceASecond) {
  std::string backing;
  const std::string small = MakeFileSystem("small-fs", "8M", &backing);
  const std::string image = small + "/export.img";
  ASSERT_EQ(0, Shell("truncate -s 64M " + image).code);
  const int port = stack_.Export(image, "full");
  ASSERT_EQ(0, MountNet("VelmoranEx2", port).code);
  const std::string device = stack_.velmoran()->DevicePath("VelmoranEx2");
  const std::string data = RandomFile("data.bin", "1M");

  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  std::string output;
  for (int i = 0; i < 24; ++i) {
    const CommandResult r = WriteDevice(device, data, 16 * i, true);
    if (r.code != 0) {
      ++failed;
      output = r.output;
    }
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(failed, 10) << "24 MiB fitted on 8 MiB";
  EXPECT_NE(std::string::npos, output.find("Input/output error")) << output;
  const std::string log = stack_.service()->Log();
  const size_t lines = Count(log, "write file error 70 No space left on device (export " +
                                      std::to_string(port) + ", offset ");
  EXPECT_GE(lines, 1u) << log;
  EXPECT_LE(lines, static_cast<size_t>(seconds.count()) + 1) << log;
}

}  // namespace
}  // namespace quensaria::harness
