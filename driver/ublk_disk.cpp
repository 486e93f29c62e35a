#include "driver/ublk_disk.h"

#include "platform/block_device_users.h"
#include "platform/errors.h"

namespace quensaria::driver {

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
  r->complete = [&ublk, tag = request.tag](DeviceRequest& done) {
    ublk.Answer(tag, NT_SUCCESS(done.status) ? static_cast<int>(done.information)
                                             : -platform::ErrnoFromNtStatus(done.status));
  };
  device_->Submit(std::move(r));
}

}  // namespace quensaria::driver
