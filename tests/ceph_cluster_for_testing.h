// The one-node Ceph cluster of tests/ceph_cluster_for_testing.sh, seen from
// a test: the cluster ctest started for the whole test binary (its folder in
// QUENSARIA_TEST_CEPH_DIR), or else one of the binary's own, started at the
// first use and taken down at exit. Images are made, filled and read back
// through librbd, as another client of the cluster would.
#ifndef QUENSARIA_TESTS_CEPH_CLUSTER_FOR_TESTING_H_
#define QUENSARIA_TESTS_CEPH_CLUSTER_FOR_TESTING_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quensaria::testing {

class CephCluster {
 public:
  // The cluster, started if need be; null (with `why`) when it cannot run
  // here (no ceph-mon, or it did not start).
  static CephCluster* Get(std::string& why);

  ~CephCluster();
  CephCluster(const CephCluster&) = delete;
  CephCluster& operator=(const CephCluster&) = delete;

  const std::string& conf() const { return conf_; }
  // The OSD's process, for tests that make the cluster stop answering.
  pid_t osd_pid() const;

  // Image operations through a client of the test's own; each returns
  // false (and says why on stderr) when librbd refuses.
  bool CreateImage(const std::string& image, uint64_t size);
  bool WriteImage(const std::string& image, uint64_t offset, const std::vector<uint8_t>& data);
  bool ReadImage(const std::string& image, uint64_t offset, size_t length,
                 std::vector<uint8_t>& data, const std::string& snapshot = "");
  bool Snapshot(const std::string& image, const std::string& snapshot);

 private:
  explicit CephCluster(std::string dir);
  bool Connect();

  std::string dir_;
  std::string conf_;
  void* cluster_ = nullptr;  // rados_t
  void* pool_ = nullptr;     // rados_ioctx_t of pool "rbd"
};

}  // namespace quensaria::testing

#endif  // QUENSARIA_TESTS_CEPH_CLUSTER_FOR_TESTING_H_
