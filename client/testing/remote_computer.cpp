#include "remote_computer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <cstdlib>

#include "real_service.h"

SecondComputer::SecondComputer() {
  m_base = std::filesystem::path(QDir::tempPath().toStdString()) /
           ("corvantel-second-" + std::to_string(::getpid()) + "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
  std::filesystem::create_directories(machine());
  std::filesystem::create_directories(m_base / "user");
  const std::filesystem::path script = m_base / "ssh-standin";
  QFile file(QString::fromStdString(script.string()));
  file.open(QIODevice::WriteOnly);
  const QByteArray base = QByteArray::fromStdString(m_base.string());
  file.write("#!/bin/sh\n"
             "case \"$1\" in\n"
             "  second) exec env CORVANTEL_ROOT='" + base + "/machine' CORVANTEL_USER_ROOT='" + base +
             "/user' '" CORVCTL_PATH "' serve ;;\n"
             "  faraway) echo \"ssh: Could not resolve hostname $1\" >&2; exit 255 ;;\n"
             "  bare) echo 'sh: 1: corvctl: not found' >&2; exit 127 ;;\n"
             "  refusing) read hello; echo '0 1 500 1'; read connect; echo '5'; cat >/dev/null ;;\n"
             "  oldplatform) read hello; echo '0 1 1 1'; cat >/dev/null ;;\n"
             "  *) exit 255 ;;\n"
             "esac\n");
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  m_hadShell = qEnvironmentVariableIsSet("CORVANTEL_REMOTE_SHELL");
  m_oldShell = qgetenv("CORVANTEL_REMOTE_SHELL");
  qputenv("CORVANTEL_REMOTE_SHELL", QByteArray::fromStdString(script.string()) + " %h");
}

SecondComputer::~SecondComputer() {
  killService(machine());
  if (m_hadShell) qputenv("CORVANTEL_REMOTE_SHELL", m_oldShell);
  else qunsetenv("CORVANTEL_REMOTE_SHELL");
  std::error_code ignored;
  std::filesystem::remove_all(m_base, ignored);
}

QString SecondComputer::run(const QString& program, const QStringList& arguments, bool* ok) const {
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("CORVANTEL_ROOT"), QString::fromStdString(machine().string()));
  environment.insert(QStringLiteral("CORVANTEL_USER_ROOT"), QString::fromStdString((m_base / "user").string()));
  process.setProcessEnvironment(environment);
  process.start(program, arguments);
  const bool finished = process.waitForFinished(20000);
  if (ok != nullptr) *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  return QString::fromUtf8(process.readAllStandardOutput());
}

QString SecondComputer::corvctl(const QStringList& arguments, bool* ok) const {
  return run(QStringLiteral(CORVCTL_PATH), arguments, ok);
}

bool SecondComputer::installService() const {
  bool ok = false;
  run(QStringLiteral(CORVANTD_PATH), {QStringLiteral("-i")}, &ok);
  return ok;
}
