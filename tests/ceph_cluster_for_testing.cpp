#include "tests/ceph_cluster_for_testing.h"

#include <rados/librados.h>
#include <rbd/librbd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "tests/program_for_testing.h"

// Under LeakSanitizer: what librados and the OpenSSL it initialises keep
// for the life of the process (this binary's own client of the cluster).
// Only those libraries are named.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so\n"
         "leak:librados.so\n"
         "leak:libceph-common.so\n";
}

namespace quensaria::testing {
namespace {

// A cluster this binary started, taken down when it exits.
struct OwnCluster {
  std::string dir;
  ~OwnCluster() {
    if (!dir.empty()) RunProgram({CEPH_CLUSTER_SCRIPT, "down", dir}, std::chrono::seconds(60));
  }
};

bool Check(int result, const char* what, const std::string& image) {
  if (result >= 0) return true;
  std::fprintf(stderr, "librbd: %s %s: %s\n", what, image.c_str(), std::strerror(-result));
  return false;
}

}  // namespace

CephCluster::CephCluster(std::string dir) : dir_(std::move(dir)), conf_(dir_ + "/ceph.conf") {}

CephCluster* CephCluster::Get(std::string& why) {
  static std::mutex mutex;
  static OwnCluster own;  // after the client below has gone
  static std::unique_ptr<CephCluster> cluster;
  static std::string failure;
  std::scoped_lock lock(mutex);
  if (cluster) return cluster.get();
  if (!failure.empty()) {
    why = failure;
    return nullptr;
  }
  const char* shared = std::getenv("QUENSARIA_TEST_CEPH_DIR");
  std::string dir;
  if (shared != nullptr && std::filesystem::exists(std::string(shared) + "/ceph.conf")) {
    dir = shared;
  } else if (!ProgramExists("ceph-mon") || !ProgramExists("ceph-osd")) {
    failure = "needs ceph-mon and ceph-osd (scripts/install-deps)";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    dir =
        std::string(tmp != nullptr ? tmp : "/tmp") + "/quensaria-ceph-" + std::to_string(getpid());
    const ProgramResult up = RunProgram(
        {CEPH_CLUSTER_SCRIPT, "up", dir, "0", std::to_string(getpid())}, std::chrono::seconds(180));
    if (up.exit_code != 0) {
      failure = "the test cluster did not start: " + up.err;
      dir.clear();
    } else {
      own.dir = dir;
    }
  }
  if (failure.empty()) {
    cluster.reset(new CephCluster(dir));
    if (!cluster->Connect()) {
      failure = "cannot connect to the test cluster in " + dir;
      cluster.reset();
    }
  }
  why = failure;
  return cluster.get();
}

CephCluster::~CephCluster() {
  if (pool_ != nullptr) rados_ioctx_destroy(static_cast<rados_ioctx_t>(pool_));
  if (cluster_ != nullptr) rados_shutdown(static_cast<rados_t>(cluster_));
}

bool CephCluster::Connect() {
  rados_t cluster = nullptr;
  if (rados_create2(&cluster, "ceph", "client.admin", 0) < 0) return false;
  cluster_ = cluster;
  if (rados_conf_read_file(cluster, conf_.c_str()) < 0) return false;
  if (!Check(rados_connect(cluster), "connect", conf_)) return false;
  rados_ioctx_t pool = nullptr;
  if (!Check(rados_ioctx_create(cluster, "rbd", &pool), "pool", "rbd")) return false;
  pool_ = pool;
  return true;
}

pid_t CephCluster::osd_pid() const {
  std::ifstream in(dir_ + "/run/osd.0.pid");
  pid_t pid = 0;
  in >> pid;
  return pid;
}

bool CephCluster::CreateImage(const std::string& image, uint64_t size) {
  int order = 22;  // 4 MiB objects, as rbd create makes them
  return Check(rbd_create2(static_cast<rados_ioctx_t>(pool_), image.c_str(), size,
                           RBD_FEATURE_LAYERING | RBD_FEATURE_EXCLUSIVE_LOCK, &order),
               "create", image);
}

bool CephCluster::WriteImage(const std::string& image, uint64_t offset,
                             const std::vector<uint8_t>& data) {
  rbd_image_t handle = nullptr;
  if (!Check(rbd_open(static_cast<rados_ioctx_t>(pool_), image.c_str(), &handle, nullptr), "open",
             image))
    return false;
  const ssize_t written =
      rbd_write(handle, offset, data.size(), reinterpret_cast<const char*>(data.data()));
  const int flushed = rbd_flush(handle);
  rbd_close(handle);
  return Check(written < 0 ? static_cast<int>(written) : 0, "write", image) &&
         Check(flushed, "flush", image) && static_cast<size_t>(written) == data.size();
}

bool CephCluster::ReadImage(const std::string& image, uint64_t offset, size_t length,
                            std::vector<uint8_t>& data, const std::string& snapshot) {
  rbd_image_t handle = nullptr;
  if (!Check(rbd_open_read_only(static_cast<rados_ioctx_t>(pool_), image.c_str(), &handle,
                                snapshot.empty() ? nullptr : snapshot.c_str()),
             "open", image))
    return false;
  data.assign(length, 0);
  const ssize_t read = rbd_read(handle, offset, length, reinterpret_cast<char*>(data.data()));
  rbd_close(handle);
  return Check(read < 0 ? static_cast<int>(read) : 0, "read", image) &&
         static_cast<size_t>(read) == length;
}

bool CephCluster::Snapshot(const std::string& image, const std::string& snapshot) {
  rbd_image_t handle = nullptr;
  if (!Check(rbd_open(static_cast<rados_ioctx_t>(pool_), image.c_str(), &handle, nullptr), "open",
             image))
    return false;
  const int made = rbd_snap_create(handle, snapshot.c_str());
  rbd_close(handle);
  return Check(made, "snapshot", image);
}

}  // namespace quensaria::testing
