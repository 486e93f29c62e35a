// Exports of Ceph RBD images by the real quensaria, against a one-node
// cluster (tests/ceph_cluster_for_testing.sh): log-on, query, reads and
// writes checked byte by byte against what librbd sees, snapshots and
// read-only exports refused for writes, one writable export per image (the
// second refused, naming the holder, also after the holder crashed), several
// services on one image read-only, start failures that say why, and a
// cluster that stops answering said on the console.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "configurator/client/management_client.h"
#include "platform/eventually_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/source/rbd_io.h"
#include "shared/password_digest.h"
#include "shared/win32_error.h"
#include "tests/block_client_for_testing.h"
#include "tests/ceph_cluster_for_testing.h"
#include "tests/program_for_testing.h"
#include "tests/rbd_service_for_testing.h"

namespace quensaria {
namespace {

using namespace std::chrono_literals;
using configurator::Handle;
using configurator::ManagementClient;
using testing::BlockClient;
using testing::CephCluster;
using testing::Program;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kImageSize = 16 * kMiB;

// The bytes the tests put in an image at `offset`.
std::vector<uint8_t> Pattern(uint64_t offset, size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) {
    const uint64_t at = offset + i;
    bytes[i] = static_cast<uint8_t>((at * 13 + at / 4096 + seed) & 0xFF);
  }
  return bytes;
}

// An image name of this test case's own, so cases may share the cluster.
std::string ImageName(const std::string& what) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(test->name()) + "-" + what + "-" + std::to_string(getpid());
}

using Service = testing::RbdService;

class RbdSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    cluster_ = CephCluster::Get(why);
    if (cluster_ == nullptr) GTEST_SKIP() << why;
  }

  std::unique_ptr<Service> StartService(const std::string& name) {
    auto service = std::make_unique<Service>(dir_ + "/" + name, cluster_->conf());
    EXPECT_TRUE(service->up()) << service->Log();
    return service;
  }
  // An image of kImageSize holding Pattern(.., seed) in its first 8 MiB.
  std::string MakeImage(const std::string& what, uint8_t seed) {
    const std::string image = ImageName(what);
    EXPECT_TRUE(cluster_->CreateImage(image, kImageSize));
    EXPECT_TRUE(cluster_->WriteImage(image, 0, Pattern(0, 8 * kMiB, seed)));
    return image;
  }

  CephCluster* cluster_ = nullptr;
  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
};

// Whether every thread of `pid` has stopped. A SIGSTOP is only sent when
// kill() returns: the stop begins once one of the threads runs, and on a
// busy machine the others may answer a request or two before that.
bool Stopped(pid_t pid) {
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  bool any = false;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] != 'T') return false;
    any = true;
  }
  return any;
}

// Stops the OSD and waits until it is still.
void StopOsd(pid_t osd) {
  ASSERT_GT(osd, 0);
  ASSERT_EQ(kill(osd, SIGSTOP), 0);
  ASSERT_TRUE(testing::Eventually([&] { return Stopped(osd); }, 10s)) << "OSD " << osd;
}

// Logs on with `password`, queries and checks the size; returns the level.
uint8_t LogOn(BlockClient& block, uint16_t port, const std::string& password) {
  EXPECT_EQ(block.Connect(port), 0);
  EXPECT_EQ(block.Login(password).reply.status, REPLY_OK);
  QueryData query;
  EXPECT_EQ(block.Query(query).error, 0);
  EXPECT_EQ(query.disk_size, kImageSize);
  return query.access;
}

void ExpectReads(BlockClient& block, uint64_t offset, const std::vector<uint8_t>& expected) {
  std::vector<uint8_t> data;
  const testing::Exchange read = block.Read(offset, static_cast<uint32_t>(expected.size()), data);
  ASSERT_EQ(read.error, 0);
  ASSERT_EQ(read.reply.status, REPLY_OK) << "read at " << offset;
  ASSERT_EQ(data.size(), expected.size());
  for (size_t i = 0; i < data.size(); ++i) {
    ASSERT_EQ(data[i], expected[i]) << "byte " << offset + i;
  }
}

// RbdIo itself, as the engine uses it: every no-wait attempt says "would
// wait", writes and the flush reach the image (another client reads them
// at once), a read-only open refuses writes without asking the cluster.
TEST_F(RbdSourceTest, RbdIoReadsWritesAndFlushes) {
  const std::string image = MakeImage("io", 11);
  source::CephSettings settings;
  settings.conf_file = cluster_->conf();
  Result<std::unique_ptr<source::RbdIo>> io =
      source::RbdIo::Open(RbdName{"rbd", image, "", false}, settings, source::ExporterText(1));
  ASSERT_TRUE(io.ok()) << io.status().message();
  source::RbdIo& rbd = *io.value();
  EXPECT_EQ(rbd.size(), kImageSize);
  EXPECT_FALSE(rbd.read_only());
  std::vector<uint8_t> data(65536);
  EXPECT_TRUE(rbd.TryRead(0, data.data(), data.size()).would_block);
  EXPECT_TRUE(rbd.TryWrite(0, data.data(), data.size()).would_block);
  EXPECT_TRUE(rbd.NoWaitReads()) << "so that reads that wait go through the read cache";

  const source::IoResult read = rbd.Read(4 * kMiB - 100, data.data(), data.size());
  EXPECT_EQ(read.error, 0u);
  EXPECT_EQ(read.bytes, data.size());
  EXPECT_TRUE(data == Pattern(4 * kMiB - 100, 65536, 11));
  const source::IoResult cached = rbd.CacheRead(0, data.data(), data.size());
  EXPECT_EQ(cached.bytes, data.size());
  EXPECT_TRUE(data == Pattern(0, 65536, 11));

  const std::vector<uint8_t> bytes = Pattern(9 * kMiB, 65536, 12);
  const source::IoResult written = rbd.Write(9 * kMiB, bytes.data(), bytes.size());
  EXPECT_EQ(written.error, 0u);
  EXPECT_EQ(written.bytes, bytes.size());
  EXPECT_EQ(rbd.Flush(), 0u);
  std::vector<uint8_t> seen;
  ASSERT_TRUE(cluster_->ReadImage(image, 9 * kMiB, 65536, seen));
  EXPECT_TRUE(seen == bytes);

  Result<std::unique_ptr<source::RbdIo>> reader =
      source::RbdIo::Open(RbdName{"rbd", image, "", true}, settings, source::ExporterText(2));
  ASSERT_TRUE(reader.ok()) << reader.status().message() << " (a reader takes no lock)";
  EXPECT_TRUE((*reader)->read_only());
  EXPECT_EQ((*reader)->Write(0, bytes.data(), 4096).error, ERROR_WRITE_PROTECT);
  EXPECT_EQ((*reader)->Flush(), 0u);
  ASSERT_TRUE(cluster_->ReadImage(image, 0, 4096, seen));
  EXPECT_TRUE(seen == Pattern(0, 4096, 11));
}

// A write is acknowledged only once the cluster holds it, after a flush
// too (librbd's cache would otherwise acknowledge writes still on their
// way from then on): a crash of the service then loses nothing a client was
// told was written, and the flush after its restart vouches for it rightly.
TEST_F(RbdSourceTest, AWriteIsAcknowledgedOnlyOnceTheClusterHoldsIt) {
  const std::string image = MakeImage("through", 21);
  source::CephSettings settings;
  settings.conf_file = cluster_->conf();
  Result<std::unique_ptr<source::RbdIo>> io =
      source::RbdIo::Open(RbdName{"rbd", image, "", false}, settings, source::ExporterText(1));
  ASSERT_TRUE(io.ok()) << io.status().message();
  source::RbdIo& rbd = *io.value();
  const std::vector<uint8_t> first = Pattern(9 * kMiB, 65536, 22);
  ASSERT_EQ(rbd.Write(9 * kMiB, first.data(), first.size()).bytes, first.size());
  ASSERT_EQ(rbd.Flush(), 0u);

  const pid_t osd = cluster_->osd_pid();
  StopOsd(osd);
  if (HasFatalFailure()) return (void)kill(osd, SIGCONT);
  const std::vector<uint8_t> second = Pattern(10 * kMiB, 65536, 23);
  std::future<source::IoResult> write = std::async(
      std::launch::async, [&] { return rbd.Write(10 * kMiB, second.data(), second.size()); });
  // Not acknowledged while the OSD, the only place it could be held, is stopped.
  const std::future_status early = write.wait_for(2s);
  kill(osd, SIGCONT);
  EXPECT_EQ(early, std::future_status::timeout) << "acknowledged from the writer's memory";
  ASSERT_EQ(write.wait_for(120s), std::future_status::ready);
  EXPECT_EQ(write.get().bytes, second.size());
  std::vector<uint8_t> seen;
  ASSERT_TRUE(cluster_->ReadImage(image, 10 * kMiB, 65536, seen));
  EXPECT_TRUE(seen == second);
}

// ludrane-cli adds the export without --size; full access reads and writes
// land on the image byte for byte, as another librbd client sees them.
TEST_F(RbdSourceTest, ServesAnImageByteForByte) {
  const std::string image = MakeImage("disk", 1);
  std::unique_ptr<Service> service = StartService("a");
  const uint16_t port = testing::FreePort();
  const testing::ProgramResult added = testing::RunProgram(
      {LUDRANE_CLI, "--runtime-dir", service->runtime(), "add-server", "rbd:rbd/" + image, "--port",
       std::to_string(port), "--password", "pupil", "--manage-password", "boss"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  const std::string handle = testing::FirstLine(added.out);
  const testing::ProgramResult started = testing::RunProgram(
      {LUDRANE_CLI, "--runtime-dir", service->runtime(), "start-server", handle});
  ASSERT_EQ(started.exit_code, 0) << started.err << service->Log();

  BlockClient full;
  EXPECT_EQ(LogOn(full, port, "boss"), ACCESS_FULL);
  // Within an object, across the boundary of two (4 MiB objects), the end
  // of the written part.
  for (uint64_t offset : {uint64_t{0}, 1 * kMiB + 512, 4 * kMiB - 32768, 8 * kMiB - 65536}) {
    ExpectReads(full, offset, Pattern(offset, 65536, 1));
  }
  ExpectReads(full, 12 * kMiB, std::vector<uint8_t>(65536, 0));  // never written
  std::vector<uint8_t> none;
  EXPECT_EQ(full.Read(kImageSize - 512, 1024, none).reply.status, REPLY_FAILED) << "past the end";

  // Writes: across an object boundary, the last 64 KiB, and over bytes the
  // read cache holds (read just above).
  const std::vector<std::pair<uint64_t, uint8_t>> writes = {
      {8 * kMiB - 4096, 7}, {kImageSize - 65536, 8}, {1 * kMiB + 512, 9}};
  for (const auto& [offset, seed] : writes) {
    const std::vector<uint8_t> bytes = Pattern(offset, 65536, seed);
    const testing::Exchange written = full.Write(offset, bytes.data(), 65536);
    ASSERT_EQ(written.error, 0);
    EXPECT_EQ(written.reply.status, REPLY_OK) << "write at " << offset;
  }
  for (const auto& [offset, seed] : writes) {
    ExpectReads(full, offset, Pattern(offset, 65536, seed));
    std::vector<uint8_t> seen;
    ASSERT_TRUE(cluster_->ReadImage(image, offset, 65536, seen));
    EXPECT_TRUE(seen == Pattern(offset, 65536, seed)) << "librbd sees the write at " << offset;
  }
  std::vector<uint8_t> around;
  ASSERT_TRUE(cluster_->ReadImage(image, 8 * kMiB - 8192, 4096, around));
  EXPECT_TRUE(around == Pattern(8 * kMiB - 8192, 4096, 1)) << "the bytes before stay";

  // A virtual-write client reads, and its writes are refused.
  BlockClient pupil;
  EXPECT_EQ(LogOn(pupil, port, "pupil"), ACCESS_VIRTUAL_WRITE);
  ExpectReads(pupil, kImageSize - 65536, Pattern(kImageSize - 65536, 65536, 8));
  const std::vector<uint8_t> zeros(4096, 0);
  EXPECT_EQ(pupil.Write(0, zeros.data(), 4096).reply.status, REPLY_DENIED);
  ASSERT_TRUE(cluster_->ReadImage(image, 0, 4096, around));
  EXPECT_TRUE(around == Pattern(0, 4096, 1));
}

// A snapshot, and an image named with ":ro", serve nobody at full access:
// the management password gives virtual write, writes are refused and the
// image keeps its bytes.
TEST_F(RbdSourceTest, SnapshotsAndReadOnlyExportsRefuseWrites) {
  const std::string image = MakeImage("golden", 2);
  ASSERT_TRUE(cluster_->Snapshot(image, "monday"));
  ASSERT_TRUE(cluster_->WriteImage(image, 0, Pattern(0, 65536, 3)));  // after the snapshot
  std::unique_ptr<Service> service = StartService("a");
  uint16_t snapshot_port = 0, read_only_port = 0;
  const Handle snapshot = service->Add("rbd:rbd/" + image + "@monday", snapshot_port);
  const Handle read_only = service->Add("rbd:rbd/" + image + ":ro", read_only_port);
  ASSERT_EQ(service->client().StartServer(snapshot), 0) << service->Log();
  ASSERT_EQ(service->client().StartServer(read_only), 0) << service->Log();

  for (const auto& [port, seed] : {std::pair{snapshot_port, uint8_t{2}}, {read_only_port, 3}}) {
    BlockClient boss;
    EXPECT_EQ(LogOn(boss, port, "boss"), ACCESS_VIRTUAL_WRITE);
    ExpectReads(boss, 0, Pattern(0, 65536, seed));
    const std::vector<uint8_t> bytes = Pattern(0, 65536, 99);
    EXPECT_EQ(boss.Write(0, bytes.data(), 65536).reply.status, REPLY_DENIED);
    ExpectReads(boss, 0, Pattern(0, 65536, seed));
  }
  std::vector<uint8_t> seen;
  ASSERT_TRUE(cluster_->ReadImage(image, 0, 65536, seen));
  EXPECT_TRUE(seen == Pattern(0, 65536, 3));
  ASSERT_TRUE(cluster_->ReadImage(image, 0, 65536, seen, "monday"));
  EXPECT_TRUE(seen == Pattern(0, 65536, 2));
}

// A writable export and a read-only one of the same image in one service:
// what a client writes through the one is read through the other, also
// where the other's read cache held the bytes before (a snapshot's export,
// another disk, keeps its own).
TEST_F(RbdSourceTest, AWriteThroughOneExportIsReadThroughAReadOnlyOneOfTheSameImage) {
  const std::string image = MakeImage("beside", 5);
  ASSERT_TRUE(cluster_->Snapshot(image, "before"));
  std::unique_ptr<Service> service = StartService("a");
  uint16_t writable_port = 0, read_only_port = 0, snapshot_port = 0;
  const Handle writable = service->Add("rbd:rbd/" + image, writable_port);
  const Handle read_only = service->Add("rbd:rbd/" + image + ":ro", read_only_port);
  const Handle snapshot = service->Add("rbd:rbd/" + image + "@before", snapshot_port);
  for (const Handle server : {writable, read_only, snapshot}) {
    ASSERT_EQ(service->client().StartServer(server), 0) << service->Log();
  }
  BlockClient reader, frozen, writer;
  LogOn(reader, read_only_port, "pupil");
  LogOn(frozen, snapshot_port, "pupil");
  EXPECT_EQ(LogOn(writer, writable_port, "boss"), ACCESS_FULL);
  // Each reader's cache now holds the 1 MiB from 2 MiB.
  ExpectReads(reader, 2 * kMiB, Pattern(2 * kMiB, 65536, 5));
  ExpectReads(frozen, 2 * kMiB, Pattern(2 * kMiB, 65536, 5));

  const std::vector<uint8_t> bytes = Pattern(2 * kMiB + 4096, 8192, 6);
  ASSERT_EQ(writer.Write(2 * kMiB + 4096, bytes.data(), 8192).reply.status, REPLY_OK);
  std::vector<uint8_t> expected = Pattern(2 * kMiB, 65536, 5);
  std::copy(bytes.begin(), bytes.end(), expected.begin() + 4096);
  ExpectReads(reader, 2 * kMiB, expected);
  ExpectReads(frozen, 2 * kMiB, Pattern(2 * kMiB, 65536, 5));
}

// One writable export per image: a second one, in another service or the
// same, fails to start and names the first (host and port); once the first
// stops, it starts.
TEST_F(RbdSourceTest, OneWritableExportPerImage) {
  const std::string image = MakeImage("shared", 4);
  const std::string source = "rbd:rbd/" + image;
  std::unique_ptr<Service> a = StartService("a");
  std::unique_ptr<Service> b = StartService("b");
  uint16_t port_a = 0, port_b = 0, port_a2 = 0;
  const Handle first = a->Add(source, port_a);
  const Handle second = b->Add(source, port_b);
  const Handle same_service = a->Add(source, port_a2);
  ASSERT_EQ(a->client().StartServer(first), 0) << a->Log();

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string holder = "served writable by quensaria on " + std::string(host) + ", port " +
                             std::to_string(port_a) + ", pid ";
  EXPECT_EQ(b->client().StartServer(second), -1);
  EXPECT_TRUE(b->LogShows(source + ": cannot be served: the image is " + holder)) << b->Log();
  EXPECT_EQ(a->client().StartServer(same_service), -1);
  EXPECT_TRUE(a->LogShows(holder)) << a->Log();
  BlockClient block;
  EXPECT_EQ(LogOn(block, port_a, "boss"), ACCESS_FULL);
  ExpectReads(block, 0, Pattern(0, 4096, 4));
  block.Close();

  ASSERT_EQ(a->client().StopServer(first), 0);
  ASSERT_EQ(b->client().StartServer(second), 0) << b->Log();
  EXPECT_EQ(LogOn(block, port_b, "boss"), ACCESS_FULL);
  block.Close();

  // b crashes holding the lock: a service of the same machine sees that
  // its process is gone and takes the lock over at once.
  b->Kill();
  ASSERT_EQ(a->client().StartServer(first), 0) << a->Log();
  EXPECT_TRUE(
      a->LogShows("rbd:rbd/" + image + ": took over the exclusive lock left by quensaria pid"))
      << a->Log();
  EXPECT_EQ(LogOn(block, port_a, "boss"), ACCESS_FULL);
  const std::vector<uint8_t> bytes = Pattern(0, 4096, 5);
  EXPECT_EQ(block.Write(0, bytes.data(), 4096).reply.status, REPLY_OK);
}

// Another client (not a quensaria) holds the lock: a writable start fails
// naming its address; once it has died, the cluster lets its watch lapse
// (5 s in the test cluster) and the next start succeeds.
TEST_F(RbdSourceTest, ALockOfAClientThatDiedLapses) {
  const std::string image = MakeImage("lapse", 4);
  const std::string script = dir_ + "/holder.py";
  std::ofstream(script) << "import rados, rbd, sys, time\n"
                           "c = rados.Rados(conffile=sys.argv[1], rados_id='admin')\n"
                           "c.connect()\n"
                           "image = rbd.Image(c.open_ioctx('rbd'), sys.argv[2])\n"
                           "image.lock_acquire(rbd.RBD_LOCK_MODE_EXCLUSIVE)\n"
                           "print(c.get_addrs(), flush=True)\n"
                           "time.sleep(600)\n";
  Program holder({"/usr/bin/python3", script, cluster_->conf(), image}, dir_ + "/holder.log");
  ASSERT_TRUE(holder.started());
  std::string address;
  testing::Eventually(
      [&] {
        address = testing::FirstLine(holder.Log());
        if (address.find('/') == std::string::npos) address.clear();
        return !address.empty();
      },
      30s, 50ms);
  ASSERT_FALSE(address.empty()) << holder.Log();

  std::unique_ptr<Service> a = StartService("a");
  uint16_t port = 0;
  const Handle server = a->Add("rbd:rbd/" + image, port);
  EXPECT_EQ(a->client().StartServer(server), -1);
  EXPECT_TRUE(a->LogShows("the image is served writable by client " + address + ", which holds"))
      << a->Log();

  holder.Signal(SIGKILL);
  holder.Wait(30s);
  const auto died = std::chrono::steady_clock::now();
  int result = -1;
  while (result != 0 && std::chrono::steady_clock::now() - died < 120s) {
    result = a->client().StartServer(server);
  }
  ASSERT_EQ(result, 0) << a->Log();
  std::printf("the writable start succeeded %.1f s after the holder died\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - died).count());
  BlockClient block;
  EXPECT_EQ(LogOn(block, port, "boss"), ACCESS_FULL);
  const std::vector<uint8_t> bytes = Pattern(0, 4096, 5);
  EXPECT_EQ(block.Write(0, bytes.data(), 4096).reply.status, REPLY_OK);
}

// Stateless servers of a golden image: two services serve it read-only at
// once (a third export of it may still be writable), the same bytes to
// every client.
// What CMD_SOURCE_ID answers on `port` after a log-on with `password`.
SourceId SourceIdOf(uint16_t port, const std::string& password = "pupil") {
  BlockClient block;
  EXPECT_EQ(block.Connect(port), 0);
  EXPECT_EQ(block.Login(password).reply.status, REPLY_OK);
  QueryData query;
  EXPECT_EQ(block.Query(query).error, 0);
  EXPECT_NE(query.flags & QUERY_FLAG_SOURCE_ID, 0);
  uint8_t request[32] = {};
  EncodeRequestHeader({CMD_SOURCE_ID, 0, 0}, request);
  EXPECT_EQ(block.SendBytes(request, sizeof request), 0);
  std::vector<uint8_t> data;
  const testing::Exchange reply = block.ReceiveReply(&data);
  EXPECT_EQ(reply.reply.status, REPLY_OK);
  SourceId id{};
  EXPECT_EQ(data.size(), id.size());
  std::copy_n(data.begin(), std::min(data.size(), id.size()), id.begin());
  return id;
}

TEST_F(RbdSourceTest, TwoServicesServeOneImageReadOnly) {
  const std::string image = MakeImage("room", 6);
  std::unique_ptr<Service> a = StartService("a");
  std::unique_ptr<Service> b = StartService("b");
  uint16_t port_a = 0, port_b = 0, port_writer = 0;
  const Handle on_a = a->Add("rbd:rbd/" + image + ":ro", port_a);
  const Handle on_b = b->Add("rbd:rbd/" + image + ":ro", port_b);
  const Handle writer = b->Add("rbd:rbd/" + image, port_writer);
  ASSERT_EQ(a->client().StartServer(on_a), 0) << a->Log();
  ASSERT_EQ(b->client().StartServer(on_b), 0) << b->Log();
  ASSERT_EQ(b->client().StartServer(writer), 0) << b->Log();

  // Every export of the image names the same shared source, in either
  // service; a snapshot of it is another source, a file none.
  const SourceId id = SourceIdOf(port_a);
  EXPECT_NE(id, SourceId{});
  EXPECT_EQ(SourceIdOf(port_b), id);
  EXPECT_EQ(SourceIdOf(port_writer, "boss"), id);
  ASSERT_TRUE(cluster_->Snapshot(image, "v1"));
  uint16_t port_snap = 0;
  const Handle snap = a->Add("rbd:rbd/" + image + "@v1", port_snap);
  ASSERT_EQ(a->client().StartServer(snap), 0) << a->Log();
  const SourceId snap_id = SourceIdOf(port_snap);
  EXPECT_NE(snap_id, SourceId{});
  EXPECT_NE(snap_id, id);

  std::vector<std::future<void>> clients;
  for (int i = 0; i < 8; ++i) {
    const uint16_t port = i % 2 == 0 ? port_a : port_b;
    clients.push_back(std::async(std::launch::async, [port, i] {
      BlockClient block;
      EXPECT_EQ(LogOn(block, port, "pupil"), ACCESS_VIRTUAL_WRITE);
      for (uint64_t offset = static_cast<uint64_t>(i) * 65536; offset < 8 * kMiB;
           offset += 8 * 65536) {
        ExpectReads(block, offset, Pattern(offset, 65536, 6));
      }
    }));
  }
  for (auto& client : clients) client.get();
}

// A start that cannot open its image fails and the console says why.
TEST_F(RbdSourceTest, StartFailuresSaySo) {
  std::unique_ptr<Service> service = StartService("a");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"rbd:rbd/no-such-image", "pool \"rbd\" has no image \"no-such-image\""},
      {"rbd:no-such-pool/x", "the Ceph cluster has no pool \"no-such-pool\""},
      {"rbd:golden", "an RBD source is written rbd:POOL/IMAGE[@SNAPSHOT][:ro]"},
  };
  for (const auto& [source, said] : cases) {
    uint16_t port = 0;
    const Handle server = service->Add(source, port);
    EXPECT_EQ(service->client().StartServer(server), -1) << source;
    EXPECT_TRUE(service->LogShows(source + ": cannot be served: " + said, 10s)) << service->Log();
  }
  const std::string image = MakeImage("snapless", 1);
  uint16_t port = 0;
  const Handle snapshot = service->Add("rbd:rbd/" + image + "@nope", port);
  EXPECT_EQ(service->client().StartServer(snapshot), -1);
  EXPECT_TRUE(service->LogShows("has no snapshot \"nope\"", 10s)) << service->Log();

  // A cluster that does not answer: monitors on a port nobody serves.
  const std::string dead_conf = dir_ + "/dead.conf";
  std::ofstream(dead_conf) << "[global]\nmon_host = [v2:127.0.0.1:" << testing::FreePort()
                           << "]\nauth_client_required = none\n";
  Service lost(dir_ + "/lost", dead_conf);
  ASSERT_TRUE(lost.up()) << lost.Log();
  const Handle unreachable = lost.Add("rbd:rbd/" + image, port);
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(lost.client().StartServer(unreachable), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 20s) << "the start gives up in time";
  EXPECT_TRUE(lost.LogShows("the Ceph cluster did not answer within", 10s)) << lost.Log();
}

// An OSD that stops answering holds the requests up; the console says so
// while they wait, and again once it answers, and the read completes.
TEST_F(RbdSourceTest, AClusterThatStopsAnsweringIsSaid) {
  const std::string image = MakeImage("stall", 7);
  std::unique_ptr<Service> service = StartService("a");
  uint16_t port = 0;
  const Handle server = service->Add("rbd:rbd/" + image, port);
  ASSERT_EQ(service->client().StartServer(server), 0) << service->Log();
  BlockClient block;
  EXPECT_EQ(LogOn(block, port, "pupil"), ACCESS_VIRTUAL_WRITE);

  const pid_t osd = cluster_->osd_pid();
  StopOsd(osd);
  if (HasFatalFailure()) return (void)kill(osd, SIGCONT);
  std::future<void> read = std::async(
      std::launch::async, [&] { ExpectReads(block, 5 * kMiB, Pattern(5 * kMiB, 65536, 7)); });
  const bool said =
      service->LogShows("rbd:rbd/" + image + ": the Ceph cluster has not answered a read", 60s);
  const bool answered = read.wait_for(0s) == std::future_status::ready;
  kill(osd, SIGCONT);
  EXPECT_TRUE(said) << (answered ? "the read was answered by the stopped OSD\n" : "")
                    << service->Log();
  EXPECT_EQ(read.wait_for(120s), std::future_status::ready);
  read.get();
  EXPECT_TRUE(service->LogShows("rbd:rbd/" + image + ": the Ceph cluster answers again, after"))
      << service->Log();
}

}  // namespace
}  // namespace quensaria
