#include "mounter/device_controls.h"

#include "platform/device_control_client.h"

namespace quensaria::mounter {
namespace {

using platform::DeviceControlClient;

class DriverDevice final : public DeviceControl {
 public:
  explicit DriverDevice(DeviceControlClient client) : client_(std::move(client)) {}
  NtStatus Mount(const MountRecord& record) override { return client_.Mount(record); }
  NtStatus Unmount() override { return client_.Unmount(); }
  NtStatus Query(MountRecord* record) override { return client_.Query(record); }
  NtStatus QueryBlockDevice(std::string* path) override { return client_.QueryBlockDevice(path); }

 private:
  DeviceControlClient client_;
};

class DriverControls final : public DeviceControls {
 public:
  Result<std::unique_ptr<DeviceControl>> Open(const std::string& path, bool write) override {
    Result<DeviceControlClient> opened = DeviceControlClient::Open(path, write);
    if (!opened.ok()) return opened.status();
    return std::unique_ptr<DeviceControl>(std::make_unique<DriverDevice>(std::move(*opened)));
  }
};

}  // namespace

DeviceControls& DriverDeviceControls() {
  static DriverControls controls;
  return controls;
}

}  // namespace quensaria::mounter
