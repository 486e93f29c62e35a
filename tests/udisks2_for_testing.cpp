// A stand-in for UDisks2 on a private bus, for the mounter's tests. It
// serves the few calls the mounter makes, checks their arguments and prints
// one line per call ("call ...") to standard output, which the test reads.
//   udisks2-stand-in BUS_ADDRESS EXPECTED_FILE MODE
// MODE "ok" serves everything; "deny" refuses LoopSetup as UDisks2 refuses
// an unauthorised user; "mount-fails" fails Filesystem.Mount as a file
// system UDisks2 cannot mount does; "block" shows EXPECTED_FILE as a block
// device whose partition 1 has a file system, as UDisks2 shows a ublk disk.
// LoopSetup says whether the descriptor was opened for direct I/O. Ends at
// SIGTERM.
#include <fcntl.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFile>
#include <cstdio>
#include <cstring>

using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;
Q_DECLARE_METATYPE(InterfaceProperties)
Q_DECLARE_METATYPE(ManagedObjects)

namespace {

const QString kLoopPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/loop7");
const QString kDiskPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/ublkb3");
const QString kPartitionPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/ublkb3p1");

void Print(const QString& line) {
  std::printf("%s\n", line.toLocal8Bit().constData());
  std::fflush(stdout);
}

class StandIn : public QDBusVirtualObject {
 public:
  StandIn(QString expected, bool deny, bool fail_mount, bool block)
      : expected_(std::move(expected)), deny_(deny), fail_mount_(fail_mount), block_(block) {}

  QString introspect(const QString&) const override { return QString(); }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString call = message.interface() + "." + message.member();
    QDBusMessage reply;
    if (message.path() == "/org/freedesktop/UDisks2/Manager" &&
        call == "org.freedesktop.UDisks2.Manager.LoopSetup") {
      reply = LoopSetup(message);
    } else if (message.path() == "/org/freedesktop/UDisks2" &&
               call == "org.freedesktop.DBus.ObjectManager.GetManagedObjects") {
      Print("call GetManagedObjects");
      reply = message.createReply(QVariant::fromValue(Objects()));
    } else if (message.path() == kPartitionPath && block_ &&
               call == "org.freedesktop.UDisks2.Filesystem.Mount") {
      Print("call Mount partition options=" + Options(message));
      mounted_ = true;
      reply = message.createReply(QStringLiteral("/media/tester/disk"));
    } else if (message.path() == kPartitionPath && block_ &&
               call == "org.freedesktop.UDisks2.Filesystem.Unmount") {
      if (unmount_calls_++ == 0) {
        Print("call Unmount partition (busy)");
        reply =
            message.createErrorReply("org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy");
      } else if (!mounted_) {
        Print("call Unmount partition (not mounted)");
        reply = message.createErrorReply("org.freedesktop.UDisks2.Error.NotMounted", "not mounted");
      } else {
        Print("call Unmount partition");
        mounted_ = false;
        reply = message.createReply();
      }
    } else if (message.path() == kLoopPath && loop_ &&
               call == "org.freedesktop.UDisks2.Filesystem.Mount") {
      // The first time the interface is not there yet, as right after a
      // LoopSetup while UDisks2 still probes the device.
      if (mount_calls_++ == 0) {
        Print("call Mount (not yet)");
        reply = message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod",
                                         "No such interface");
      } else if (fail_mount_) {
        Print("call Mount (fails)");
        reply = message.createErrorReply("org.freedesktop.UDisks2.Error.Failed",
                                         "Error mounting /dev/loop7: wrong fs type");
      } else {
        Print("call Mount options=" + Options(message));
        mounted_ = true;
        reply = message.createReply(QStringLiteral("/media/tester/disk"));
      }
    } else if (message.path() == kLoopPath && loop_ &&
               call == "org.freedesktop.UDisks2.Filesystem.Unmount") {
      if (unmount_calls_++ == 0) {
        Print("call Unmount (busy)");
        reply =
            message.createErrorReply("org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy");
      } else {
        Print("call Unmount");
        mounted_ = false;
        reply = message.createReply();
      }
    } else if (message.path() == kLoopPath && loop_ &&
               call == "org.freedesktop.UDisks2.Loop.Delete") {
      Print(QString("call Delete while-mounted=%1").arg(mounted_));
      loop_ = false;
      reply = message.createReply();
    } else {
      Print("bad call " + call + " on " + message.path());
      reply = message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", call);
    }
    connection.send(reply);
    return true;
  }

 private:
  static QString Options(const QDBusMessage& message) {
    const QVariantMap options =
        qdbus_cast<QVariantMap>(message.arguments().value(message.arguments().size() - 1));
    QStringList parts;
    for (auto it = options.cbegin(); it != options.cend(); ++it) {
      parts << it.key() + ":" + it.value().typeName() + "=" + it.value().toString();
    }
    return parts.join(',');
  }

  QDBusMessage LoopSetup(const QDBusMessage& message) {
    const QDBusUnixFileDescriptor fd =
        qdbus_cast<QDBusUnixFileDescriptor>(message.arguments().value(0));
    struct stat given {
    }, wanted{};
    const bool same = fd.isValid() && ::fstat(fd.fileDescriptor(), &given) == 0 &&
                      ::stat(QFile::encodeName(expected_).constData(), &wanted) == 0 &&
                      given.st_dev == wanted.st_dev && given.st_ino == wanted.st_ino;
    const int flags = fd.isValid() ? ::fcntl(fd.fileDescriptor(), F_GETFL) : 0;
    Print(QString("call LoopSetup same-file=%1 direct-io=%2 options=%3")
              .arg(same)
              .arg((flags & O_DIRECT) != 0)
              .arg(Options(message)));
    if (deny_) {
      return message.createErrorReply("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain",
                                      "Not authorized to perform operation");
    }
    loop_ = true;
    mount_calls_ = 0;
    return message.createReply(QVariant::fromValue(QDBusObjectPath(kLoopPath)));
  }

  ManagedObjects Objects() const {
    ManagedObjects objects;
    InterfaceProperties other;
    other["org.freedesktop.UDisks2.Loop"]["BackingFile"] = QByteArray("/var/other.img\0", 15);
    other["org.freedesktop.UDisks2.Filesystem"]["Size"] = qulonglong{0};
    objects[QDBusObjectPath("/org/freedesktop/UDisks2/block_devices/loop3")] = other;
    if (block_) {
      // The partition's file system shows up only on the second look, as
      // while UDisks2 still probes a new disk.
      InterfaceProperties disk;
      disk["org.freedesktop.UDisks2.Block"]["Device"] = QFile::encodeName(expected_) + '\0';
      objects[QDBusObjectPath(kDiskPath)] = disk;
      if (++looks_ > 1) {
        InterfaceProperties partition;
        partition["org.freedesktop.UDisks2.Block"]["Device"] =
            QFile::encodeName(expected_) + "p1" + '\0';
        partition["org.freedesktop.UDisks2.Partition"]["Number"] = 1u;
        partition["org.freedesktop.UDisks2.Partition"]["Table"] =
            QVariant::fromValue(QDBusObjectPath(kDiskPath));
        partition["org.freedesktop.UDisks2.Filesystem"]["Size"] = qulonglong{0};
        objects[QDBusObjectPath(kPartitionPath)] = partition;
      }
    }
    if (loop_) {
      InterfaceProperties ours;
      ours["org.freedesktop.UDisks2.Loop"]["BackingFile"] = QFile::encodeName(expected_) + '\0';
      if (mounted_) ours["org.freedesktop.UDisks2.Filesystem"]["Size"] = qulonglong{0};
      objects[QDBusObjectPath(kLoopPath)] = ours;
    }
    return objects;
  }

  QString expected_;
  bool deny_;
  bool fail_mount_;
  bool block_;
  mutable int looks_ = 0;
  bool loop_ = false;
  bool mounted_ = false;
  int mount_calls_ = 0;
  int unmount_calls_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: udisks2-stand-in BUS_ADDRESS EXPECTED_FILE ok|deny|mount-fails|block\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<InterfaceProperties>();
  qDBusRegisterMetaType<ManagedObjects>();
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), "bus");
  if (!bus.isConnected()) {
    std::fprintf(stderr, "no bus: %s\n", bus.lastError().message().toLocal8Bit().constData());
    return 1;
  }
  StandIn stand_in(QString::fromLocal8Bit(argv[2]), std::strcmp(argv[3], "deny") == 0,
                   std::strcmp(argv[3], "mount-fails") == 0, std::strcmp(argv[3], "block") == 0);
  if (!bus.registerVirtualObject("/org/freedesktop/UDisks2", &stand_in, QDBusConnection::SubPath) ||
      !bus.registerService("org.freedesktop.UDisks2")) {
    std::fprintf(stderr, "cannot register\n");
    return 1;
  }
  Print("ready");
  return app.exec();
}
