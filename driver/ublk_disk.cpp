#include "driver/ublk_disk.h"

#include <cerrno>
#include <new>

#include "platform/block_device_users.h"
#include "platform/errors.h"

namespace quensaria::driver {
namespace {

// Answers one request of the block device exactly once: with the device's
// result, or -ENOMEM when it goes without one.
class OneAnswer {
 public:
  OneAnswer(platform::UblkDevice& ublk, uint16_t tag) : ublk_(ublk), tag_(tag) {}
  ~OneAnswer() {
    if (!given_) ublk_.Answer(tag_, -ENOMEM);
  }
  OneAnswer(const OneAnswer&) = delete;
  OneAnswer& operator=(const OneAnswer&) = delete;

  void Give(int result) {
    given_ = true;
    ublk_.Answer(tag_, result);
  }

 private:
  platform::UblkDevice& ublk_;
  const uint16_t tag_;
  bool given_ = false;
};

}  // namespace

Result<std::unique_ptr<UblkDisk>> UblkDisk::Create(DiskDevice* device, uint64_t owner) {
  std::unique_ptr<UblkDisk> disk(new UblkDisk(device));
  const DiskDevice::Basics state = device->GetBasics();
  platform::UblkOptions options;
  options.size = state.disk_size;
  options.read_only = state.read_only;
  options.owner = owner;
  auto ublk = platform::UblkDevice::Create(options, disk.get());
  if (!ublk.ok()) return ublk.status();
  disk->ublk_ = std::move(ublk.value());
  return disk;
}

std::string UblkDisk::Use() const { return platform::BlockDeviceUse(ublk_->path()); }

void UblkDisk::Serve(platform::UblkDevice& ublk, const platform::UblkRequest& request) {
  // The queue waits for every request's answer: one dropped unserved (no
  // memory to queue it) is answered as its last holder lets go.
  std::shared_ptr<OneAnswer> answer;
  try {
    answer = std::make_shared<OneAnswer>(ublk, request.tag);
  } catch (const std::bad_alloc&) {
    return ublk.Answer(request.tag, -ENOMEM);
  }
  try {
    auto r = std::make_unique<DeviceRequest>();
    switch (request.op) {
      case platform::UblkOp::kRead:
        r->kind = RequestKind::kRead;
        break;
      case platform::UblkOp::kWrite:
        r->kind = RequestKind::kWrite;
        break;
      case platform::UblkOp::kFlush:
        r->kind = RequestKind::kSync;
        break;
    }
    r->offset = request.offset;
    r->length = request.length;
    r->buffer = request.buffer;
    // The queue thread goes on taking requests while this one is served.
    r->hand_off = true;
    r->complete = [answer](DeviceRequest& done) {
      answer->Give(NT_SUCCESS(done.status) ? static_cast<int>(done.information)
                                           : -platform::ErrnoFromNtStatus(done.status));
    };
    device_->Submit(std::move(r));
  } catch (const std::bad_alloc&) {
    // Answered -ENOMEM below, unless it was answered already.
  }
}

}  // namespace quensaria::driver
