#include "mounter/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>

namespace quensaria::mounter {
namespace {

// The folder of the user's socket when there is no XDG_RUNTIME_DIR: one
// of its own in the temporary folder. In the shared folder itself any user
// could put a socket under the name first, and answer for this user's
// mounter or keep it from listening.
QString PrivateFolder() {
  return QDir::tempPath() + QStringLiteral("/velmoran-mounter-%1").arg(::getuid());
}

// Whether `folder` is this user's alone (made so if missing); one another
// user made is not.
bool MakeOwnFolder(const QString& folder) {
  const QByteArray path = QFile::encodeName(folder);
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    return false;
  }
  return (st.st_mode & 077) == 0 || ::chmod(path.constData(), 0700) == 0;
}

// Whether the runtime directory is this user's and nobody else may write
// to it: in one that is not, another user could put a socket under the
// name first.
bool OwnRuntimeDirectory(const QByteArray& path) {
  struct stat st;
  return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 022) == 0;
}

}  // namespace

// The user's own socket: in XDG_RUNTIME_DIR, or in PrivateFolder().
SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent) {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && runtime.startsWith('/') && OwnRuntimeDirectory(runtime)) {
    server_name_ = QString::fromLocal8Bit(runtime) + QLatin1Char('/') + name;
  } else {
    private_folder_ = PrivateFolder();
    server_name_ = private_folder_ + QLatin1Char('/') + name;
  }
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Usable() const {
  return private_folder_.isEmpty() || MakeOwnFolder(private_folder_);
}

bool SingleInstance::AskRunningInstanceToShow() {
  if (!Usable()) return false;
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
  if (!Usable()) return false;
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
