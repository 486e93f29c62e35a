#include "mounter/mount_manager.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/errors.h"
#include "platform/tcp_table.h"
#include "shared/driver_layout.h"
#include "shared/nt_status.h"
#include "shared/password_digest.h"
#include "shared/utf16.h"
#include "shared/win32_error.h"
#include "shared/win32_error_text.h"

namespace quensaria::mounter {
namespace {

std::string Path(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString FromPath(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

QString DosName(char letter) { return FromPath(DriveLinkName(letter)); }

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

// An image path as the driver takes it: whole from the root. The driver
// runs elsewhere, so a relative one is taken from this program's folder.
QString WholeImagePath(const QString& path) {
  if (path.isEmpty() || QFileInfo(path).isAbsolute()) return path;
  return QFileInfo(path).absoluteFilePath();
}

// The cache path of a network disk: "\??\<temp folder><address><port>.dat".
void SetCachePath(MountRecord& record, const QString& temp_folder) {
  const QString file =
      temp_folder +
      QStringLiteral("%1%2.dat").arg(record.serverAddress, 0, 16).arg(record.serverPort, 0, 16);
  SetPathField(record.cachePath, NtPathFromLinux(file.toStdString()));
}

// Whether the folder of a network record's cache path (where the driver
// makes its cache file) no longer exists. An empty path leaves the folder
// to the driver.
bool CacheFolderGone(const MountRecord& record) {
  const std::filesystem::path cache = LinuxPathFromNt(PathField(record.cachePath).toStdString());
  if (cache.empty()) return false;
  const std::filesystem::path folder = cache.has_filename() ? cache.parent_path() : cache;
  std::error_code error;
  return !std::filesystem::is_directory(folder, error);
}

// The device a mounted drive's volume lives on: its device file and the
// block device the driver also serves it as, if any.
DriveDisk DiskOf(DeviceControl& drive, const QString& device_file) {
  std::string block;
  if (!NT_SUCCESS(drive.QueryBlockDevice(&block))) block.clear();
  return DriveDisk{device_file, QString::fromStdString(block)};
}

// The letters this process is defining right now: a link of one of them
// whose device is not mounted yet is a mount under way, not a stale link.
std::mutex pending_mutex;
std::set<char> pending_letters;

class PendingLetter {
 public:
  explicit PendingLetter(char letter) : letter_(letter) {
    std::scoped_lock lock(pending_mutex);
    pending_letters.insert(letter_);
  }
  ~PendingLetter() {
    std::scoped_lock lock(pending_mutex);
    pending_letters.erase(letter_);
  }
  PendingLetter(const PendingLetter&) = delete;
  PendingLetter& operator=(const PendingLetter&) = delete;

 private:
  char letter_;
};

bool IsPending(char letter) {
  std::scoped_lock lock(pending_mutex);
  return pending_letters.count(letter) != 0;
}

bool IsSymlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool DigestIsZero(const uint8_t* digest) {
  return std::all_of(digest, digest + sizeof(Sha1Digest), [](uint8_t b) { return b == 0; });
}

bool SameSource(const MountRecord& a, const MountRecord& b) {
  const bool network = a.sourceType == kSourceTypeNetwork;
  if (network != (b.sourceType == kSourceTypeNetwork)) return false;
  if (network) return a.serverAddress == b.serverAddress && a.serverPort == b.serverPort;
  return a.sourceType == b.sourceType && PathField(a.sourceName) == PathField(b.sourceName);
}

// "10.0.0.5 : 60000" or the image's path, as the list shows a source.
QString ResourceText(const MountRecord& record) {
  if (record.sourceType == kSourceTypeNetwork) {
    in_addr address{};
    address.s_addr = record.serverAddress;
    return QStringLiteral("%1 : %2")
        .arg(QString::fromLatin1(inet_ntoa(address)))
        .arg(ntohs(record.serverPort));
  }
  return QString::fromStdString(LinuxPathFromNt(PathField(record.sourceName).toStdString()));
}

// "10.0.0.6 : 60000 (server 2 of 2)", the one the driver is on now.
QString ServerListText(const std::vector<MountServer>& servers, size_t on) {
  MountRecord one{};
  one.sourceType = kSourceTypeNetwork;
  one.serverAddress = servers[on].address;
  one.serverPort = servers[on].port;
  return QStringLiteral("%1 (server %2 of %3)")
      .arg(ResourceText(one))
      .arg(on + 1)
      .arg(servers.size());
}

// The group that owns the driver's devices (velmoran, or disk where that
// group does not exist), for the message to a user outside it.
QString DeviceGroup(const DriveLinks& links) {
  struct stat st;
  const std::string devices = DeviceDir(Path(links.runtimeDir));
  if (::stat(devices.c_str(), &st) == 0) {
    if (const group* owner = ::getgrgid(st.st_gid)) return QString::fromLocal8Bit(owner->gr_name);
  }
  return QStringLiteral("velmoran");
}

QString NotInGroupExplanation(const DriveLinks& links) {
  const passwd* me = ::getpwuid(::getuid());
  const QString user = me != nullptr ? QString::fromLocal8Bit(me->pw_name) : QStringLiteral("USER");
  const QString group = DeviceGroup(links);
  return QStringLiteral(
             "You may not use the Velmoran devices: only members of the group \"%1\" may. Ask the "
             "administrator to add you (adduser %2 %1), then log on again; or run the mounter as "
             "root.")
      .arg(group, user);
}

// An image the driver could not open, named with the reason.
bool IsFileError(uint32_t code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
         code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_WRITE_PROTECT;
}

// What a failed step says to the user: the cause found on this machine,
// else the system's text of its code.
QString ErrorText(const Status& status) {
  if (!status.message().empty()) return QString::fromStdString(status.message());
  return QString::fromStdString(Win32ErrorText(status.code()));
}

// A mount's outcome as the flows return it.
int FlowResult(const Status& mount) {
  if (mount.code() == ERROR_SERVICE_ALREADY_RUNNING) return kNoFreeDevice;
  return static_cast<int>(mount.code());
}

// Sleeps `pause` in short steps; false when `prompts` says cancelled.
bool PauseUnlessCancelled(std::chrono::milliseconds pause, const UserPrompts* prompts) {
  const auto until = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < until) {
    if (prompts != nullptr && prompts->Cancelled()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    QThread::msleep(static_cast<unsigned long>(std::clamp<int64_t>(left.count(), 1, 50)));
  }
  return prompts == nullptr || !prompts->Cancelled();
}

}  // namespace

QString SourceText(const MountedDrive& drive) {
  return drive.connected ? drive.source : drive.source + QStringLiteral(" (disconnected)");
}

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
  const std::string name =
      DeviceName(source_type == kSourceTypeCdImage, static_cast<uint32_t>(index));
  return FromPath(DeviceFilePath(Path(runtimeDir), name));
}

QString DriveLinks::DefinitionPath(char letter) const {
  const QString dir =
      definitionsDir.isEmpty() ? FromPath(DriveDefinitionsDir(Path(runtimeDir))) : definitionsDir;
  return dir + QLatin1Char('/') + DosName(letter);
}

QString DriveLinks::GlobalLinkPath(char letter) const {
  return FromPath(GlobalDriveLinksDir(Path(runtimeDir)) + "/" + DriveLinkName(letter));
}

MountManager::MountManager(MounterSettings& settings, Volumes& volumes, DriveLinks links,
                           DeviceControls& devices)
    : settings_(settings), volumes_(volumes), devices_(devices), links_(std::move(links)) {}

struct MountManager::OpenedDrive {
  std::unique_ptr<DeviceControl> client;
  QString link;         // the link that opened it
  QString device_file;  // the driver's device file behind it
  MountRecord query{};  // the driver's answer
};

Status MountManager::Fail(uint32_t code, const QString& label, const QString& cause) {
  std::fprintf(stderr, "%s %s %d\n", label.toLocal8Bit().constData(), Win32ErrorText(code).c_str(),
               static_cast<int>(code));
  return Status(code, cause.toStdString());
}

Result<MountManager::OpenedDrive> MountManager::OpenMounted(char letter, bool write) {
  uint32_t first_error = ERROR_FILE_NOT_FOUND;
  const QString device_dir =
      QFileInfo(FromPath(DeviceDir(Path(links_.runtimeDir)))).canonicalFilePath();
  for (const bool own : {true, false}) {
    const QString link = own ? links_.DefinitionPath(letter) : links_.GlobalLinkPath(letter);
    const std::string path = Path(link);
    const QString device_file = QFileInfo(link).canonicalFilePath();
    bool names_device = true;
    Result<std::unique_ptr<DeviceControl>> opened = Status(ERROR_FILE_NOT_FOUND, std::string());
    if (!own) {
      opened = devices_.Open(path, write);
    } else if (device_file.isEmpty()) {
      // No link, or nothing behind it: said as opening it would.
      struct stat st;
      if (::stat(path.c_str(), &st) != 0) {
        opened = Status(platform::Win32ErrorFromErrno(errno), std::string());
      }
    } else if (QFileInfo(device_file).absolutePath() != device_dir) {
      names_device = false;
    } else {
      // Any user of the devices may put a link here: the device file is
      // opened by its own path, never through the link, which its owner
      // may point elsewhere meanwhile (a pipe would wait for ever).
      opened = devices_.Open(Path(device_file), write);
    }
    bool stale = false;
    if (opened.ok()) {
      MountRecord query;
      const NtStatus status = (*opened)->Query(&query);
      if (NT_SUCCESS(status) && query.driveLetter == static_cast<uint8_t>(letter)) {
        return OpenedDrive{std::move(*opened), link, device_file, query};
      }
      // Its device holds nothing, or another letter's drive.
      stale = true;
    } else if (!names_device) {
      stale = true;
    } else {
      const uint32_t code = opened.status().code();
      if (first_error == ERROR_FILE_NOT_FOUND) first_error = code;
      stale = code == ERROR_FILE_NOT_FOUND && IsSymlink(path);  // its device is gone
    }
    // A stale link of the mounter's own goes, unless it is a mount of this
    // process under way; one of another user's stays (the folder is sticky)
    // and is ignored like the driver's.
    if (own && stale && !IsPending(letter)) ::unlink(path.c_str());
  }
  return Status(first_error, std::string());
}

Status MountManager::MountOnDevice(int index, const MountRecord& record, char letter) {
  const QString dos = DosName(letter);
  if (letter < 'A' || letter > 'Z' || index < 0 || index >= kDeviceIndices) {
    return Fail(ERROR_INVALID_PARAMETER, dos);
  }
  if (OpenMounted(letter, false).ok()) return Fail(ERROR_BUSY, dos);
  PendingLetter pending(letter);

  // The letter's definition. A stale one of ours is replaced; one another
  // user left cannot be, and then the device file is opened directly: the
  // driver's own link names the drive once it is mounted.
  const std::string definition = Path(links_.DefinitionPath(letter));
  const std::string device = Path(links_.DevicePath(index, record.sourceType));
  QString cause;
  if (::access(device.c_str(), F_OK) != 0 && errno == ENOENT) {
    cause = QStringLiteral(
                "The Velmoran driver is not running (no devices in %1): start velmoran as root "
                "and try again.")
                .arg(links_.runtimeDir);
  }
  ::unlink(definition.c_str());
  bool defined = ::symlink(device.c_str(), definition.c_str()) == 0;
  if (!defined && errno != EEXIST) {
    const int saved_errno = errno;
    if (saved_errno == EACCES || saved_errno == EPERM) cause = NotInGroupExplanation(links_);
    return Fail(platform::Win32ErrorFromErrno(saved_errno), dos, cause);
  }
  const auto undefine = [&] {
    if (defined) ::unlink(definition.c_str());
  };
  Result<std::unique_ptr<DeviceControl>> opened =
      devices_.Open(defined ? definition : device, true);
  if (!opened.ok()) {
    undefine();
    if (opened.status().code() == ERROR_ACCESS_DENIED) cause = NotInGroupExplanation(links_);
    return Fail(opened.status().code(), dos, cause);
  }
  DeviceControl& drive = **opened;
  const NtStatus status = drive.Mount(record);
  if (!NT_SUCCESS(status)) {
    undefine();
    const uint32_t code = Win32ErrorFromNtStatus(status);
    if (record.sourceType != kSourceTypeNetwork && IsFileError(code)) {
      cause = QStringLiteral("The image file %1 cannot be used: %2")
                  .arg(ResourceText(record), QString::fromStdString(Win32ErrorText(code)));
    }
    return Fail(code, QStringLiteral("kodra:"), cause);
  }
  // Linux's part of the drive: its volume. Without it the drive is of no
  // use, so a failure takes the mount back.
  const Status attached =
      volumes_.Attach(letter, DiskOf(drive, links_.DevicePath(index, record.sourceType)));
  if (!attached.ok()) {
    (void)drive.Unmount();
    undefine();
    return Fail(attached.code(), dos, QString::fromStdString(attached.message()));
  }
  return Status::Ok();
}

Status MountManager::UnmountDrive(char letter) {
  const QString dos = DosName(letter);
  Result<OpenedDrive> drive = OpenMounted(letter, true);
  if (!drive.ok()) return Fail(drive.status().code(), dos);
  const DriveDisk disk = DiskOf(*drive->client, drive->device_file);
  // "Locking and dismounting the volume": unmounting its file system, which
  // fails while files are open there.
  const Status detached = volumes_.Detach(letter, disk);
  if (!detached.ok()) return Fail(detached.code(), dos);
  // The driver refuses too while its block device is in use elsewhere.
  const NtStatus status = drive->client->Unmount();
  if (!NT_SUCCESS(status)) {
    // Give the drive its volume back, so that it stays usable as it was.
    (void)volumes_.Attach(letter, disk);
    return Fail(Win32ErrorFromNtStatus(status), QStringLiteral("kodra:"));
  }
  // The definition goes with the drive. One another user left stays: it
  // names no mounted drive from now on.
  const std::string definition = Path(links_.DefinitionPath(letter));
  if (::unlink(definition.c_str()) != 0 && errno != ENOENT && errno != EPERM && errno != EACCES) {
    return Fail(platform::Win32ErrorFromErrno(errno), dos);
  }
  return Status::Ok();
}

Result<MountRecord> MountManager::QueryDrive(char letter) {
  Result<OpenedDrive> drive = OpenMounted(letter, false);
  if (!drive.ok()) return drive.status();
  return drive->query;
}

MountRecord MountManager::BuildRecord(const AddDeviceAnswer& answer) const {
  MountRecord record;
  std::memset(&record, 0, sizeof record);
  record.driveLetter = static_cast<uint8_t>(answer.driveLetter);
  if (answer.type == 0) {
    record.virtualWrite = 1;
    record.sourceType = kSourceTypeNetwork;
    std::vector<MountServer> servers = {
        {htonl(answer.ipAddress), htons(static_cast<uint16_t>(answer.port))}};
    servers.insert(servers.end(), answer.moreServers.begin(), answer.moreServers.end());
    if (servers.size() > kMaxMountServers) servers.resize(kMaxMountServers);
    record.serverAddress = servers[0].address;
    record.serverPort = servers[0].port;
    (void)SetMountServers(record, servers);
    record.networkMarker = 1;
    if (answer.tls) reinterpret_cast<uint8_t*>(&record)[kMountFlagsOffset] |= kMountFlagTls;
    SetCachePath(record, settings_.GetTempFolder());
  } else {
    record.sourceType = answer.type == 2 ? kSourceTypeCdImage : kSourceTypeDiskImage;
    SetPathField(record.sourceName, NtPathFromLinux(WholeImagePath(answer.fileName).toStdString()));
  }
  return record;
}

bool MountManager::FillDigest(MountRecord& record) const {
  if (record.sourceType != kSourceTypeNetwork) return false;
  if (std::optional<Sha1Digest> saved =
          settings_.ReadPassword(record.serverAddress, record.serverPort)) {
    std::memcpy(record.passwordDigest, saved->data(), saved->size());
    return true;
  }
  // Nothing saved: an export without a password takes the empty one.
  const Sha1Digest empty = PasswordDigest("");
  if (!DigestIsZero(record.passwordDigest)) {
    // A saved drive's own; the empty one is what an attempt on an earlier
    // device put there, no saved password.
    return std::memcmp(record.passwordDigest, empty.data(), empty.size()) != 0;
  }
  std::memcpy(record.passwordDigest, empty.data(), empty.size());
  return false;
}

Status MountManager::MountWithPrompts(int index, MountRecord& record, UserPrompts* prompts) {
  constexpr int kMaxPrompts = 3;
  const bool from_saved = FillDigest(record);
  const char letter = static_cast<char>(record.driveLetter);
  Status mounted = MountOnDevice(index, record, letter);
  if (mounted.code() != ERROR_INVALID_PASSWORD || prompts == nullptr) return mounted;
  PasswordPrompt prompt = from_saved ? PasswordPrompt::kSavedRefused : PasswordPrompt::kNeeded;
  for (int asked = 0; asked < kMaxPrompts && !prompts->Cancelled(); ++asked) {
    std::optional<PasswordAnswer> answer = prompts->AskPassword(prompt, ResourceText(record));
    if (!answer) break;
    const Sha1Digest digest = PasswordDigest(answer->password.toStdString());
    std::memcpy(record.passwordDigest, digest.data(), digest.size());
    mounted = MountOnDevice(index, record, letter);
    if (mounted.ok()) {
      if (answer->save) {
        if (!settings_.WritePassword(record.serverAddress, record.serverPort, digest)) {
          prompts->Message(QStringLiteral("The password could not be saved in %1.")
                               .arg(settings_.UserFilePath()));
        }
      } else if (const std::optional<Sha1Digest> saved =
                     settings_.ReadPassword(record.serverAddress, record.serverPort);
                 saved && *saved != digest) {
        // Kept, the refused digest would be tried first at every mount.
        if (!settings_.RemovePassword(record.serverAddress, record.serverPort)) {
          prompts->Message(QStringLiteral("The refused password could not be removed from %1.")
                               .arg(settings_.UserFilePath()));
        }
      }
      break;
    }
    // Only a refused password is asked for again; any other failure is
    // the answer.
    if (mounted.code() != ERROR_INVALID_PASSWORD) break;
    prompt = PasswordPrompt::kRefused;
  }
  return mounted;
}

Result<int> MountManager::MountOnAnyDevice(int first, MountRecord& record, UserPrompts* prompts) {
  Status mounted(ERROR_SERVICE_ALREADY_RUNNING, std::string());
  for (int n = 0; n < kDeviceIndices; ++n) {
    // `first`, then the others in order.
    const int index = n == 0 ? first : (n <= first ? n - 1 : n);
    if (prompts != nullptr && prompts->Cancelled()) return mounted;
    mounted = MountWithPrompts(index, record, prompts);
    if (mounted.ok()) return index;
    if (mounted.code() != ERROR_SERVICE_ALREADY_RUNNING) return mounted;
  }
  return mounted;
}

MountRecord MountManager::SavedCopy(const MountRecord& record) const {
  MountRecord saved = record;
  // The credential stays only where the user chose to save it.
  std::memset(saved.passwordDigest, 0, sizeof saved.passwordDigest);
  if (record.sourceType == kSourceTypeNetwork) {
    if (std::optional<Sha1Digest> digest =
            settings_.ReadPassword(record.serverAddress, record.serverPort)) {
      std::memcpy(saved.passwordDigest, digest->data(), digest->size());
    }
  }
  return saved;
}

std::optional<int> MountManager::ChooseSavedSlot(const MountRecord& record, int index,
                                                 UserPrompts& prompts) {
  std::optional<int> free_slot;
  for (int slot = 0; slot < kDriveSlots; ++slot) {
    const std::optional<MountRecord> saved = settings_.ReadDrive(slot);
    if (!saved) {
      if (!free_slot) free_slot = slot;
      continue;
    }
    // The same drive letter, or the same source: this drive's own record.
    if (saved->driveLetter == record.driveLetter || SameSource(*saved, record)) return slot;
  }
  if (free_slot) return free_slot;
  const std::optional<MountRecord> replaced = settings_.ReadDrive(index);
  const QString which = replaced ? QStringLiteral("%1: (%2)")
                                       .arg(QLatin1Char(static_cast<char>(replaced->driveLetter)))
                                       .arg(ResourceText(*replaced))
                                 : QString();
  if (prompts.Question(QStringLiteral("The mounter keeps eight drives to mount again at log-on, "
                                      "and all eight are taken. Replace the saved drive %1 "
                                      "with this one?")
                           .arg(which))) {
    return index;
  }
  return std::nullopt;
}

QString MountResultText(const Status& mount, FlowOrigin origin) {
  const bool toolbar = origin == FlowOrigin::kToolbar;
  if (mount.ok())
    return toolbar ? QStringLiteral("Mount successfully") : QStringLiteral("Mount success");
  if (FlowResult(mount) == kNoFreeDevice) {
    return QStringLiteral("The maximum number of drives are mounted!");
  }
  const QString text = ErrorText(mount);
  if (!toolbar) {
    return QStringLiteral(
               "Velmoran has encountered an error while mounting drive, error message: %1")
        .arg(text);
  }
  // A cause on this machine (rights, the driver, UDisks2, the image file)
  // is no communication error.
  const bool local = !mount.message().empty();
  return (local ? QStringLiteral("Mount error: %1") : QStringLiteral("Communication error: %1"))
      .arg(text);
}

int MountManager::AddAndMount(UserPrompts& prompts, FlowOrigin origin) {
  AddDeviceDefaults defaults = settings_.ReadAddDeviceDefaults();
  const std::optional<AddDeviceAnswer> answer = prompts.AskAddDevice(defaults, FreeDriveLetters());
  if (!answer) return kCancelled;
  defaults.type = answer->type;
  if (answer->type == 0) {
    defaults.ipAddress = answer->ipAddress;
    defaults.port = answer->port;
    QStringList more;
    for (const MountServer& s : answer->moreServers) more << QString::fromStdString(ServerText(s));
    defaults.moreServers = more.join(QStringLiteral(", "));
    defaults.tls = answer->tls;
  } else {
    defaults.fileName = answer->fileName;
  }
  if (!settings_.WriteAddDeviceDefaults(defaults)) {
    prompts.Message(
        QStringLiteral("The settings could not be saved in %1.").arg(settings_.UserFilePath()));
  }
  MountRecord record = BuildRecord(*answer);
  const char letter = static_cast<char>(record.driveLetter);
  // A path cut to fit would name another file, which the driver would open.
  const QString image = WholeImagePath(answer->fileName);
  const bool too_long = answer->type != 0 && image.size() > kMaxImagePathLength;
  if (!too_long) {
    prompts.ShowProgress(
        QStringLiteral("Mounting %1: (%2)...").arg(QLatin1Char(letter)).arg(ResourceText(record)));
  }

  const Result<int> used =
      too_long ? Result<int>(Fail(ERROR_FILENAME_EXCED_RANGE, DosName(letter),
                                  QStringLiteral("The image file %1 cannot be used: %2")
                                      .arg(image, QString::fromStdString(
                                                      Win32ErrorText(ERROR_FILENAME_EXCED_RANGE)))))
               : MountOnAnyDevice(0, record, &prompts);
  if (prompts.Cancelled()) {
    // The user stopped waiting: a mount that came through after all is
    // taken back, and nothing is saved or shown.
    if (used.ok()) (void)UnmountDrive(letter);
    return kCancelled;
  }
  if (used.ok()) {
    if (const std::optional<int> slot = ChooseSavedSlot(record, used.value(), prompts)) {
      bool saved_all = settings_.WriteDrive(*slot, SavedCopy(record));
      // Another slot of the same drive (its letter in one, its source in
      // the other) would mount a second drive on the letter at log-on.
      for (int other = 0; other < kDriveSlots; ++other) {
        if (other == *slot) continue;
        const std::optional<MountRecord> saved = settings_.ReadDrive(other);
        if (saved && (saved->driveLetter == record.driveLetter || SameSource(*saved, record))) {
          saved_all = settings_.RemoveDrive(other) && saved_all;
        }
      }
      if (!saved_all) {
        prompts.Message(
            QStringLiteral(
                "Drive %1: is mounted but could not be saved in %2; it will not be mounted "
                "again at log-on.")
                .arg(QLatin1Char(letter))
                .arg(settings_.UserFilePath()));
      }
    }
    prompts.RefreshList();
  }
  const Status mounted = used.ok() ? Status::Ok() : used.status();
  const QString text = MountResultText(mounted, origin);
  if (origin == FlowOrigin::kToolbar) {
    prompts.StatusText(text);
  } else {
    prompts.Message(text);
  }
  return FlowResult(mounted);
}

namespace {
QString UnmountErrorText(const QString& text) {
  return QStringLiteral(
             "Unmount error: %1 the drive may be in use, please close some applications and "
             "retry.")
      .arg(text);
}
}  // namespace

void MountManager::UnmountSelected(UserPrompts& prompts, const std::vector<char>& letters) {
  if (!letters.empty() &&
      prompts.Question(QStringLiteral("Do you want to unmount these devices?"))) {
    // The status bar keeps one text: a drive that failed stays the news
    // however the drives after it went.
    bool failed = false;
    for (char letter : letters) {
      if (prompts.Cancelled()) break;
      prompts.ShowProgress(QStringLiteral("Unmounting %1:...").arg(QLatin1Char(letter)));
      const Status unmounted = UnmountDrive(letter);
      if (!unmounted.ok()) {
        failed = true;
        prompts.StatusText(UnmountErrorText(ErrorText(unmounted)));
      } else if (!failed) {
        prompts.StatusText(QStringLiteral("Unmount successfully"));
      }
    }
  }
  prompts.RefreshList();
}

void MountManager::UnmountFromTray(UserPrompts& prompts, char letter) {
  prompts.ShowProgress(QStringLiteral("Unmounting %1:...").arg(QLatin1Char(letter)));
  const Status unmounted = UnmountDrive(letter);
  if (!unmounted.ok()) {
    prompts.Message(UnmountErrorText(ErrorText(unmounted)));
    return;
  }
  prompts.RefreshList();
  prompts.Message(QStringLiteral("Unmount success"));
}

void MountManager::RemountSelected(UserPrompts& prompts, const std::vector<char>& letters) {
  if (letters.empty()) return;
  if (!prompts.Question(QStringLiteral(
          "Remount these drives will cause disk reset and all the change will be lost in "
          "VirtualWrite mode, but also save cache data to server in Full Access mode, do you want "
          "to continue?"))) {
    return;
  }
  // As for unmounts: a drive that failed stays the status bar's news.
  bool failed = false;
  for (char letter : letters) {
    if (prompts.Cancelled()) return;
    Result<MountRecord> queried = QueryDrive(letter);
    if (!queried.ok()) {
      // Gone since it was listed: nothing to mount again, but say so.
      failed = true;
      prompts.StatusText(QStringLiteral("Remount error: %1").arg(ErrorText(queried.status())));
      continue;
    }
    MountRecord record = queried.value();
    prompts.ShowProgress(QStringLiteral("Remounting %1: (%2)...")
                             .arg(QLatin1Char(letter))
                             .arg(ResourceText(record)));
    // The query gives neither the cache path nor the digest; the cache path
    // is rebuilt as the first mount built it. A present image file is never
    // to be created again, whatever size the query reported.
    record.imageSize = 0;
    if (record.sourceType == kSourceTypeNetwork) {
      record.networkMarker = 1;
      SetCachePath(record, settings_.GetTempFolder());
      // The query gives the connections open now, maybe fewer than were
      // asked for; the first mount left their number to the driver.
      SetMountConnections(record, 0);
    }
    record.driveLetter = static_cast<uint8_t>(letter);
    if (const Status unmounted = UnmountDrive(letter); !unmounted.ok()) {
      // The drive stays as it was; a mount now would only find it in use.
      failed = true;
      prompts.StatusText(QStringLiteral("Remount error: %1").arg(ErrorText(unmounted)));
      continue;
    }
    // A cancel during the pause still mounts the drive again: it was the
    // user's, and it comes back as it was.
    (void)PauseUnlessCancelled(remount_pause_, nullptr);
    if (prompts.Cancelled()) {
      // So does a cancel during the unmount: the mount goes on without
      // prompts (which would stop it at once) and shows nothing.
      (void)MountOnAnyDevice(0, record, nullptr);
      return;
    }
    const Result<int> mounted = MountOnAnyDevice(0, record, &prompts);
    if (mounted.ok()) {
      prompts.RefreshList();
      if (!failed) prompts.StatusText(QStringLiteral("Remount successfully"));
    } else {
      failed = true;
      prompts.StatusText(QStringLiteral("Remount error: %1").arg(ErrorText(mounted.status())));
    }
  }
}

int MountManager::MountSavedDrives(UserPrompts* prompts, int passes,
                                   std::chrono::milliseconds interval, int* not_mounted) {
  std::array<bool, kDriveSlots> done{};
  std::array<bool, kDriveSlots> asked{};
  std::array<Status, kDriveSlots> failed{};  // each slot's last failure
  QStringList mounted;
  const auto count_left = [&] {
    if (not_mounted == nullptr) return;
    *not_mounted = 0;
    for (int slot = 0; slot < kDriveSlots; ++slot) {
      if (!done[slot] && settings_.ReadDrive(slot)) ++*not_mounted;
    }
  };
  for (int pass = 0; pass < passes; ++pass) {
    bool waiting = false;
    for (int slot = 0; slot < kDriveSlots; ++slot) {
      if (done[slot]) continue;
      const std::optional<MountRecord> saved = settings_.ReadDrive(slot);
      if (!saved) {
        done[slot] = true;
        continue;
      }
      const char letter = static_cast<char>(saved->driveLetter);
      // Saved before Add Device refused it: 0.0.0.0 reaches this machine
      // itself, no server. Never mounted, and never done.
      if (saved->sourceType == kSourceTypeNetwork && saved->serverAddress == 0) {
        failed[slot] = Status(ERROR_INVALID_PARAMETER, "0.0.0.0 is no server");
        continue;
      }
      // Mounted already (by an earlier start, or by the user): done.
      if (Result<OpenedDrive> there = OpenMounted(letter, false);
          there.ok() && SameSource(there->query, *saved)) {
        done[slot] = true;
        continue;
      }
      if (prompts != nullptr) {
        if (prompts->Cancelled()) {
          count_left();
          return static_cast<int>(mounted.size());
        }
        prompts->ShowProgress(QStringLiteral("Mounting the saved drive %1: (%2)...")
                                  .arg(QLatin1Char(letter))
                                  .arg(ResourceText(*saved)));
      }
      MountRecord record = *saved;
      // A cache folder removed since (another temporary folder chosen)
      // would fail every pass: the temporary folder of now serves instead.
      if (record.sourceType == kSourceTypeNetwork && CacheFolderGone(record)) {
        SetCachePath(record, settings_.GetTempFolder());
      }
      // The password is asked for in the first pass that meets a refusal
      // only; later passes are silent.
      UserPrompts* asking = asked[slot] ? nullptr : prompts;
      const Result<int> used = MountOnAnyDevice(slot, record, asking);
      if (!used.ok() && used.status().code() == ERROR_INVALID_PASSWORD) asked[slot] = true;
      if (!used.ok()) failed[slot] = used.status();
      if (used.ok()) {
        done[slot] = true;
        mounted.append(DosName(letter));
        // A digest of the slot's own that the log-on did not use (refused,
        // or put aside by a saved password) would be sent first at every
        // log-on: the slot takes what a mount saves.
        if (!DigestIsZero(saved->passwordDigest) &&
            std::memcmp(saved->passwordDigest, record.passwordDigest,
                        sizeof record.passwordDigest) != 0) {
          MountRecord kept = *saved;
          std::memcpy(kept.passwordDigest, SavedCopy(record).passwordDigest,
                      sizeof kept.passwordDigest);
          if (!settings_.WriteDrive(slot, kept)) {
            // Left as it was: the drive is mounted; the next log-on tries the
            // old digest first and asks again.
          }
        }
        if (prompts != nullptr) prompts->RefreshList();
      } else {
        waiting = true;
      }
    }
    if (prompts != nullptr && (!waiting || pass + 1 == passes)) break;
    if (!PauseUnlessCancelled(interval, prompts)) break;
  }
  if (prompts != nullptr && !prompts->Cancelled()) {
    // Those left are said too: the user would take them for mounted.
    QStringList left;
    for (int slot = 0; slot < kDriveSlots; ++slot) {
      if (done[slot] || failed[slot].ok()) continue;
      const std::optional<MountRecord> saved = settings_.ReadDrive(slot);
      if (!saved) continue;
      left.append(QStringLiteral("%1 (%2)")
                      .arg(DosName(static_cast<char>(saved->driveLetter)))
                      .arg(MountResultText(failed[slot], FlowOrigin::kToolbar)));
    }
    QString text;
    if (!mounted.isEmpty())
      text = QStringLiteral("Saved drives mounted: %1").arg(mounted.join(", "));
    if (!left.isEmpty()) {
      text = text.isEmpty() ? QStringLiteral("Saved drives not mounted: %1").arg(left.join(", "))
                            : QStringLiteral("%1; not mounted: %2").arg(text, left.join(", "));
    }
    if (!text.isEmpty()) prompts->StatusText(text);
  }
  count_left();
  return static_cast<int>(mounted.size());
}

std::vector<MountedDrive> MountManager::ListDrives() {
  std::vector<MountedDrive> drives;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    Result<OpenedDrive> drive = OpenMounted(letter, false);
    if (!drive.ok()) continue;
    MountedDrive row;
    row.query = drive->query;
    row.letter = letter;
    row.device = QStringLiteral("%1:").arg(QLatin1Char(letter));
    row.deviceFile = drive->device_file;
    row.source = ResourceText(row.query);
    if (row.query.sourceType == kSourceTypeNetwork) {
      // The server the driver is on now, which may not be the first.
      const std::vector<MountServer> servers = MountServers(row.query);
      // A number past the servers listed (a driver that keeps more than
      // this mounter reads) stands for the first.
      size_t on = CurrentServer(row.query);
      if (on >= servers.size()) on = 0;
      MountServer now{row.query.serverAddress, row.query.serverPort};
      if (on < servers.size()) now = servers[on];
      if (servers.size() > 1) row.source = ServerListText(servers, on);
      row.connected = platform::TcpConnectionEstablished(now.address, ntohs(now.port));
    }
    row.capacity = CapacityText(row.query.imageSize);
    row.access = row.query.virtualWrite ? QStringLiteral("VirtualWrite") : QStringLiteral("Full");
    const DriveDisk disk = DiskOf(*drive->client, row.deviceFile);
    row.mountPoint = volumes_.MountPoint(disk);
    if (!row.mountPoint.isEmpty()) {
      row.location = row.mountPoint;
    } else if (!disk.blockDevice.isEmpty()) {
      row.location = disk.blockDevice;
    } else {
      row.location = VolumeLoopDevice(row.deviceFile);
    }
    drives.push_back(row);
  }
  return drives;
}

std::vector<char> MountManager::FreeDriveLetters() {
  std::vector<char> letters;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (!IsPending(letter) && !OpenMounted(letter, false).ok()) letters.push_back(letter);
  }
  return letters;
}

}  // namespace quensaria::mounter
