// frmServiceState: the small modeless window that the main window shows while
// the service starts or stops, with a progress bar that moves while the state
// is polled. It owns no state of its own beyond one command: each command
// shows the window, runs, refreshes the main window's service commands and
// hides the window again. The caller owns the window and may reuse it, but
// must not delete it while a command runs (window events run during the wait).
#pragma once

#include <QDialog>

#include "service_state.h"

class QLabel;
class QProgressBar;
class QStatusBar;
class ServiceMenu;

class frmServiceState : public QDialog {
  Q_OBJECT

 public:
  // `menu` (the main window) must outlive this window.
  explicit frmServiceState(ServiceMenu& menu, QWidget* parent = nullptr);

  // Font only: the window has no catalogue texts of its own.
  void Initiate_Language_settings();

  // Start or stop the service on Global::szConnectedComputer. A refusal of the
  // service control manager is reported in an error box (text 225 or 226, CR
  // LF, the system's text of the error); either way the main window's commands
  // are then brought into line with the service's state (Global::
  // RefreshServiceState, with this window's progress) and the window hides.
  void StartCorvantelService();
  void StopCorvantelService();
  // Stop, with its wait for the stop to complete, then start.
  void RestartCorvantelService();

  QLabel* lblServiceStatus;
  QProgressBar* pbMain;         // 0 to 151: one step per state query
  QStatusBar* StBServiceState;  // Global::szConnectionText while a command runs

  // How the state refresh after a command waits (tests shorten it).
  Global::ServiceStatePolling polling;

 private:
  // text: the status text's number; error: the error box's number.
  void runCommand(int text, int error, DWORD (*command)(const QString&, const QString&));

  ServiceMenu& m_menu;
};
