#include "service_state.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProgressBar>
#include <QThread>

#include "Global.h"
#include "Messages/Messages.h"
#include "dialogs.h"
#include "frmServiceState.h"
#include "platform/service.h"
#include "trace.h"

namespace Global {

namespace {

bool isPending(const WinNTServices::ServiceState& found) {
  return found.error == 0 && (found.state == SERVICE_START_PENDING || found.state == SERVICE_STOP_PENDING);
}

void showNotResponding(QWidget* parent) {
  Dialogs::MsgBox(Messages::GetMessageText(222) + QStringLiteral(" \r\n") + Messages::GetMessageText(223),
                  Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), parent);
}

}  // namespace

void SetServiceMenuState(ServiceMenu& menu, bool install, bool uninstall, bool stop, bool start,
                         bool restart) {
  menu.setServiceItems(install, uninstall, stop, start, restart);
}

void RefreshServiceState(ServiceMenu& menu, frmServiceState* window, const ServiceStatePolling& polling) {
  if (!bParametersOpen) {
    menu.setConfigurationEnabled(false);
    SetServiceMenuState(menu, bDaemonProgramFound, false, false, false, false);
    return;
  }
  menu.setConfigurationEnabled(true);

  // The events that run while we wait may close and delete the window.
  const QPointer<frmServiceState> stateWindow(window);
  if (stateWindow) {
    stateWindow->setCursor(Qt::WaitCursor);
    stateWindow->pbMain->setValue(0);
  }
  const auto query = polling.query ? polling.query : [](const QString& computer) {
    return WinNTServices::queryServiceState(computer, QString::fromLatin1(WinNTServices::kServiceName));
  };

  WinNTServices::ServiceState found;
  int passes = 0;
  do {
    QThread::msleep(static_cast<unsigned long>(polling.interval.count()));
    found = query(szConnectedComputer);
    ++passes;
    if (stateWindow && passes < stateWindow->pbMain->maximum()) stateWindow->pbMain->setValue(passes);
    QCoreApplication::processEvents();
  } while (isPending(found) && passes < polling.maxPasses);
  DebugTrace(QStringLiteral("RefreshServiceState: state %1, error %2 after %3 queries")
                 .arg(found.state)
                 .arg(found.error)
                 .arg(passes));

  // A failed query counts as "any other state", whatever number its error
  // code has: error codes 1 to 7 must not read as service states.
  const bool local = isLocalComputer(szConnectedComputer);
  const DWORD state = found.error == 0 ? found.state : ~DWORD{0};
  if (state == 0) {
    SetServiceMenuState(menu, true, false, false, false, false);
  } else if (found.error == static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) && local) {
    // Settings without a service (imported before installing, or left by a
    // removal by hand): nothing is "not responding", the service is simply
    // not there, and installing it is what can be done.
    SetServiceMenuState(menu, bDaemonProgramFound, false, false, false, false);
  } else if (state == SERVICE_STOPPED) {
    SetServiceMenuState(menu, false, local, false, true, false);
  } else if (state == SERVICE_RUNNING) {
    SetServiceMenuState(menu, false, local, true, false, true);
  } else {
    showNotResponding(stateWindow);
    SetServiceMenuState(menu, false, local, false, true, false);
  }
  if (stateWindow) stateWindow->unsetCursor();
}

}  // namespace Global
