#include "mounter/mounter_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ini_file.h"
#include "shared/driver_layout.h"

namespace quensaria::mounter {
namespace {

const char kGroup[] = "Mounter";

QString EnvDir(const char* name, const QString& fallback) {
  const QByteArray value = qgetenv(name);
  // The XDG rules: a relative value is invalid and ignored.
  if (!value.isEmpty() && value.startsWith('/')) return QString::fromLocal8Bit(value);
  return fallback;
}

QString UserFile(const SettingsPaths& paths) {
  return paths.userConfigDir + QStringLiteral("/Ostravin/Velmoran.conf");
}
QString SystemFile(const SettingsPaths& paths) {
  return paths.systemConfigDir + QStringLiteral("/Ostravin/Velmoran.conf");
}

// Mode 0600 for the settings file, and only for a file: a folder (or
// anything else) in its place keeps its mode, or its owner could no longer
// go into it.
void RestrictToOwner(const QString& file) {
  const QByteArray name = QFile::encodeName(file);
  struct stat st;
  if (::stat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
      ::chmod(name.constData(), 0600) != 0) {
    // Left as it is: the write that follows says whether the file took it.
  }
}

// The user's file exists with mode 0600 in a 0700 folder before anything is
// written to it, so the digests are never readable by others.
void PrepareUserFile(const QString& file) {
  const QString dir = QFileInfo(file).absolutePath();
  if (!QDir().exists(dir)) {
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0700);
  }
  if (!QFile::exists(file)) {
    QFile f(file);
    if (f.open(QIODevice::WriteOnly)) f.close();
  }
  RestrictToOwner(file);
}

QVariant ReadMounterValue(const SettingsPaths& paths, const QString& key) {
  for (const QString& file : {UserFile(paths), SystemFile(paths)}) {
    if (!QFile::exists(file)) continue;
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kGroup));
    const QVariant value = settings.value(key);
    if (value.isValid()) return value;
  }
  return QVariant();
}

// Sets `values` and removes `removed` in `group` of the user's file. False
// when the file could not be written; then it is left as it was (a cut
// file is never renamed over it). The file stays 0600, and a linked file
// linked.
bool WriteUserValues(const SettingsPaths& paths, const QString& group,
                     const std::vector<std::pair<QString, QVariant>>& values,
                     const QStringList& removed = {}) {
  const QString file = UserFile(paths);
  PrepareUserFile(file);
  return platform::WriteIniValues(file, group, values, removed);
}

bool WriteUserValue(const SettingsPaths& paths, const QString& group, const QString& key,
                    const QVariant& value) {
  return WriteUserValues(paths, group, {{key, value}});
}

// Beside a digest: the server ("10.0.0.5:60000") it was saved for. Value
// names of two servers can be the same ("Password%x%x" has no padding), and
// a digest is as good as its password, so it goes to that server alone.
QString PasswordServerValueName(uint32_t address_net, uint16_t port_net) {
  return QStringLiteral("ServerOf") + MounterSettings::PasswordValueName(address_net, port_net);
}

QString PasswordServerText(uint32_t address_net, uint16_t port_net) {
  return QString::fromStdString(ServerText(MountServer{address_net, port_net}));
}

// A 4-byte binary value as a little-endian integer; `fallback` when missing
// or of another size.
uint32_t ReadDword(const SettingsPaths& paths, const char* key, uint32_t fallback) {
  const QByteArray bytes = ReadMounterValue(paths, QLatin1String(key)).toByteArray();
  if (bytes.size() != 4) return fallback;
  return qFromLittleEndian<uint32_t>(bytes.constData());
}

QByteArray Dword(uint32_t value) {
  QByteArray bytes(4, '\0');
  qToLittleEndian<uint32_t>(value, bytes.data());
  return bytes;
}

QString WithSlash(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder;
}

// The program as the Exec key wants it: an argument with a reserved
// character is quoted, with " ` $ \ escaped inside; then the value is
// escaped as a string (backslashes, line breaks) and % is doubled. A path
// left as it is, with a quote or a backslash in it, would not start.
QString ExecLine(const QString& program_path) {
  const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
  const bool quoted = std::any_of(program_path.cbegin(), program_path.cend(),
                                  [&](QChar c) { return reserved.contains(c); });
  QString argument;
  for (const QChar c : program_path) {
    if (quoted && QStringLiteral("\"`$\\").contains(c)) argument += QLatin1Char('\\');
    argument += c;
  }
  if (quoted) argument = QLatin1Char('"') + argument + QLatin1Char('"');
  QString value;
  for (const QChar c : argument) {
    if (c == QLatin1Char('\\')) {
      value += QLatin1String("\\\\");
    } else if (c == QLatin1Char('\n')) {
      value += QLatin1String("\\n");
    } else if (c == QLatin1Char('\t')) {
      value += QLatin1String("\\t");
    } else if (c == QLatin1Char('\r')) {
      value += QLatin1String("\\r");
    } else if (c == QLatin1Char('%')) {
      value += QLatin1String("%%");
    } else {
      value += c;
    }
  }
  return value + QStringLiteral(" -a");
}

}  // namespace

SettingsPaths SettingsPaths::Default() {
  const QString home = QDir::homePath();
  SettingsPaths paths;
  paths.userConfigDir = EnvDir("XDG_CONFIG_HOME", home + QStringLiteral("/.config"));
  QString system =
      QString::fromLocal8Bit(qgetenv("XDG_CONFIG_DIRS")).section(QLatin1Char(':'), 0, 0);
  if (!system.startsWith(QLatin1Char('/'))) system = QStringLiteral("/etc/xdg");
  paths.systemConfigDir = system;
  paths.cacheDir = EnvDir("XDG_CACHE_HOME", home + QStringLiteral("/.cache"));
  return paths;
}

MounterSettings::MounterSettings(SettingsPaths paths) : paths_(std::move(paths)) {}

AddDeviceDefaults MounterSettings::ReadAddDeviceDefaults() const {
  AddDeviceDefaults defaults;
  defaults.type = ReadDword(paths_, "Type", defaults.type);
  defaults.ipAddress = ReadDword(paths_, "IPAddress", defaults.ipAddress);
  defaults.port = ReadDword(paths_, "Port", defaults.port);
  const QVariant name = ReadMounterValue(paths_, QStringLiteral("FileName"));
  if (name.isValid()) defaults.fileName = name.toString();
  // A value of its own: settings from before several servers lack it.
  const QVariant more = ReadMounterValue(paths_, QStringLiteral("MoreServers"));
  if (more.isValid()) defaults.moreServers = more.toString().left(100);
  defaults.tls = ReadDword(paths_, "Tls", 0) != 0;
  return defaults;
}

bool MounterSettings::WriteAddDeviceDefaults(const AddDeviceDefaults& defaults) {
  return WriteUserValues(paths_, QLatin1String(kGroup),
                         {{QStringLiteral("Type"), Dword(defaults.type)},
                          {QStringLiteral("IPAddress"), Dword(defaults.ipAddress)},
                          {QStringLiteral("Port"), Dword(defaults.port)},
                          {QStringLiteral("FileName"), defaults.fileName},
                          {QStringLiteral("MoreServers"), defaults.moreServers},
                          {QStringLiteral("Tls"), Dword(defaults.tls ? 1 : 0)}});
}

std::optional<MountRecord> MounterSettings::ReadDrive(int index) const {
  if (index < 0 || index >= kDriveSlots) return std::nullopt;
  const QByteArray bytes =
      ReadMounterValue(paths_, QStringLiteral("Drive%1").arg(index)).toByteArray();
  if (bytes.size() != static_cast<int>(sizeof(MountRecord))) return std::nullopt;
  MountRecord record;
  std::memcpy(&record, bytes.constData(), sizeof record);
  return record;
}

bool MounterSettings::WriteDrive(int index, const MountRecord& record) {
  if (index < 0 || index >= kDriveSlots) return false;
  return WriteUserValue(paths_, QLatin1String(kGroup), QStringLiteral("Drive%1").arg(index),
                        QByteArray(reinterpret_cast<const char*>(&record), sizeof record));
}

bool MounterSettings::RemoveDrive(int index) {
  if (index < 0 || index >= kDriveSlots) return false;
  const QString key = QStringLiteral("Drive%1").arg(index);
  const QString file = UserFile(paths_);
  bool removed = true;
  if (QFile::exists(file)) removed = WriteUserValues(paths_, QLatin1String(kGroup), {}, {key});
  if (ReadDrive(index)) {
    removed = WriteUserValue(paths_, QLatin1String(kGroup), key, QByteArray()) && removed;
  }
  return removed;
}

QString MounterSettings::PasswordValueName(uint32_t address_net, uint16_t port_net) {
  // The record's bytes read as little-endian integers, as this machine does.
  return QStringLiteral("Password%1%2")
      .arg(qFromLittleEndian(address_net), 0, 16)
      .arg(qFromLittleEndian(port_net), 0, 16);
}

std::optional<Sha1Digest> MounterSettings::ReadPassword(uint32_t address_net,
                                                        uint16_t port_net) const {
  const QString name = PasswordValueName(address_net, port_net);
  for (const QString& file : {UserFile(paths_), SystemFile(paths_)}) {
    if (!QFile::exists(file)) continue;
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kGroup));
    const QVariant value = settings.value(name);
    if (!value.isValid()) continue;
    // The file that holds the digest says whose it is; one saved before
    // digests named their server is taken as it is.
    const QVariant server = settings.value(PasswordServerValueName(address_net, port_net));
    if (server.isValid() && server.toString() != PasswordServerText(address_net, port_net)) {
      return std::nullopt;
    }
    const QByteArray bytes = value.toByteArray();
    Sha1Digest digest{};
    if (bytes.size() < static_cast<int>(digest.size())) return std::nullopt;
    std::memcpy(digest.data(), bytes.constData(), digest.size());
    return digest;
  }
  return std::nullopt;
}

bool MounterSettings::WritePassword(uint32_t address_net, uint16_t port_net,
                                    const Sha1Digest& digest) {
  return WriteUserValues(
      paths_, QLatin1String(kGroup),
      {{PasswordValueName(address_net, port_net),
        QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<int>(digest.size()))},
       {PasswordServerValueName(address_net, port_net),
        PasswordServerText(address_net, port_net)}});
}

bool MounterSettings::RemovePassword(uint32_t address_net, uint16_t port_net) {
  const QString file = UserFile(paths_);
  bool removed = true;
  if (QFile::exists(file)) {
    removed = WriteUserValues(
        paths_, QLatin1String(kGroup), {},
        {PasswordValueName(address_net, port_net), PasswordServerValueName(address_net, port_net)});
  }
  if (ReadPassword(address_net, port_net)) {
    removed = WriteUserValue(paths_, QLatin1String(kGroup),
                             PasswordValueName(address_net, port_net), QByteArray()) &&
              removed;
  }
  return removed;
}

QString MounterSettings::DefaultTempFolder() const {
  return paths_.cacheDir + QStringLiteral("/velmoran/");
}

QString MounterSettings::GetTempFolder() const {
  QString folder;
  const QString file = UserFile(paths_);
  if (QFile::exists(file)) {
    QSettings settings(file, QSettings::IniFormat);
    folder = settings.value(QStringLiteral("TempFolder")).toString();
  }
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = DefaultTempFolder();
  folder = WithSlash(folder);
  QDir().mkpath(folder);
  return folder;
}

bool MounterSettings::SetTempFolder(const QString& folder) {
  return WriteUserValue(paths_, QString(), QStringLiteral("TempFolder"), folder);
}

QString MounterSettings::DriverRuntimeDir() const {
  const QString dir = ReadMounterValue(paths_, QStringLiteral("DriverRuntimeDir")).toString();
  return dir.isEmpty() ? QString::fromLatin1(kDefaultDriverRuntimeDir) : dir;
}

QString MounterSettings::UserFilePath() const { return UserFile(paths_); }

QString MounterSettings::LogOnEntryPath() const {
  return paths_.userConfigDir + QStringLiteral("/autostart/VelmoranMounter.desktop");
}

bool MounterSettings::HasLogOnEntry() const { return QFile::exists(LogOnEntryPath()); }

bool MounterSettings::WriteLogOnEntry(const QString& program_path) {
  const QString path = LogOnEntryPath();
  const QString folder = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(folder)) return false;
  const QString text = QStringLiteral(
                           "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=VelmoranMounter\n"
                           "Exec=%1\n"
                           "X-GNOME-Autostart-enabled=true\n")
                           .arg(ExecLine(program_path));
  // The entry itself is replaced: a link in its place is not followed, so
  // the file it names stays as it is. An entry of its own keeps its mode.
  const QByteArray name = QFile::encodeName(path);
  const QByteArray temp = name + ".new";
  struct stat st;
  const bool own_entry = ::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode);
  if (::unlink(temp.constData()) != 0 && errno != ENOENT) return false;
  const int fd =
      ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool written = (!own_entry || ::fchmod(fd, st.st_mode & 07777) == 0) &&
                 platform::WriteAll(fd, text.toUtf8()) && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  written = written && ::rename(temp.constData(), name.constData()) == 0;
  if (!written) {
    if (::unlink(temp.constData()) != 0) {
      // Nothing more to do: the entry itself is untouched.
    }
    return false;
  }
  return platform::SyncPath(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY);
}

bool MounterSettings::DeleteLogOnEntry() {
  const QString path = LogOnEntryPath();
  return !QFile::exists(path) || QFile::remove(path);
}

SettingsDialogValues OpenSettingsDialog(MounterSettings& settings, const QString& program_path) {
  SettingsDialogValues values;
  values.startAtLogOn = settings.HasLogOnEntry();
  if (values.startAtLogOn) values.logOnEntryRepaired = settings.WriteLogOnEntry(program_path);
  values.tempFolder = settings.GetTempFolder();
  return values;
}

QString AcceptSettingsDialog(MounterSettings& settings, const QString& program_path,
                             const SettingsDialogValues& values) {
  const QString folder = WithSlash(values.tempFolder.trimmed());
  QString stored;
  if (folder == QLatin1String("/")) {
    // The bare root stands for "no folder of my own": the default.
    stored = settings.DefaultTempFolder();
    QDir().mkpath(stored);
  } else {
    if (!folder.startsWith(QLatin1Char('/')) ||
        (!QFileInfo(folder).isDir() && !QDir().mkpath(folder)) || !QFileInfo(folder).isDir()) {
      return QStringLiteral("Path not exist or the path specified is invalid.");
    }
    stored = folder;
  }
  if (!settings.SetTempFolder(stored)) {
    return QStringLiteral("The settings could not be saved in %1.").arg(settings.UserFilePath());
  }
  if (values.startAtLogOn && !settings.WriteLogOnEntry(program_path)) {
    return QStringLiteral("The log-on entry %1 could not be written.")
        .arg(settings.LogOnEntryPath());
  }
  if (!values.startAtLogOn && !settings.DeleteLogOnEntry()) {
    return QStringLiteral("The log-on entry %1 could not be removed.")
        .arg(settings.LogOnEntryPath());
  }
  return QString();
}

}  // namespace quensaria::mounter
