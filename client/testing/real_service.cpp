#include "real_service.h"

#include <signal.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

bool eventually(const std::function<bool()>& condition, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > limitMs) return false;
    QCoreApplication::processEvents();
    QThread::msleep(20);
  }
  return true;
}

int freeUdpPort() {
  QUdpSocket socket;
  socket.bind(QHostAddress::LocalHost, 0);
  return socket.localPort();
}

void killService(const std::filesystem::path& machineRoot) {
  QFile status(QString::fromStdString((machineRoot / "services" / "tolvanecorvantel" / "status").string()));
  if (!status.open(QIODevice::ReadOnly)) return;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("pid=") && line.mid(4).toLong() > 0) ::kill(static_cast<pid_t>(line.mid(4).toLong()), SIGKILL);
}
