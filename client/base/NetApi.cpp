#include "NetApi.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSet>

#include "Global.h"
#include "Messages/Messages.h"
#include "WinNTServices.h"
#include "ansi_text.h"
#include "dialogs.h"
#include "platform/remote.h"

namespace NetApi {

QStringList EnumNetworkResources(int displayType) {
  bBrowsing = true;
  if (displayType != RESOURCEDISPLAYTYPE_SERVER) return {};
  QProcess browse;
  browse.setProcessChannelMode(QProcess::SeparateChannels);
  browse.start(QStringLiteral("avahi-browse"),
               {QStringLiteral("--terminate"), QStringLiteral("--parsable"), QStringLiteral("--resolve"),
                QStringLiteral("--no-db-lookup"), QStringLiteral("_ssh._tcp")});
  if (!browse.waitForStarted(2000)) return {};  // not installed
  const QDeadlineTimer deadline(kBrowseSeconds * 1000);
  while (browse.state() != QProcess::NotRunning) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!bBrowsing || deadline.hasExpired()) {
      browse.kill();
      browse.waitForFinished(1000);
      if (!bBrowsing) return {};
      break;
    }
    browse.waitForFinished(50);
  }
  QCoreApplication::processEvents();
  if (!bBrowsing) return {};

  // Resolved entries: "=;interface;protocol;service name;type;domain;host
  // name;address;port;text". The host name is what SSH is given.
  QStringList names;
  QSet<QString> seen;
  for (const QByteArray& line : browse.readAllStandardOutput().split('\n')) {
    const QList<QByteArray> fields = line.split(';');
    if (fields.size() < 8 || fields[0] != "=") continue;
    const QString host = QString::fromUtf8(fields[6]).trimmed();
    if (host.isEmpty() || seen.contains(host.toLower())) continue;
    seen.insert(host.toLower());
    names << QStringLiteral("\\\\") + host;
  }
  return names;
}

long GetComputerVersion(const QString& computer, QWidget* parent) {
  DWORD platformId = 0;
  const LONG rc = QueryComputerPlatformId(toAnsi(computer).c_str(), &platformId);
  if (rc != ERROR_SUCCESS) {
    const bool connectionReports = rc == ERROR_BAD_NETPATH || rc == ERROR_ACCESS_DENIED ||
                                   rc == ERROR_FILE_NOT_FOUND || rc == ERROR_INVALID_NAME;
    if (!connectionReports)
      Dialogs::MsgBox(Messages::GetMessageText(215) + QString::number(rc) + QStringLiteral("\r\n") +
                          WinNTServices::GetSystemErrorText(static_cast<DWORD>(rc)).trimmed(),
                      Dialogs::Icon::None, Dialogs::Buttons::Ok, QString(), parent);
    return rc;
  }
  Global::nTargetPlatform = platformId == 500 ? 2 : 0;
  return ERROR_SUCCESS;
}

}  // namespace NetApi
