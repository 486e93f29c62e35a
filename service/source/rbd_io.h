// RbdIo: SourceIo over an image (or a snapshot) of a Ceph cluster, through
// librbd, named as shared/rbd_source.h tells. A writable open takes the
// image's exclusive lock and keeps it (librbd does not hand it over on
// request): at most one writable export of an image runs, and another fails
// to open, naming the holder.
//
// librbd calls wait for the cluster, so the no-wait calls always answer
// would_block: every transfer runs on the engine's file workers. A transfer
// that waits long for the cluster is said on the console, and so is the
// cluster's answer after it.
#ifndef QUENSARIA_SERVICE_SOURCE_RBD_IO_H_
#define QUENSARIA_SERVICE_SOURCE_RBD_IO_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "service/source/source_io.h"
#include "shared/block_protocol.h"
#include "shared/rbd_source.h"
#include "shared/status.h"

namespace quensaria::source {

// The longest an open waits for the cluster (connecting, opening, locking):
// a start holds the registry for that long.
inline constexpr std::chrono::seconds kRbdOpenTimeout{8};
// A transfer that has waited this long for the cluster is reported.
inline constexpr std::chrono::seconds kRbdStallReport{10};

// How the service reaches its Ceph cluster, one setting for the process.
struct CephSettings {
  // The configuration file; empty: librados' own search ($CEPH_CONF, then
  // /etc/ceph/ceph.conf, ~/.ceph/config, ./ceph.conf).
  std::string conf_file;
  // The client is client.ID; its keyring is found through the
  // configuration (by default /etc/ceph/ceph.client.ID.keyring).
  std::string client_id = "admin";
};
void SetCephSettings(const CephSettings& settings);
CephSettings GetCephSettings();
// Who a writable export on `port` is, as it records itself in the image:
// "quensaria on HOST, port P, pid N [BOOT-ID pid:[NS]]". A successor in the
// same pid space (this machine since its boot, this container) takes over
// the lock of one whose process has ended.
std::string ExporterText(uint16_t port);

class RbdIo final : public SourceIo {
 public:
  // Connects to the cluster, opens the image and, unless read-only, takes
  // its exclusive lock and records `exporter` (who this export is, for
  // whoever finds the lock held) in the image's metadata. Fails with a
  // message that says what could not be done, within `timeout`.
  static Result<std::unique_ptr<RbdIo>> Open(const RbdName& name, const CephSettings& settings,
                                             const std::string& exporter,
                                             std::chrono::milliseconds timeout = kRbdOpenTimeout);
  ~RbdIo() override;
  RbdIo(const RbdIo&) = delete;
  RbdIo& operator=(const RbdIo&) = delete;

  // The image's (or snapshot's) size when opened.
  uint64_t size() const { return size_; }
  bool read_only() const { return name_.read_only; }
  // Names the image or snapshot in the cluster (a digest of the cluster's
  // fsid, the pool's and image's ids and the snapshot's id): every export
  // of it in any service answers the same, an image and its snapshot do
  // not. All zero when the cluster would not tell.
  const SourceId& identity() const { return identity_; }

  IoResult Read(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult Write(uint64_t offset, const uint8_t* data, size_t length) override;
  IoResult TryRead(uint64_t offset, uint8_t* data, size_t length) override;
  IoResult TryWrite(uint64_t offset, const uint8_t* data, size_t length) override;
  // A would_block of TryRead means the bytes need the cluster, so misses go
  // through the read cache.
  bool NoWaitReads() const override { return true; }
  IoResult CacheRead(uint64_t offset, uint8_t* data, size_t length) override;
  uint32_t Flush() override;
  uint32_t Associate() override { return 0; }
  int HandleValue() const override { return -1; }

 private:
  struct Handles;
  class Watchdog;
  RbdIo(RbdName name, std::unique_ptr<Handles> handles, uint64_t size);
  // The steps of an open, on a thread of their own (see Open). Returns the
  // size; fills `h` as it goes; tells `waiting` whose lock it waits for.
  static Result<uint64_t> OpenSteps(const RbdName& name, const CephSettings& settings,
                                    const std::string& exporter, std::chrono::milliseconds timeout,
                                    const std::function<void(const std::string&)>& waiting,
                                    Handles& h);
  // Win32 error of a failed librbd call (negative errno), said on the
  // console at most once a second.
  uint32_t Failed(const char* what, uint64_t offset, int result);

  const RbdName name_;
  const std::string text_;  // "rbd:POOL/IMAGE..." for console lines
  std::unique_ptr<Handles> handles_;
  const uint64_t size_;
  SourceId identity_{};
  std::unique_ptr<Watchdog> watchdog_;
  std::atomic<int64_t> last_failure_report_{0};
};

}  // namespace quensaria::source

#endif  // QUENSARIA_SERVICE_SOURCE_RBD_IO_H_
