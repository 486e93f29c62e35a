#include "mounter/mount_manager.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/device_control_client.h"
#include "platform/errors.h"
#include "shared/nt_status.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"
#include "shared/win32_error.h"
#include "shared/win32_error_text.h"

namespace quensaria::mounter {
namespace {

using platform::DeviceControlClient;

std::string Path(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString DosName(char letter) { return QString(QLatin1Char(letter)) + QLatin1Char(':'); }

// Copies `text` into a 300-unit path field, NUL-terminated, cut if longer.
void SetPathField(char16_t* field, const std::string& text) {
  const QString wide = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  std::memset(field, 0, kMountPathUnits * sizeof(char16_t));
  const qsizetype units = std::min<qsizetype>(wide.size(), kMountPathUnits - 1);
  for (qsizetype i = 0; i < units; ++i) field[i] = wide.at(i).unicode();
}

QString PathField(const char16_t* field) {
  size_t n = 0;
  while (n < kMountPathUnits && field[n] != 0) ++n;
  return QString::fromUtf16(field, static_cast<qsizetype>(n));
}

// The cache path of a network disk: "\??\<temp folder><address><port>.dat".
void SetCachePath(MountRecord& record, const QString& temp_folder) {
  const QString file =
      temp_folder +
      QStringLiteral("%1%2.dat").arg(record.serverAddress, 0, 16).arg(record.serverPort, 0, 16);
  SetPathField(record.cachePath, NtPathFromLinux(file.toStdString()));
}

// The device a mounted drive's volume lives on: its device file and the
// block device the driver also serves it as, if any.
DriveDisk DiskOf(DeviceControlClient& drive, const QString& device_file) {
  std::string block;
  if (!NT_SUCCESS(drive.QueryBlockDevice(&block))) block.clear();
  return DriveDisk{device_file, QString::fromStdString(block)};
}

}  // namespace

QString CapacityText(uint64_t bytes) {
  const double s = static_cast<double>(bytes);
  if (bytes >= (uint64_t{1} << 40))
    return QString::asprintf("%0.2fT", s / double(uint64_t{1} << 40));
  if (bytes >= (uint64_t{1} << 30))
    return QString::asprintf("%0.2fG", s / double(uint64_t{1} << 30));
  if (bytes >= (uint64_t{1} << 20))
    return QString::asprintf("%0.2fM", s / double(uint64_t{1} << 20));
  if (bytes >= 1024) return QString::asprintf("%0.2fK", s / 1024.0);
  return QStringLiteral("0.00K");
}

QString DriveLinks::DevicePath(int index, uint32_t source_type) const {
  const QString name = source_type == kSourceTypeCdImage ? QStringLiteral("VelmoranExCd%1")
                                                         : QStringLiteral("VelmoranEx%1");
  return runtimeDir + QStringLiteral("/Device/VelmoranEx/") + name.arg(index);
}

QString DriveLinks::DefinitionPath(char letter) const {
  const QString dir =
      definitionsDir.isEmpty() ? runtimeDir + QStringLiteral("/DosDevices") : definitionsDir;
  return dir + QLatin1Char('/') + DosName(letter);
}

QString DriveLinks::GlobalLinkPath(char letter) const {
  return runtimeDir + QStringLiteral("/DosDevices/Global/") + DosName(letter);
}

MountManager::MountManager(MounterSettings& settings, Volumes& volumes, DriveLinks links)
    : settings_(settings), volumes_(volumes), links_(std::move(links)) {}

namespace {

// Opens drive `letter`: the mounter's own definition first, then the
// driver's global link. *opened gets the link that opened.
Result<DeviceControlClient> OpenDrive(const DriveLinks& links, char letter, bool write,
                                      QString* opened = nullptr) {
  Result<DeviceControlClient> own =
      DeviceControlClient::Open(Path(links.DefinitionPath(letter)), write);
  if (own.ok()) {
    if (opened) *opened = links.DefinitionPath(letter);
    return own;
  }
  Result<DeviceControlClient> global =
      DeviceControlClient::Open(Path(links.GlobalLinkPath(letter)), write);
  if (global.ok() && opened) *opened = links.GlobalLinkPath(letter);
  return global.ok() ? std::move(global) : std::move(own);
}

}  // namespace

uint32_t MountManager::Fail(uint32_t code, const QString& label) {
  last_error_ = code;
  LogLastError(label);
  return code;
}

void MountManager::LogLastError(const QString& label) {
  std::fprintf(stderr, "%s %s %d\n", label.toLocal8Bit().constData(),
               Win32ErrorText(last_error_).c_str(), static_cast<int>(last_error_));
}

uint32_t MountManager::MountOnDevice(int index, const MountRecord& record, char letter) {
  last_explanation_.clear();
  const QString dos = DosName(letter);
  if (letter < 'A' || letter > 'Z' || index < 0 || index >= kDeviceIndices) {
    return Fail(ERROR_INVALID_PARAMETER, dos);
  }
  if (OpenDrive(links_, letter, true).ok()) return Fail(ERROR_BUSY, dos);

  // The letter's definition. One that cannot be opened (its device is gone,
  // or a crash left it) is replaced.
  const std::string definition = Path(links_.DefinitionPath(letter));
  const std::string device = Path(links_.DevicePath(index, record.sourceType));
  if (::access(device.c_str(), F_OK) != 0 && errno == ENOENT) {
    last_explanation_ = QStringLiteral(
                            "The Velmoran driver is not running (no devices in %1): start velmoran "
                            "as root and try again.")
                            .arg(links_.runtimeDir);
  }
  ::unlink(definition.c_str());
  if (::symlink(device.c_str(), definition.c_str()) != 0) {
    return Fail(platform::Win32ErrorFromErrno(errno), dos);
  }
  Result<DeviceControlClient> drive = DeviceControlClient::Open(definition, true);
  if (!drive.ok()) {
    ::unlink(definition.c_str());
    if (drive.status().code() == ERROR_ACCESS_DENIED) {
      last_explanation_ = QStringLiteral(
          "You may not use the Velmoran devices: ask the administrator to add you to the group "
          "velmoran (then log on again), or run the mounter as root.");
    }
    return Fail(drive.status().code(), dos);
  }
  const NtStatus status = drive->Mount(record);
  if (!NT_SUCCESS(status)) {
    ::unlink(definition.c_str());
    return Fail(Win32ErrorFromNtStatus(status), QStringLiteral("kodra:"));
  }
  // Linux's part of the drive: its volume. Without it the drive is of no
  // use, so a failure takes the mount back.
  QString explanation;
  const uint32_t attached = volumes_.Attach(
      letter, DiskOf(*drive, links_.DevicePath(index, record.sourceType)), &explanation);
  if (attached != 0) {
    (void)drive->Unmount();
    ::unlink(definition.c_str());
    last_explanation_ = explanation;
    return Fail(attached, dos);
  }
  last_error_ = 0;
  return 0;
}

uint32_t MountManager::UnmountDrive(char letter) {
  last_explanation_.clear();
  const QString dos = DosName(letter);
  QString opened;
  Result<DeviceControlClient> drive = OpenDrive(links_, letter, true, &opened);
  if (!drive.ok()) return Fail(drive.status().code(), dos);
  const DriveDisk disk = DiskOf(*drive, QFileInfo(opened).canonicalFilePath());
  // "Locking and dismounting the volume": unmounting its file system, which
  // fails while files are open there.
  const uint32_t detached = volumes_.Detach(letter, disk);
  if (detached != 0) return Fail(detached, dos);
  // The driver refuses too while its block device is in use elsewhere.
  const NtStatus status = drive->Unmount();
  if (!NT_SUCCESS(status)) {
    // Give the drive its volume back, so that it stays usable as it was.
    (void)volumes_.Attach(letter, disk, nullptr);
    return Fail(Win32ErrorFromNtStatus(status), QStringLiteral("kodra:"));
  }
  const std::string definition = Path(links_.DefinitionPath(letter));
  if (::unlink(definition.c_str()) != 0 && errno != ENOENT) {
    return Fail(platform::Win32ErrorFromErrno(errno), dos);
  }
  last_error_ = 0;
  return 0;
}

uint32_t MountManager::QueryDrive(char letter, MountRecord* output) {
  Result<DeviceControlClient> drive = OpenDrive(links_, letter, false);
  if (!drive.ok()) {
    last_error_ = drive.status().code();
    return last_error_;
  }
  const NtStatus status = drive->Query(output);
  last_error_ = NT_SUCCESS(status) ? 0 : Win32ErrorFromNtStatus(status);
  return last_error_;
}

MountRecord MountManager::BuildRecord(const AddDeviceAnswer& answer) const {
  MountRecord record;
  std::memset(&record, 0, sizeof record);
  record.driveLetter = static_cast<uint8_t>(answer.driveLetter);
  if (answer.type == 0) {
    record.virtualWrite = 1;
    record.sourceType = kSourceTypeNetwork;
    record.serverAddress = htonl(answer.ipAddress);
    record.serverPort = htons(static_cast<uint16_t>(answer.port));
    record.networkMarker = 1;
    SetCachePath(record, settings_.GetTempFolder());
  } else {
    record.sourceType = answer.type == 2 ? kSourceTypeCdImage : kSourceTypeDiskImage;
    SetPathField(record.sourceName, NtPathFromLinux(answer.fileName.left(260).toStdString()));
  }
  return record;
}

uint32_t MountManager::MountWithPrompts(int index, MountRecord& record, MountDialogs* dialogs) {
  if (std::optional<Sha1Digest> saved =
          settings_.ReadPassword(record.serverAddress, record.serverPort)) {
    std::memcpy(record.passwordDigest, saved->data(), saved->size());
  }
  const char letter = static_cast<char>(record.driveLetter);
  uint32_t error = MountOnDevice(index, record, letter);
  if (error != ERROR_INVALID_PASSWORD || dialogs == nullptr) return error;
  for (int prompt = 0; prompt < 3; ++prompt) {
    std::optional<PasswordAnswer> answer = dialogs->AskPassword();
    if (!answer) break;
    const Sha1Digest digest = PasswordDigest(answer->password.toStdString());
    std::memcpy(record.passwordDigest, digest.data(), digest.size());
    error = MountOnDevice(index, record, letter);
    if (error == 0) {
      if (answer->save) settings_.WritePassword(record.serverAddress, record.serverPort, digest);
      break;
    }
  }
  return error;
}

QString MountManager::ErrorText(uint32_t code) const {
  if (code == last_error_ && !last_explanation_.isEmpty()) return last_explanation_;
  return QString::fromStdString(Win32ErrorText(code));
}

QString MountManager::MountResultText(int result, FlowOrigin origin) const {
  const bool toolbar = origin == FlowOrigin::kToolbar;
  if (result == 0)
    return toolbar ? QStringLiteral("Mount successfully") : QStringLiteral("Mount success");
  if (result == kNoFreeDevice) return QStringLiteral("The maximum number of drives are mounted!");
  if (result == kCancelled) return QString();
  const QString text = ErrorText(static_cast<uint32_t>(result));
  return toolbar ? QStringLiteral("Communication error: %1").arg(text)
                 : QStringLiteral(
                       "Velmoran has encountered an error while mounting drive, error message: %1")
                       .arg(text);
}

int MountManager::AddAndMount(MountDialogs& dialogs, FlowOrigin origin) {
  const std::optional<AddDeviceAnswer> answer = dialogs.AskAddDevice();
  if (!answer) return kCancelled;
  AddDeviceDefaults defaults = settings_.ReadAddDeviceDefaults();
  defaults.type = answer->type;
  if (answer->type == 0) {
    defaults.ipAddress = answer->ipAddress;
    defaults.port = answer->port;
  } else {
    defaults.fileName = answer->fileName;
  }
  settings_.WriteAddDeviceDefaults(defaults);
  MountRecord record = BuildRecord(*answer);

  int result = kNoFreeDevice;
  for (int index = 0; index < kDeviceIndices; ++index) {
    const uint32_t error = MountWithPrompts(index, record, &dialogs);
    if (error == 0) {
      settings_.WriteDrive(index, record);
      dialogs.RefreshList();
      result = 0;
      break;
    }
    if (error == ERROR_SERVICE_ALREADY_RUNNING) continue;
    result = static_cast<int>(error);
    break;
  }
  const QString text = MountResultText(result, origin);
  if (!text.isEmpty()) {
    if (origin == FlowOrigin::kToolbar) {
      dialogs.ShowStatus(text);
    } else {
      dialogs.ShowMessage(text);
    }
  }
  return result;
}

namespace {
QString UnmountErrorText(const QString& text) {
  return QStringLiteral(
             "Unmount error: %1 the drive may be in use, please close some applications and "
             "retry.")
      .arg(text);
}
}  // namespace

void MountManager::UnmountSelected(MountDialogs& dialogs, const std::vector<char>& letters) {
  if (!letters.empty() &&
      dialogs.AskYesNo(QStringLiteral("Do you want to unmount these devices?"))) {
    for (char letter : letters) {
      const uint32_t error = UnmountDrive(letter);
      dialogs.ShowStatus(error != 0 ? UnmountErrorText(ErrorText(error))
                                    : QStringLiteral("Unmount successfully"));
    }
  }
  dialogs.RefreshList();
}

void MountManager::UnmountFromTray(MountDialogs& dialogs, char letter) {
  const uint32_t error = UnmountDrive(letter);
  if (error != 0) {
    dialogs.ShowMessage(UnmountErrorText(ErrorText(error)));
    return;
  }
  dialogs.RefreshList();
  dialogs.ShowMessage(QStringLiteral("Unmount success"));
}

void MountManager::RemountSelected(MountDialogs& dialogs, const std::vector<char>& letters) {
  if (letters.empty()) return;
  if (!dialogs.AskYesNo(QStringLiteral(
          "Remount these drives will cause disk reset and all the change will be lost in "
          "VirtualWrite mode, but also save cache data to server in Full Access mode, do you want "
          "to continue?"))) {
    return;
  }
  for (char letter : letters) {
    MountRecord record;
    std::memset(&record, 0, sizeof record);
    if (QueryDrive(letter, &record) != 0) continue;
    // The query gives neither the cache path nor the digest; the cache path
    // is rebuilt as the first mount built it. A present image file is never
    // to be created again, whatever size the query reported.
    record.imageSize = 0;
    if (record.sourceType == kSourceTypeNetwork) {
      record.networkMarker = 1;
      SetCachePath(record, settings_.GetTempFolder());
    }
    record.driveLetter = static_cast<uint8_t>(letter);
    (void)UnmountDrive(letter);
    QThread::msleep(static_cast<unsigned long>(remount_pause_.count()));
    uint32_t error = 0;
    bool mounted = false;
    for (int index = 0; index < kDeviceIndices && !mounted; ++index) {
      error = MountWithPrompts(index, record, &dialogs);
      mounted = error == 0;
    }
    if (mounted) {
      dialogs.RefreshList();
      dialogs.ShowStatus(QStringLiteral("Remount successfully"));
    } else {
      dialogs.ShowStatus(QStringLiteral("Remount error: %1").arg(ErrorText(error)));
    }
  }
}

std::vector<MountedDrive> MountManager::ListDrives() {
  std::vector<MountedDrive> drives;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    QString opened;
    Result<DeviceControlClient> drive = OpenDrive(links_, letter, false, &opened);
    if (!drive.ok()) continue;
    MountedDrive row;
    if (!NT_SUCCESS(drive->Query(&row.query))) continue;
    row.letter = letter;
    row.device = QStringLiteral("%1:").arg(QLatin1Char(letter));
    if (row.query.sourceType == kSourceTypeNetwork) {
      in_addr address{};
      address.s_addr = row.query.serverAddress;
      row.location = QStringLiteral("%1 : %2")
                         .arg(QString::fromLatin1(inet_ntoa(address)))
                         .arg(ntohs(row.query.serverPort));
    } else {
      row.location =
          QString::fromStdString(LinuxPathFromNt(PathField(row.query.sourceName).toStdString()));
    }
    row.capacity = CapacityText(row.query.imageSize);
    row.access = row.query.virtualWrite ? QStringLiteral("VirtualWrite") : QStringLiteral("Full");
    row.mountPoint = VolumeMountPoint(DiskOf(*drive, QFileInfo(opened).canonicalFilePath()));
    drives.push_back(row);
  }
  return drives;
}

std::vector<char> MountManager::FreeDriveLetters() {
  std::vector<char> letters;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (!OpenDrive(links_, letter, false).ok()) letters.push_back(letter);
  }
  return letters;
}

}  // namespace quensaria::mounter
