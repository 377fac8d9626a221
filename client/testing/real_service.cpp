#include "real_service.h"

#include <signal.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QThread>
#include <QProcess>
#include <QUdpSocket>

#include "Global.h"
#include "Messages/Messages.h"
#include "WinNTServices.h"
#include "platform/registry.h"
#include "platform/service.h"

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

QString logged(const QString& folder) {
  QString all;
  QDirIterator files(folder, QDir::Files);
  while (files.hasNext()) {
    QFile file(files.next());
    if (file.open(QIODevice::ReadOnly)) all += QString::fromUtf8(file.readAll());
  }
  return all;
}

void killService(const std::filesystem::path& machineRoot) {
  QFile status(QString::fromStdString((machineRoot / "services" / "tolvanecorvantel" / "status").string()));
  if (!status.open(QIODevice::ReadOnly)) return;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("pid=") && line.mid(4).toLong() > 0) ::kill(static_cast<pid_t>(line.mid(4).toLong()), SIGKILL);
}

void RealServiceTest::SetUp() {
  Global::reset();
  Global::bParametersOpen = true;
  Messages::SetLanguage(Messages::kEnglish);
  QProcess install;
  install.start(QStringLiteral(CORVANTD_PATH), {QStringLiteral("-i")});
  ASSERT_TRUE(install.waitForFinished(10000));
  ASSERT_EQ(install.readAllStandardOutput(), "TolvaneCorvantel installed\n");
  setPort(freeUdpPort());
}

void RealServiceTest::TearDown() {
  // Ending the process is enough: the manager then reports the service stopped.
  if (WinNTServices::QueryNTServiceState("", QString::fromLatin1(WinNTServices::kServiceName)) != SERVICE_STOPPED) {
    killService(m_root.machine());
    EXPECT_TRUE(eventually([] { return WinNTServices::QueryNTServiceState("", QString::fromLatin1(WinNTServices::kServiceName)) == SERVICE_STOPPED; }, 5000));
  }
  Global::reset();
}

void RealServiceTest::setPort(int port) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &key), ERROR_SUCCESS);
  const DWORD value = static_cast<DWORD>(port);
  EXPECT_EQ(
      RegSetValueExA(key, "nSyslogPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

