#include "single_instance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <unistd.h>

#include "platform/paths.h"

namespace {
constexpr char kActivate[] = "activate\n";
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
  if (m_server != nullptr) m_server->close();
}

QString SingleInstance::serverName() {
  const std::string userRoot = platform::userRoot().string();
  const QByteArray hash = QCryptographicHash::hash(QByteArray::fromStdString(userRoot), QCryptographicHash::Sha1);
  return QStringLiteral("corvantel-client-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash.toHex().left(12)));
}

bool SingleInstance::handOverToRunningInstance(int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(serverName());
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kActivate);
  socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  return true;
}

bool SingleInstance::listen(std::function<void()> activate) {
  m_activate = std::move(activate);
  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!m_server->listen(serverName())) {
    // A socket left behind by a client that crashed: nobody answered on it.
    QLocalServer::removeServer(serverName());
    if (!m_server->listen(serverName())) return false;
  }
  connect(m_server, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = m_server->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (peer->readAll().contains("activate") && m_activate) m_activate();
      });
    }
  });
  return true;
}
