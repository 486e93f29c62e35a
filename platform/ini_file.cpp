#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QSettings>
#include <algorithm>
#include <cerrno>
#include <optional>

namespace quensaria::platform {
namespace {

// Gives the checked copy `name` the file's group and permission bits (the
// group first: a chown can clear set-id bits), then puts it on the disk. A
// group the writer may not give leaves the writer's.
bool FinishCopy(const QByteArray& name, const struct stat& file) {
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool done = ::fstat(fd, &st) == 0;
  if (done && st.st_gid != file.st_gid && ::fchown(fd, static_cast<uid_t>(-1), file.st_gid) != 0) {
    // Not the writer's to give: the writer's group stays.
  }
  done = done && ::fchmod(fd, file.st_mode & 07777) == 0 && ::fsync(fd) == 0;
  return ::close(fd) == 0 && done;
}

// Applies the changes to the copy `temp` with QSettings and gives every
// value the file is meant to hold then, or nothing when QSettings said no.
std::optional<QMap<QString, QVariant>> EditCopy(
    const QString& temp, const QString& group,
    const std::vector<std::pair<QString, QVariant>>& values, const QStringList& removed) {
  QSettings settings(temp, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) return std::nullopt;
  if (!group.isEmpty()) settings.beginGroup(group);
  for (const QString& key : removed) settings.remove(key);
  for (const auto& [key, value] : values) settings.setValue(key, value);
  settings.sync();
  if (settings.status() != QSettings::NoError) return std::nullopt;
  if (!group.isEmpty()) settings.endGroup();
  QMap<QString, QVariant> meant;
  for (const QString& key : settings.allKeys()) meant.insert(key, settings.value(key));
  return meant;
}

// Reads `file` (a name QSettings has not seen, so it is read from the disk,
// not from QSettings' cache) and compares it with what was meant to be in it.
bool HoldsExactly(const QString& file, const QMap<QString, QVariant>& meant) {
  const QSettings back(file, QSettings::IniFormat);
  if (back.status() != QSettings::NoError) return false;
  const QStringList keys = back.allKeys();
  if (keys.size() != meant.size()) return false;
  return std::all_of(keys.cbegin(), keys.cend(), [&](const QString& key) {
    const auto it = meant.constFind(key);
    return it != meant.cend() && *it == back.value(key);
  });
}

// A new 0600 file "<name>.XXXXXX" beside `name` holding `contents`; its
// name, or empty.
QByteArray NewTemporary(const QByteArray& name, const QByteArray& contents) {
  QByteArray temp = name + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return QByteArray();
  bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, contents);
  written = ::close(fd) == 0 && written;
  if (!written) {
    if (::unlink(temp.constData()) != 0) {
      // Nothing more to do: only the temporary is left over.
    }
    return QByteArray();
  }
  return temp;
}

}  // namespace

bool WriteAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

bool SyncPath(const QByteArray& name, int flags) {
  const int fd = ::open(name.constData(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}

bool WriteIniValues(const QString& file, const QString& group,
                    const std::vector<std::pair<QString, QVariant>>& values,
                    const QStringList& removed) {
  QLockFile lock(file + QStringLiteral(".lock"));
  if (!lock.lock()) return false;
  const QFileInfo info(file);
  const QString target = info.isSymLink() ? info.canonicalFilePath() : file;
  if (target.isEmpty()) return false;
  const QByteArray name = QFile::encodeName(target);
  struct stat st;
  if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  QFile current(target);
  if (!current.open(QIODevice::ReadOnly)) return false;
  const QByteArray contents = current.readAll();
  if (current.error() != QFileDevice::NoError) return false;
  current.close();

  const QByteArray edited = NewTemporary(name, contents);
  if (edited.isEmpty()) return false;
  // The edited copy is read back under this second name.
  const QByteArray checked = NewTemporary(name, QByteArray());
  bool written = false;
  if (!checked.isEmpty()) {
    const std::optional<QMap<QString, QVariant>> meant =
        EditCopy(QFile::decodeName(edited), group, values, removed);
    written = meant && ::rename(edited.constData(), checked.constData()) == 0 &&
              HoldsExactly(QFile::decodeName(checked), *meant) && FinishCopy(checked, st) &&
              ::rename(checked.constData(), name.constData()) == 0;
  }
  if (!written) {
    for (const QByteArray& temp : {edited, checked}) {
      if (!temp.isEmpty() && ::unlink(temp.constData()) != 0 && errno != ENOENT) {
        // Nothing more to do: the file itself is untouched.
      }
    }
    return false;
  }
  // Replaced, but not known to last a crash until the folder is on disk.
  return SyncPath(QFile::encodeName(QFileInfo(target).absolutePath()), O_RDONLY | O_DIRECTORY);
}

}  // namespace quensaria::platform
