// What lies below MountManager, for the mounter's tests and screenshots.
// FakeDriver: the Velmoran driver's devices as plain files in a scratch
// runtime folder (so links, opening and the "driver not running" check are
// the real ones), their controls answered in memory; a mount can be held
// "in the driver" until released, and refused for a wrong password.
// FakeVolumes: volumes that attach at once, at RootMountPoint(letter).
// ServerConnection: an established loopback connection, which makes a
// network drive on its port "connected". MounterForTesting: a MountManager
// over both, its settings in the same scratch folder.
#ifndef QUENSARIA_MOUNTER_DRIVER_FOR_TESTING_H_
#define QUENSARIA_MOUNTER_DRIVER_FOR_TESTING_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QString>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "mounter/device_controls.h"
#include "mounter/mount_manager.h"
#include "mounter/mounter_settings.h"
#include "mounter/volumes.h"
#include "platform/errors.h"
#include "platform/scratch_dir_for_testing.h"
#include "platform/unique_fd.h"
#include "shared/driver_layout.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"

namespace quensaria::mounter {

class FakeVolumes final : public Volumes {
 public:
  Status Attach(char letter, const DriveDisk& disk) override {
    std::scoped_lock lock(mutex_);
    mount_points_[disk.deviceFile] = RootMountPoint(letter);
    return Status::Ok();
  }
  Status Detach(char, const DriveDisk& disk) override {
    std::scoped_lock lock(mutex_);
    mount_points_.erase(disk.deviceFile);
    return Status::Ok();
  }
  QString MountPoint(const DriveDisk& disk) const override {
    std::scoped_lock lock(mutex_);
    const auto found = mount_points_.find(disk.deviceFile);
    return found == mount_points_.end() ? QString() : found->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<QString, QString> mount_points_;  // by device file
};

class FakeDriver final : public DeviceControls {
 public:
  // Makes the device files and link folders under `runtime_dir`.
  explicit FakeDriver(const std::string& runtime_dir) {
    std::filesystem::create_directories(DeviceDir(runtime_dir));
    std::filesystem::create_directories(GlobalDriveLinksDir(runtime_dir));
    for (uint32_t n = 0; n < kDeviceIndices; ++n) {
      for (const bool cd : {false, true}) {
        const std::string file = DeviceFilePath(runtime_dir, DeviceName(cd, n));
        platform::UniqueFd made(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
      }
    }
  }

  Result<std::unique_ptr<DeviceControl>> Open(const std::string& path, bool write) override {
    // Opened for real, so that a missing device or dangling link fails as
    // it would; the controls then go to the device behind.
    platform::UniqueFd fd(::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!fd) return platform::ErrnoStatus("open " + path, errno);
    std::error_code error;
    const std::string device = std::filesystem::canonical(path, error).string();
    return std::unique_ptr<DeviceControl>(std::make_unique<Device>(*this, device));
  }

  // A network mount whose digest is not that of `password` is refused.
  void RequirePassword(const std::string& password) {
    std::scoped_lock lock(mutex_);
    password_ = PasswordDigest(password);
  }
  // The next mount waits in the driver until Release; Holding tells
  // whether one waits there now.
  void HoldNextMount() {
    std::scoped_lock lock(mutex_);
    hold_next_ = true;
  }
  bool Holding() {
    std::scoped_lock lock(mutex_);
    return holding_;
  }
  void Release() {
    std::scoped_lock lock(mutex_);
    hold_next_ = false;
    holding_ = false;
    changed_.notify_all();
  }
  // The letters of the mounts and unmounts the driver carried out, in
  // order.
  std::vector<char> mounts() {
    std::scoped_lock lock(mutex_);
    return mounts_;
  }
  std::vector<char> unmounts() {
    std::scoped_lock lock(mutex_);
    return unmounts_;
  }

 private:
  class Device final : public DeviceControl {
   public:
    Device(FakeDriver& driver, std::string file) : driver_(driver), file_(std::move(file)) {}
    NtStatus Mount(const MountRecord& record) override { return driver_.Mount(file_, record); }
    NtStatus Unmount() override {
      std::scoped_lock lock(driver_.mutex_);
      const auto found = driver_.mounted_.find(file_);
      if (found == driver_.mounted_.end()) return STATUS_NO_MEDIA_IN_DEVICE;
      driver_.unmounts_.push_back(static_cast<char>(found->second.driveLetter));
      driver_.mounted_.erase(found);
      return STATUS_SUCCESS;
    }
    NtStatus Query(MountRecord* record) override {
      std::scoped_lock lock(driver_.mutex_);
      const auto found = driver_.mounted_.find(file_);
      if (found == driver_.mounted_.end()) return STATUS_NO_MEDIA_IN_DEVICE;
      *record = found->second;
      return STATUS_SUCCESS;
    }
    NtStatus QueryBlockDevice(std::string* path) override {
      path->clear();  // no ublk here
      return STATUS_SUCCESS;
    }

   private:
    FakeDriver& driver_;
    std::string file_;
  };

  NtStatus Mount(const std::string& file, const MountRecord& record) {
    std::unique_lock lock(mutex_);
    if (mounted_.count(file) != 0) return STATUS_DEVICE_ALREADY_ATTACHED;
    if (hold_next_) {
      // Only this mount waits; others go on meanwhile.
      hold_next_ = false;
      holding_ = true;
      changed_.wait(lock, [this] { return !holding_; });
      if (mounted_.count(file) != 0) return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    if (password_ && record.sourceType == kSourceTypeNetwork &&
        std::memcmp(record.passwordDigest, password_->data(), password_->size()) != 0) {
      return STATUS_WRONG_PASSWORD;
    }
    mounted_[file] = record;
    mounts_.push_back(static_cast<char>(record.driveLetter));
    return STATUS_SUCCESS;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, MountRecord> mounted_;  // by device file
  std::optional<Sha1Digest> password_;
  bool hold_next_ = false;
  bool holding_ = false;
  std::vector<char> mounts_;
  std::vector<char> unmounts_;
};

// A network disk's record, as the driver reports it once mounted.
inline MountRecord NetworkRecord(char letter, const char* address, uint16_t port, uint64_t size,
                                 bool virtual_write) {
  MountRecord record;
  std::memset(&record, 0, sizeof record);
  record.sourceType = kSourceTypeNetwork;
  record.driveLetter = static_cast<uint8_t>(letter);
  record.serverAddress = inet_addr(address);
  record.serverPort = htons(port);
  record.networkMarker = 1;
  record.virtualWrite = virtual_write ? 1 : 0;
  record.imageSize = size;
  return record;
}

inline MountRecord ImageRecord(char letter, const char* path, uint64_t size) {
  MountRecord record;
  std::memset(&record, 0, sizeof record);
  record.sourceType = kSourceTypeDiskImage;
  record.driveLetter = static_cast<uint8_t>(letter);
  StoreUtf16Field(NtPathFromLinux(path), record.sourceName, kMountPathUnits);
  record.imageSize = size;
  return record;
}

// An established connection to a listener on `address` (a loopback one),
// port `port` (0: any free one).
class ServerConnection {
 public:
  explicit ServerConnection(const char* address = "127.0.0.1", uint16_t port = 0) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = inet_addr(address);
    where.sin_port = htons(port);
    listener_ = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t length = sizeof where;
    if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&where), length) != 0 ||
        ::listen(listener_.get(), 1) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&where), &length) != 0) {
      return;
    }
    port_ = ntohs(where.sin_port);
    client_ = platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client_.get(), reinterpret_cast<sockaddr*>(&where), length) != 0) {
      client_.Reset();
    }
  }
  bool up() const { return static_cast<bool>(client_); }
  uint16_t port() const { return port_; }
  void Close() {
    client_.Reset();
    listener_.Reset();
  }

 private:
  platform::UniqueFd listener_;
  platform::UniqueFd client_;
  uint16_t port_ = 0;
};

// A MountManager over FakeDriver and FakeVolumes, no remount pause.
struct MounterForTesting {
  MounterForTesting()
      : settings(SettingsPaths{QString::fromStdString(dir.File("config")),
                               QString::fromStdString(dir.File("xdg")),
                               QString::fromStdString(dir.File("cache"))}),
        driver(dir.File("run")),
        manager(settings, volumes, DriveLinks{QString::fromStdString(dir.File("run")), {}},
                driver) {
    manager.SetRemountPause(std::chrono::milliseconds(0));
  }

  testing::ScratchDir dir;
  MounterSettings settings;
  FakeVolumes volumes;
  FakeDriver driver;
  MountManager manager;
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_DRIVER_FOR_TESTING_H_
