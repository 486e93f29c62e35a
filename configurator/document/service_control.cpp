#include "configurator/document/service_control.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QVariant>

namespace quensaria::configurator {
namespace {

constexpr char kSystemd[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnitInterface[] = "org.freedesktop.systemd1.Unit";

// A Unit property as text, or empty when it cannot be read.
QString UnitProperty(QDBusConnection& bus, const QString& unit_path, const char* name) {
  QDBusMessage get =
      QDBusMessage::createMethodCall(kSystemd, unit_path, "org.freedesktop.DBus.Properties", "Get");
  get << QString(kUnitInterface) << QString(name);
  const QDBusMessage reply = bus.call(get);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().first().value<QDBusVariant>().variant().toString();
}

}  // namespace

ServiceCheck CheckAndStartService(UserPrompts& prompts) {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return ServiceCheck::kCannotOpen;
  // LoadUnit answers for an installed unit that is not loaded yet, where
  // GetUnit would not.
  QDBusMessage load =
      QDBusMessage::createMethodCall(kSystemd, kManagerPath, kManagerInterface, "LoadUnit");
  load << QString(kServiceUnit);
  const QDBusMessage loaded = bus.call(load);
  if (loaded.type() != QDBusMessage::ReplyMessage || loaded.arguments().isEmpty()) {
    return ServiceCheck::kCannotOpen;
  }
  const QString unit_path = loaded.arguments().first().value<QDBusObjectPath>().path();
  const QString load_state = UnitProperty(bus, unit_path, "LoadState");
  if (unit_path.isEmpty() || load_state.isEmpty() || load_state == "not-found") {
    return ServiceCheck::kCannotOpen;
  }
  const QString active_state = UnitProperty(bus, unit_path, "ActiveState");
  if (active_state == "active" || active_state == "reloading") return ServiceCheck::kRunning;
  if (!prompts.Question(kStartQuestion, kStartQuestionCaption)) return ServiceCheck::kDeclined;
  QDBusMessage start =
      QDBusMessage::createMethodCall(kSystemd, kManagerPath, kManagerInterface, "StartUnit");
  start << QString(kServiceUnit) << QString("replace");
  const QDBusMessage started = bus.call(start);
  if (started.type() != QDBusMessage::ReplyMessage) {
    prompts.Message(kStartServiceFailed);
    return ServiceCheck::kStartFailed;
  }
  return ServiceCheck::kStartRequested;
}

}  // namespace quensaria::configurator
