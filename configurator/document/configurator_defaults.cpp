#include "configurator/document/configurator_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cstring>

#include "platform/ini_file.h"
#include "platform/thread_identity.h"

namespace quensaria::configurator {
namespace {

constexpr char kAutoAddClient[] = "AutoAddClient";
constexpr char kLoginPassword[] = "LoginPassword";
constexpr char kManagePassword[] = "ManagePassword";
// Those who manage the service, and so create exports with the defaults.
constexpr char kManagersGroup[] = "quensaria";
constexpr uint32_t kNoGroup = static_cast<uint32_t>(-1);

QString SystemFile() {
  QSettings settings(QSettings::IniFormat, QSettings::SystemScope, "Ostravin", "Quensaria");
  return settings.fileName();
}

// A REG_BINARY value of exactly `size` bytes, or nothing.
std::optional<QByteArray> ReadBinary(const QString& file, const char* name, int size) {
  QSettings settings(file, QSettings::IniFormat);
  const QVariant value = settings.value(name);
  if (!value.isValid()) return std::nullopt;
  const QByteArray bytes = value.toByteArray();
  if (bytes.size() != size) return std::nullopt;
  return bytes;
}

// A digest logs on as well as its password, so the file is no other
// user's: made 0640 for the managers' group (where it exists, so that they
// still read the defaults), and a file found readable by all loses that
// before the digest goes in. Its owner and group may read it; the rewrite
// (a checked copy renamed over it) keeps its mode and group. A `digest`
// does not go into a file readable by all that the writer may not make
// private (another user's): there it would stay readable. True when the
// value was written; on a full disk the file keeps the defaults it had.
bool WriteBinary(const QString& file, const char* name, const QByteArray& bytes, bool digest) {
  const QByteArray path = QFile::encodeName(file);
  struct stat before;
  if (::stat(path.constData(), &before) == 0) {
    if ((before.st_mode & 0007) != 0 && ::chmod(path.constData(), before.st_mode & 07770) != 0 &&
        digest) {
      return false;
    }
  } else {
    QDir().mkpath(QFileInfo(file).absolutePath());
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    const uint32_t managers = platform::GroupId(kManagersGroup, kNoGroup);
    // Without the right to, the file keeps the writer's group.
    if (managers != kNoGroup && ::fchown(fd, static_cast<uid_t>(-1), managers) != 0) {
    }
    if (::close(fd) != 0) return false;
  }
  return platform::WriteIniValues(file, QString(), {{QLatin1String(name), bytes}});
}

std::optional<Sha1Digest> ReadDigest(const QString& file, const char* name) {
  const std::optional<QByteArray> bytes =
      ReadBinary(file, name, static_cast<int>(sizeof(Sha1Digest)));
  if (!bytes) return std::nullopt;
  Sha1Digest digest{};
  std::memcpy(digest.data(), bytes->constData(), digest.size());
  return digest;
}

}  // namespace

ConfiguratorDefaults::ConfiguratorDefaults() : file_(SystemFile()) {}
ConfiguratorDefaults::ConfiguratorDefaults(QString file) : file_(std::move(file)) {}

bool ConfiguratorDefaults::AutoAddClient() const {
  const std::optional<QByteArray> bytes = ReadBinary(file_, kAutoAddClient, 4);
  if (!bytes) return true;
  uint32_t value = 0;
  std::memcpy(&value, bytes->constData(), sizeof value);
  return value != 0;
}

std::optional<Sha1Digest> ConfiguratorDefaults::LoginPassword() const {
  return ReadDigest(file_, kLoginPassword);
}

std::optional<Sha1Digest> ConfiguratorDefaults::ManagePassword() const {
  return ReadDigest(file_, kManagePassword);
}

bool ConfiguratorDefaults::SetAutoAddClient(bool on) {
  const uint32_t value = on ? 1 : 0;
  return WriteBinary(file_, kAutoAddClient,
                     QByteArray(reinterpret_cast<const char*>(&value), sizeof value), false);
}

bool ConfiguratorDefaults::SetLoginPassword(const Sha1Digest& digest) {
  return WriteBinary(
      file_, kLoginPassword,
      QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<int>(digest.size())),
      true);
}

bool ConfiguratorDefaults::SetManagePassword(const Sha1Digest& digest) {
  return WriteBinary(
      file_, kManagePassword,
      QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<int>(digest.size())),
      true);
}

}  // namespace quensaria::configurator
