// systemd-standin: plays systemd's manager on a private bus (named by
// DBUS_SYSTEM_BUS_ADDRESS) for the configurator's start-up check. It owns
// org.freedesktop.systemd1 and answers LoadUnit, StartUnit and the unit's
// LoadState and ActiveState properties as its options say:
//   systemd-standin --active STATE --start ok|fail --load loaded|not-found
//                   --record FILE
// Each StartUnit call appends "StartUnit NAME MODE" to FILE.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <cstdio>

namespace {

constexpr char kUnitPath[] = "/org/freedesktop/systemd1/unit/quensariasvc_2eservice";

struct Scenario {
  QString active = "inactive";
  QString load = "loaded";
  bool start_ok = true;
  QString record;
};

class Manager : public QDBusVirtualObject {
 public:
  explicit Manager(Scenario scenario) : scenario_(std::move(scenario)) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    if (member == "LoadUnit" && args.size() == 1) {
      return Reply(connection,
                   message.createReply(QVariant::fromValue(QDBusObjectPath(kUnitPath))));
    }
    if (member == "StartUnit" && args.size() == 2) {
      QFile record(scenario_.record);
      if (!record.open(QIODevice::Append) ||
          record.write(
              QString("StartUnit %1 %2\n").arg(args[0].toString(), args[1].toString()).toUtf8()) <
              0) {
        std::fprintf(stderr, "systemd-standin: cannot record to %s\n",
                     qPrintable(scenario_.record));
      }
      record.close();
      if (!scenario_.start_ok) {
        return Reply(connection, message.createErrorReply("org.freedesktop.DBus.Error.AccessDenied",
                                                          "Access denied"));
      }
      return Reply(connection, message.createReply(QVariant::fromValue(
                                   QDBusObjectPath("/org/freedesktop/systemd1/job/1"))));
    }
    if (member == "Get" && args.size() == 2 && message.path() == kUnitPath) {
      const QString property = args[1].toString();
      QString value;
      if (property == "ActiveState") value = scenario_.active;
      if (property == "LoadState") value = scenario_.load;
      if (value.isEmpty()) {
        return Reply(connection, message.createErrorReply(
                                     "org.freedesktop.DBus.Error.UnknownProperty", property));
      }
      return Reply(connection, message.createReply(QVariant::fromValue(QDBusVariant(value))));
    }
    return false;
  }

 private:
  static bool Reply(const QDBusConnection& connection, const QDBusMessage& reply) {
    QDBusConnection(connection).send(reply);
    return true;
  }
  Scenario scenario_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  Scenario scenario;
  const QStringList args = application.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--active") scenario.active = args[i + 1];
    if (args[i] == "--load") scenario.load = args[i + 1];
    if (args[i] == "--start") scenario.start_ok = args[i + 1] == "ok";
    if (args[i] == "--record") scenario.record = args[i + 1];
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  Manager manager(scenario);
  if (!bus.isConnected() ||
      !bus.registerVirtualObject("/org/freedesktop/systemd1", &manager, QDBusConnection::SubPath) ||
      !bus.registerService("org.freedesktop.systemd1")) {
    std::fprintf(stderr, "systemd-standin: cannot serve on the bus\n");
    return 1;
  }
  return application.exec();
}
