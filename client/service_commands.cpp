#include "service_commands.h"

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

// Starts the daemon program with `option` and leaves it running on its own.
// 0 on success, else a system error code that says why it could not start.
DWORD startDetached(const QString& program, const QString& option) {
  if (program.isEmpty()) return ERROR_FILE_NOT_FOUND;
  const QFileInfo file(program);
  if (!file.exists()) return ERROR_FILE_NOT_FOUND;
  if (!file.isFile() || !file.isExecutable()) return ERROR_ACCESS_DENIED;
  QProcess process;
  process.setProgram(program);
  process.setArguments({option});
  if (process.startDetached()) return 0;
  DebugTrace(QStringLiteral("%1 %2: %3").arg(program, option, process.errorString()));
  return ERROR_BAD_EXE_FORMAT;
}

Outcome runInstaller(const QString& option, int startedText, int failedText, QWidget* parent) {
  const QString program = daemonProgram();
  const DWORD error = startDetached(program, option);
  if (error != 0) {
    Dialogs::MsgBox(Messages::GetMessageText(failedText) + QString::number(error) + QStringLiteral("\r\n") +
                        WinNTServices::GetSystemErrorText(error),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), parent);
    return Outcome::KeepRunning;
  }
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

Outcome installService(QWidget* parent) { return runInstaller(QStringLiteral("-i"), 205, 1019, parent); }

Outcome uninstallService(QWidget* parent) { return runInstaller(QStringLiteral("-u"), 206, 1021, parent); }

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
