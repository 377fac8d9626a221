#include "service_commands.h"

#include <QCursor>
#include <QGuiApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "GetFileVersion.h"
#include "Global.h"
#include "Messages/Messages.h"
#include "WinNTServices.h"
#include "dialogs.h"
#include "platform/types.h"
#include "trace.h"

namespace ServiceCommands {

namespace {

constexpr char kDaemonName[] = "corvantd";

// Why a program could not be started: 0 when it can be, else a system error
// code.
DWORD startProblem(const QString& program) {
  if (program.isEmpty()) return ERROR_FILE_NOT_FOUND;
  const QFileInfo file(program);
  if (!file.exists()) return ERROR_FILE_NOT_FOUND;
  if (!file.isFile() || !file.isExecutable()) return ERROR_ACCESS_DENIED;
  return 0;
}

// What the daemon printed, with CR LF line ends and without the last line end;
// its text is in the ANSI code page, which is UTF-8 here.
QString printed(const QByteArray& output) {
  constexpr int kMaxShown = 4000;  // a box, not a log viewer
  QString text = QString::fromUtf8(output.left(kMaxShown)).trimmed();
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return text;
}

Outcome runInstaller(const QString& option, int startedText, int failedText, QWidget* parent,
                     std::chrono::milliseconds timeout) {
  const QString program = daemonProgram();
  const auto fail = [&](const QString& why) {
    Dialogs::MsgBox(Messages::GetMessageText(failedText) + why, Dialogs::Icon::Error, Dialogs::Buttons::Ok,
                    QString(), parent);
    return Outcome::KeepRunning;
  };
  const auto systemError = [](DWORD error) {
    return QString::number(error) + QStringLiteral("\r\n") + WinNTServices::GetSystemErrorText(error);
  };
  if (const DWORD error = startProblem(program); error != 0) return fail(systemError(error));

  // The program is waited for, so that a failure is seen and not lost with
  // its output; it takes well under a second.
  QProcess process;
  process.setProgram(program);
  process.setArguments({option});
  process.setStandardInputFile(QProcess::nullDevice());
  process.setProcessChannelMode(QProcess::MergedChannels);
  const bool gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
  if (gui) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  process.start();
  const bool started = process.waitForStarted();
  const bool finished = started && process.waitForFinished(static_cast<int>(timeout.count()));
  if (started && !finished) {
    process.kill();
    process.waitForFinished(1000);
  }
  if (gui) QGuiApplication::restoreOverrideCursor();
  if (!started) {
    DebugTrace(QStringLiteral("%1 %2: %3").arg(program, option, process.errorString()));
    return fail(systemError(ERROR_BAD_EXE_FORMAT));
  }
  const QString output = printed(process.readAll());
  DebugTrace(QStringLiteral("%1 %2: status %3, exit code %4: %5")
                 .arg(program, option)
                 .arg(finished ? static_cast<int>(process.exitStatus()) : -1)
                 .arg(process.exitCode())
                 .arg(output));
  QString why;
  if (!finished) why = Messages::GetMessageText(2110);
  else if (process.exitStatus() != QProcess::NormalExit) why = Messages::GetMessageText(2109);
  else if (process.exitCode() != 0) why = Messages::GetMessageText(2108) + QString::number(process.exitCode());
  if (!why.isEmpty()) return fail(output.isEmpty() ? why : why + QStringLiteral("\r\n") + output);

  Dialogs::MsgBox(Messages::GetMessageText(startedText), Dialogs::Icon::Information, Dialogs::Buttons::Ok,
                  QString(), parent);
  return Outcome::EndClient;
}

// What "<program> -v" prints, with CR LF line ends; empty when it cannot run
// or does not finish in time.
QString versionOutput(const QString& program, std::chrono::milliseconds timeout) {
  if (program.isEmpty()) return {};
  QProcess process;
  process.setProgram(program);
  process.setArguments({QStringLiteral("-v")});
  process.setStandardInputFile(QProcess::nullDevice());
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.start();
  if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
    process.kill();
    process.waitForFinished(1000);
    return {};
  }
  if (process.exitStatus() != QProcess::NormalExit) return {};
  // The daemon writes text in the ANSI code page, which is UTF-8 here.
  QString text = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return text;
}

}  // namespace

QString daemonProgram() {
  const QString besideClient = Global::daemonProgramPath();
  if (QFileInfo(besideClient).isFile()) return besideClient;
  return QStandardPaths::findExecutable(QString::fromLatin1(kDaemonName));
}

Outcome installService(QWidget* parent, std::chrono::milliseconds timeout) {
  return runInstaller(QStringLiteral("-i"), 205, 1019, parent, timeout);
}

Outcome uninstallService(QWidget* parent, std::chrono::milliseconds timeout) {
  return runInstaller(QStringLiteral("-u"), 206, 1021, parent, timeout);
}

void showServiceVersion(QWidget* parent, std::chrono::milliseconds timeout) {
  const QString program = daemonProgram();
  const FileVersion version = program.isEmpty() ? FileVersion{} : GetFileVersion(program);
  QString text = Messages::GetMessageText(301) + versionText(version);
  if (!program.isEmpty()) text += QStringLiteral("\r\n") + program;
  const QString output = versionOutput(program, timeout);
  if (!output.isEmpty()) text += QStringLiteral("\r\n\r\n") + output;
  Dialogs::MsgBox(text, Dialogs::Icon::Information, Dialogs::Buttons::Ok, Messages::GetMessageText(59),
                  parent);
}

}  // namespace ServiceCommands
