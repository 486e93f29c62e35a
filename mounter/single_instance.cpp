#include "mounter/single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

namespace quensaria::mounter {
namespace {

// The user's own socket: in XDG_RUNTIME_DIR, or a name with the user id.
QString ServerNameFor(const QString& name) {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && runtime.startsWith('/')) {
    return QString::fromLocal8Bit(runtime) + QLatin1Char('/') + name;
  }
  return name + QStringLiteral("-%1").arg(::getuid());
}

}  // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), server_name_(ServerNameFor(name)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::AskRunningInstanceToShow() {
  QLocalSocket socket;
  socket.connectToServer(server_name_);
  if (!socket.waitForConnected(2000)) return false;
  socket.write("show\n");
  socket.waitForBytesWritten(2000);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::Listen() {
  if (server_ != nullptr) return true;
  {
    // A socket that takes a connection is a mounter started at the same
    // moment; listening would put ours in its place (with its options the
    // server renames its socket over the name).
    QLocalSocket probe;
    probe.connectToServer(server_name_);
    if (probe.waitForConnected(2000)) {
      probe.disconnectFromServer();
      return false;
    }
  }
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(server_name_)) {
    // A socket that nobody answers on is what a crashed mounter left.
    QLocalServer::removeServer(server_name_);
    if (!server_->listen(server_name_)) {
      delete server_;
      server_ = nullptr;
      return false;
    }
  }
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      emit showRequested();
    }
  });
  return true;
}

}  // namespace quensaria::mounter
