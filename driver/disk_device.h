// DiskDevice: one of the driver's sixteen devices (a disk or a CD-ROM), its
// state, its request queue and the worker thread that serves the queue.
//
// Submit() is the dispatch routine. It runs in the requester's thread and
// either answers at once (requests on an empty device, zero-length and
// misaligned transfers, the query and the standard disk controls) or hands
// the request on. A read, write or sync that finds a free place (nothing
// queued, fewer being served than the back end serves at once: one for an
// image file, one per connection for a network disk) is served right there,
// saving a thread hand-off, unless the back end serves more than one at a
// time and the request asks to be handed off or another requester's thread
// is serving one right there already (a device holds at most one of the
// threads the devices share); that thread then also serves a few of the
// transfers queued behind it meanwhile before it returns. Everything else
// is queued for the workers (started as needed, one per place, woken only
// when a request may be served), which also carry out mount and unmount. Transfers are taken in the
// order they were accepted and served side by side; a mount or unmount waits for those before it
// and is served alone, and those after it wait for it. Only the threads serving requests touch the
// back end. Submit may therefore block for as long as a back end takes; callers give it a thread
// that may. Every request is completed exactly once, through its `complete` function, from the
// thread that answers it. The published state (mounted flag, sizes, names) is guarded by a lock, so
// dispatch and query never see a half-made mount.
#ifndef QUENSARIA_DRIVER_DISK_DEVICE_H_
#define QUENSARIA_DRIVER_DISK_DEVICE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/back_end.h"
#include "driver/io_buffer.h"
#include "driver/transport.h"
#include "driver/wake_flag.h"
#include "platform/thread_identity.h"
#include "shared/device_control.h"
#include "shared/mount_record.h"
#include "shared/nt_status.h"

namespace quensaria::driver {

enum class DeviceType { kDisk, kCdRom };
enum class RequestKind { kRead, kWrite, kControl, kSync };

struct DeviceRequest {
  RequestKind kind = RequestKind::kRead;
  uint64_t offset = 0;
  uint32_t length = 0;
  // Write: the payload (length bytes). Read: filled with `information` bytes.
  IoBuffer data;
  // When set, the requester's own buffer of `length` bytes stands in for
  // `data`: a read lands there, a write's payload is there. It must stay
  // valid until the request completes, unless `lent`.
  uint8_t* buffer = nullptr;
  // A write's `buffer` stays valid only until Submit returns: a write
  // served at once uses it as it is, one that waits is given a copy first.
  bool lent = false;
  // Control: the block, answered in place.
  std::unique_ptr<DeviceControlBlock> control;
  // Mount: who asked; their rights open the image, socket and cache file.
  platform::CallerIdentity caller;
  // Served by the device's workers, not in the submitting thread (one that
  // must go on taking requests), where the back end serves several at once.
  bool hand_off = false;

  NtStatus status = STATUS_PENDING;
  // Bytes read or written, or the control's information count.
  uint32_t information = 0;
  // A mount or unmount took effect: the device's contents changed.
  bool media_changed = false;
  std::function<void(DeviceRequest&)> complete;
};

struct DeviceOptions {
  TransportOptions transport;
  // Where the global drive-letter links live, and the path they point to.
  std::string links_dir;
  std::string device_path;
  // Write caches of records that name no cache file go here.
  std::string default_cache_dir = "/tmp";
  // Connections of a network disk whose record leaves the count open.
  size_t connections = kDefaultMountConnections;
};

// "VelmoranEx%u" for disks, "VelmoranExCd%u" for CD-ROMs.
std::string DeviceName(DeviceType type, uint32_t number);

// A snapshot of the published state.
struct DeviceState {
  bool mounted = false;
  uint64_t disk_size = 0;
  bool read_only = false;
  bool virtual_write = false;
  uint32_t source_type = 0;
  uint32_t server_address = 0;
  uint16_t server_port = 0;
  // A network disk's servers (the first is server_address:server_port) and
  // the index of the one it is on now.
  std::vector<MountServer> servers;
  uint8_t current_server = 0;
  uint8_t mount_flags = 0;  // a network disk's kMountFlag...
  // A network disk's connections to its server.
  uint8_t connections = 0;
  char drive_letter = 0;
  std::u16string source_name;
};

class DiskDevice {
 public:
  // Starts the worker thread; the device is empty.
  DiskDevice(DeviceType type, uint32_t number, DeviceOptions options);
  // Stop(), then joins.
  ~DiskDevice();
  DiskDevice(const DiskDevice&) = delete;
  DiskDevice& operator=(const DiskDevice&) = delete;

  void Submit(std::unique_ptr<DeviceRequest> request);
  // A buffer for a request's data, from the ones this device keeps while it
  // is mounted (empty when there is no memory). Any thread.
  IoBuffer TakeBuffer(size_t size) { return buffers_.Take(size); }

  // Works off the queue, flushes and unmounts a mounted device (closing its
  // connection and removing its link) and ends the worker. Later requests
  // are answered at once with STATUS_NO_MEDIA_IN_DEVICE. Idempotent.
  void Stop();
  // The same without waiting for the worker to end, so that several
  // devices flush at once; Stop then waits.
  void BeginStop();

  // Cuts short the reconnect pauses of the request being served, as a
  // queued unmount does: its mount is about to go. Lowered again by the
  // next mount.
  void GiveUpReconnects() { give_up_.Raise(); }
  // The driver is stopping: the reconnects are given up for good, and a
  // mount not yet begun is refused (STATUS_NO_MEDIA_IN_DEVICE, as after a
  // stop), while a mounted disk still serves its requests until Stop.
  void RefuseMounts();

  DeviceState State() const;
  // The part of the state every request looks at, without copying names.
  struct Basics {
    bool mounted;
    uint64_t disk_size;
    bool read_only;
  };
  Basics GetBasics() const;
  DeviceType type() const { return type_; }
  // "VelmoranEx%u" or "VelmoranExCd%u".
  const std::string& name() const { return name_; }

 private:
  void Complete(DeviceRequest& request, NtStatus status, uint32_t information = 0);
  void DispatchTransfer(std::unique_ptr<DeviceRequest> request);
  void DispatchControl(std::unique_ptr<DeviceRequest> request);
  void Queue(std::unique_ptr<DeviceRequest> request);

  // `first`: the worker that flushes and unmounts at the end.
  void Work(bool first);
  // The queue's front may be served now. REQUIRES: queue_mu_ held.
  bool FrontReady() const;
  void Serve(DeviceRequest& request);
  // After Serve: the request's buffer is kept for the next one.
  void Recycle(DeviceRequest& request) noexcept;
  void ServeRead(DeviceRequest& request);
  void ServeWrite(DeviceRequest& request);
  void ServeControl(DeviceRequest& request);

  // Mount and unmount, in the worker (device_mount.cpp).
  NtStatus Mount(const MountRecord& record, const platform::CallerIdentity& caller);
  NtStatus MountImage(const MountRecord& record, const platform::CallerIdentity& caller,
                      DeviceState* state);
  NtStatus MountNetwork(const MountRecord& record, const platform::CallerIdentity& caller,
                        DeviceState* state);
  void Unmount();
  void Query(DeviceControlBlock* block) const;

  const DeviceType type_;
  const uint32_t number_;
  const std::string name_;
  const DeviceOptions options_;

  mutable std::mutex state_mu_;
  DeviceState state_;  // guarded by state_mu_

  std::mutex queue_mu_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<DeviceRequest>> queue_;  // guarded by queue_mu_
  bool stop_ = false;                                 // guarded by queue_mu_
  bool refuse_mounts_ = false;                        // guarded by queue_mu_
  size_t serving_ = 0;                                // requests being served; guarded by queue_mu_
  // Of those, served in a thread that did not ask to hand off (the file
  // system's); guarded by queue_mu_.
  size_t lent_threads_ = 0;
  bool alone_ = false;                // a mount or unmount is being served; guarded by queue_mu_
  size_t parallel_ = 1;               // the back end's Parallel(); guarded by queue_mu_
  size_t waiting_ = 0;                // workers waiting for the queue; guarded by queue_mu_
  std::vector<std::thread> helpers_;  // workers beyond the first; guarded by queue_mu_

  // Raised while an unmount or the unload waits: a request pausing between
  // reconnects gives up rather than hold them for its whole time-out.
  WakeFlag give_up_;

  // Buffers between requests; given back at unmount.
  IoBufferPool buffers_;

  // Changed only by a request served alone (alone_), read by those served.
  std::unique_ptr<DiskBackEnd> back_end_;
  bool linked_ = false;

  std::thread worker_;
};

}  // namespace quensaria::driver

#endif  // QUENSARIA_DRIVER_DISK_DEVICE_H_
