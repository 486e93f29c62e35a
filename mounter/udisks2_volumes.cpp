#include "mounter/udisks2_volumes.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QMap>
#include <QThread>

#include "platform/errors.h"
#include "platform/loop_device.h"
#include "platform/unique_fd.h"
#include "platform/volume_mount.h"
#include "shared/win32_error.h"

using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;
Q_DECLARE_METATYPE(InterfaceProperties)
Q_DECLARE_METATYPE(ManagedObjects)

namespace quensaria::mounter {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kRootPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString kManager = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kLoop = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");

// A byte-string property (a path with its NUL) as text.
QByteArray PathProperty(const QVariant& value) {
  QByteArray bytes = value.toByteArray();
  while (bytes.endsWith('\0')) bytes.chop(1);
  return bytes;
}

bool IsError(const QDBusMessage& reply) { return reply.type() != QDBusMessage::ReplyMessage; }

uint32_t ErrorOf(const QDBusMessage& reply) {
  const QString name = reply.errorName();
  if (name.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized"))) {
    return ERROR_ACCESS_DENIED;
  }
  if (name == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy")) return ERROR_BUSY;
  if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
      name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
      name == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
      name == QLatin1String("org.freedesktop.DBus.Error.Disconnected")) {
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_GEN_FAILURE;
}

QString ExplanationOf(const QDBusMessage& reply) {
  switch (ErrorOf(reply)) {
    case ERROR_ACCESS_DENIED:
      return QStringLiteral(
          "UDisks2 did not allow you to attach the drive's file system: log on at the machine's "
          "own desktop, or ask the administrator for the right to mount disks (or run the mounter "
          "as root).");
    case ERROR_NOT_SUPPORTED:
      return QStringLiteral(
          "The drive's file system cannot be attached: the UDisks2 service is not available on "
          "the system bus. Install and start udisks2, or run the mounter as root.");
    default:
      // Whatever UDisks2 says is a refusal on this machine, never a
      // communication error.
      return QStringLiteral("UDisks2 could not attach the drive's file system: %1")
          .arg(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage());
  }
}

// A refused call as Attach reports it: its code, and the sentence for the
// user.
Status Refused(const QDBusMessage& reply) {
  return Status(ErrorOf(reply), ExplanationOf(reply).toStdString());
}

// A method that the object does not have yet: UDisks2 adds the file-system
// interface once it has probed the new loop device.
bool NotThereYet(const QDBusMessage& reply) {
  const QString name = reply.errorName();
  return name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
         name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
         name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject");
}

}  // namespace

UDisks2Volumes::UDisks2Volumes(QDBusConnection connection) : connection_(std::move(connection)) {
  qDBusRegisterMetaType<InterfaceProperties>();
  qDBusRegisterMetaType<ManagedObjects>();
}

QDBusMessage UDisks2Volumes::Call(const QString& path, const QString& interface,
                                  const QString& method, const QList<QVariant>& arguments) {
  QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
  message.setArguments(arguments);
  // Mounting may wait for the user's authentication agent.
  return connection_.call(message, QDBus::Block, 120000);
}

Status UDisks2Volumes::Attach(char /*letter*/, const DriveDisk& disk) {
  if (!connection_.isConnected()) {
    return Status(ERROR_NOT_SUPPORTED,
                  "The drive's file system cannot be attached: there is no system bus to reach "
                  "UDisks2. Run the mounter in a desktop session with udisks2 installed, or as "
                  "root.");
  }
  if (!disk.blockDevice.isEmpty()) return AttachBlockDevice(disk.blockDevice);
  return AttachLoop(disk.deviceFile);
}

std::vector<UDisks2Volumes::BlockObject> UDisks2Volumes::FindBlockObjects(const QString& disk,
                                                                          QDBusMessage* reply) {
  *reply = Call(kRootPath, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                QStringLiteral("GetManagedObjects"), {});
  std::vector<BlockObject> found;
  if (IsError(*reply) || reply->arguments().isEmpty()) return found;
  const ManagedObjects objects =
      qdbus_cast<ManagedObjects>(reply->arguments().at(0).value<QDBusArgument>());
  const QByteArray wanted = QFile::encodeName(disk);
  QString disk_object;
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto block = it.value().find(kBlock);
    if (block != it.value().cend() &&
        PathProperty(block.value().value(QStringLiteral("Device"))) == wanted) {
      disk_object = it.key().path();
      found.push_back({disk_object, 0, it.value().contains(kFilesystem)});
    }
  }
  if (disk_object.isEmpty()) return found;
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto partition = it.value().find(kPartition);
    if (partition == it.value().cend() ||
        partition.value().value(QStringLiteral("Table")).value<QDBusObjectPath>().path() !=
            disk_object) {
      continue;
    }
    found.push_back({it.key().path(), partition.value().value(QStringLiteral("Number")).toInt(),
                     it.value().contains(kFilesystem)});
  }
  return found;
}

Status UDisks2Volumes::AttachBlockDevice(const QString& disk) {
  const std::optional<platform::VolumeLocation> volume =
      platform::ProbeVolume(QFile::encodeName(disk).toStdString());
  if (!volume) return Status::Ok();  // the disk itself is all there is to attach
  // UDisks2 learns of a new disk, its partitions and their file systems from
  // udev, a moment after the kernel made them.
  QDBusMessage reply;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (const BlockObject& object : FindBlockObjects(disk, &reply)) {
      if (object.partition != volume->partition || !object.filesystem) continue;
      reply = Call(object.path, kFilesystem, QStringLiteral("Mount"), {QVariantMap()});
      if (!IsError(reply)) return Status::Ok();
      if (!NotThereYet(reply)) return Refused(reply);
    }
    if (IsError(reply) && !NotThereYet(reply)) return Refused(reply);
    QThread::msleep(100);
  }
  return Status(ERROR_FILE_NOT_FOUND, "");  // UDisks2 never showed the file system
}

Status UDisks2Volumes::AttachLoop(const QString& device_file) {
  const std::string file = QFile::encodeName(device_file).toStdString();
  // The loop device takes direct I/O from its backing descriptor, as the
  // root way sets it: the file system above caches already.
  platform::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CLOEXEC | O_DIRECT));
  if (!fd.valid() && errno == EINVAL) fd.Reset(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) return Status(platform::Win32ErrorFromErrno(errno), "");
  const std::optional<platform::VolumeLocation> volume = platform::ProbeVolume(file);

  QVariantMap options;
  options.insert(QStringLiteral("offset"),
                 QVariant::fromValue<qulonglong>(volume ? volume->offset : 0));
  options.insert(QStringLiteral("size"),
                 QVariant::fromValue<qulonglong>(volume ? volume->size : 0));
  options.insert(QStringLiteral("no-part-scan"), true);
  const QDBusMessage setup =
      Call(kManagerPath, kManager, QStringLiteral("LoopSetup"),
           {QVariant::fromValue(QDBusUnixFileDescriptor(fd.get())), options});
  if (IsError(setup)) return Refused(setup);
  const QString loop = setup.arguments().value(0).value<QDBusObjectPath>().path();
  if (loop.isEmpty()) return Status(ERROR_GEN_FAILURE, "");
  if (!volume) return Status::Ok();

  QDBusMessage mounted;
  for (int attempt = 0; attempt < 100; ++attempt) {
    mounted = Call(loop, kFilesystem, QStringLiteral("Mount"), {QVariantMap()});
    if (!IsError(mounted) || !NotThereYet(mounted)) break;
    QThread::msleep(100);
  }
  if (IsError(mounted)) {
    (void)Call(loop, kLoop, QStringLiteral("Delete"), {QVariantMap()});
    return Refused(mounted);
  }
  return Status::Ok();
}

QString UDisks2Volumes::FindLoopObject(const QString& device_file, bool* has_filesystem) {
  const QDBusMessage reply = Call(kRootPath, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                  QStringLiteral("GetManagedObjects"), {});
  if (IsError(reply) || reply.arguments().isEmpty()) return QString();
  const ManagedObjects objects =
      qdbus_cast<ManagedObjects>(reply.arguments().at(0).value<QDBusArgument>());
  const QByteArray wanted = QFile::encodeName(device_file);
  for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
    const auto loop = it.value().find(kLoop);
    if (loop == it.value().cend()) continue;
    QByteArray backing = loop.value().value(QStringLiteral("BackingFile")).toByteArray();
    while (backing.endsWith('\0')) backing.chop(1);
    if (backing != wanted) continue;
    *has_filesystem = it.value().contains(kFilesystem);
    return it.key().path();
  }
  return QString();
}

Status UDisks2Volumes::DetachBlockDevice(const QString& disk) {
  QDBusMessage reply;
  const std::vector<BlockObject> objects = FindBlockObjects(disk, &reply);
  // UDisks2 not answering is no proof that nothing is mounted: the kernel's
  // tables say, and a file system there keeps the drive.
  if (IsError(reply) && !VolumeMountPoint(DriveDisk{QString(), disk}).isEmpty()) {
    return Status(ErrorOf(reply), "");
  }
  for (const BlockObject& object : objects) {
    if (!object.filesystem) continue;
    const QDBusMessage unmounted =
        Call(object.path, kFilesystem, QStringLiteral("Unmount"), {QVariantMap()});
    if (IsError(unmounted) &&
        unmounted.errorName() != QLatin1String("org.freedesktop.UDisks2.Error.NotMounted")) {
      return Status(ErrorOf(unmounted), "");
    }
  }
  return Status::Ok();
}

Status UDisks2Volumes::Detach(char /*letter*/, const DriveDisk& disk) {
  // A loop device over the device file that UDisks2 cannot be asked about
  // (or does not know) stays: the drive must not be unmounted under it.
  const auto loop_left = [&] {
    return !platform::LoopDevicesBackedBy(QFile::encodeName(disk.deviceFile).toStdString()).empty();
  };
  if (!connection_.isConnected()) {
    if (loop_left() || !VolumeMountPoint(disk).isEmpty()) return Status(ERROR_NOT_SUPPORTED, "");
    return Status::Ok();
  }
  if (!disk.blockDevice.isEmpty()) {
    if (Status detached = DetachBlockDevice(disk.blockDevice); !detached.ok()) return detached;
  }
  const QString device_file = disk.deviceFile;
  bool has_filesystem = false;
  const QString loop = FindLoopObject(device_file, &has_filesystem);
  if (loop.isEmpty()) return loop_left() ? Status(ERROR_NOT_SUPPORTED, "") : Status::Ok();
  if (has_filesystem) {
    const QDBusMessage unmounted =
        Call(loop, kFilesystem, QStringLiteral("Unmount"), {QVariantMap()});
    if (IsError(unmounted) &&
        unmounted.errorName() != QLatin1String("org.freedesktop.UDisks2.Error.NotMounted")) {
      return Status(ErrorOf(unmounted), "");
    }
  }
  const QDBusMessage deleted = Call(loop, kLoop, QStringLiteral("Delete"), {QVariantMap()});
  return IsError(deleted) ? Status(ErrorOf(deleted), "") : Status::Ok();
}

}  // namespace quensaria::mounter
