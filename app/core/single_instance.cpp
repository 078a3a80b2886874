#include "app/core/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>

namespace tovix::app {
namespace {

constexpr const char* ACTIVATE_MESSAGE = "activate\n";

}  // namespace

SingleInstance::SingleInstance(QString key, QObject* parent) : QObject(parent), _key(std::move(key)) {
  _server.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&_server, &QLocalServer::newConnection, this, &SingleInstance::_on_connection);
}

SingleInstance::~SingleInstance() { _server.close(); }

QString SingleInstance::instance_key(const std::filesystem::path& config_path) {
  const QByteArray path = QString::fromStdWString(std::filesystem::absolute(config_path).wstring()).toUtf8();
  return QStringLiteral("tovixproxy-") +
         QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(16));
}

bool SingleInstance::acquire() {
  _lock = std::make_unique<QLockFile>(QDir::temp().filePath(_key + QStringLiteral(".lock")));
  // Held for the whole run: only a lock whose owner process is gone counts as stale.
  _lock->setStaleLockTime(0);
  if (!_lock->tryLock(0)) {
    _lock.reset();
    _ask_first_to_come_forward();
    return false;
  }
  // A socket left behind by a crashed first instance would make listen fail.
  QLocalServer::removeServer(_key);
  _server.listen(_key);
  return true;
}

bool SingleInstance::_ask_first_to_come_forward() {
  const QDeadlineTimer deadline(INSTANCE_HANDOVER_TIMEOUT_MS);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(_key);
    if (socket.waitForConnected(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
      socket.write(ACTIVATE_MESSAGE);
      const bool sent = socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
      socket.disconnectFromServer();
      return sent;
    }
    // The first instance holds the lock but may not listen yet: wait a moment and retry.
    QThread::msleep(50);
  }
  return false;
}

void SingleInstance::_on_connection() {
  while (QLocalSocket* socket = _server.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto read_message = [this, socket] {
      if (socket->readAll().contains("activate")) emit activation_requested();
    };
    connect(socket, &QLocalSocket::readyRead, this, read_message);
    if (socket->bytesAvailable() > 0) read_message();
  }
}

}  // namespace tovix::app
