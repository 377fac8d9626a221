// The part of the shared module Global that brings the main window's service
// commands and configuration pages into line with the state of the service on
// the connected computer.
#pragma once

#include <QString>
#include <chrono>
#include <functional>

#include "WinNTServices.h"
#include "service_menu.h"

class frmServiceState;

namespace Global {

// How RefreshServiceState waits for a service that is starting or stopping.
struct ServiceStatePolling {
  std::chrono::milliseconds interval{100};  // wait before each query
  int maxPasses = 150;                      // queries at most, while the service is pending
  // Asks for the service's state on a computer; empty: the service control
  // manager (WinNTServices::queryServiceState of the daemon's service).
  std::function<WinNTServices::ServiceState(const QString& computer)> query;
};

// Enables or disables the five service commands of the main window.
void SetServiceMenuState(ServiceMenu& menu, bool install, bool uninstall, bool stop, bool start,
                         bool restart);

// With bParametersOpen: enables the configuration pages and the Rulebase menu,
// then queries the service on szConnectedComputer, waiting while it is start
// or stop pending (each pass: wait, query, move `window`'s progress bar, let
// pending window events run), and sets the commands by the last state:
//   stopped: Start and, on this computer, Uninstall; running: Stop, Restart
//   and, on this computer, Uninstall; state 0: Install only; no such service
//   on this computer (1060): Install only, when bDaemonProgramFound, without a
//   box; anything else, a failed query included: as stopped, after an error
//   box "not responding".
// Without bParametersOpen: disables the pages and the Rulebase menu and
// offers only Install, when bDaemonProgramFound is set.
// `window`, when given, shows the hourglass and the progress while it waits.
// Pending events run during the wait, so clicks may arrive re-entrantly.
void RefreshServiceState(ServiceMenu& menu, frmServiceState* window,
                         const ServiceStatePolling& polling = ServiceStatePolling{});

}  // namespace Global
